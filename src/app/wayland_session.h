#pragma once

// Which clipboard a session lets the program watch and write in the
// background, decided once at start by what the compositor offers.
#include <optional>
#include <string>
#include <vector>

namespace zephlink {

enum class ClipboardAccess {
    X11,            // an X11 session: the X11 clipboard
    DataControlExt, // Wayland with ext_data_control_manager_v1
    DataControlWlr, // Wayland with zwlr_data_control_manager_v1
    XWayland,       // Mutter: its XWayland bridge lets X11 clients watch the clipboard
    None,           // Wayland with no background clipboard at all
};

inline constexpr int kCompositorProbeMs = 3000;

// The choice for a Wayland session from the interface names of its globals;
// xwayland tells whether an X server of the session is reachable.
ClipboardAccess chooseClipboard(const std::vector<std::string>& globals, bool xwayland);

// The interface names of the globals of the compositor at display (null: the
// environment's); none when no compositor answers within timeoutMs.
std::optional<std::vector<std::string>> compositorGlobals(const char* display, int timeoutMs);

struct Session {
    ClipboardAccess clipboard = ClipboardAccess::X11; // X11 unless a compositor answers
    bool seat = true; // false: a Wayland compositor without any seat (headless)
};

// This session, as its compositor describes it.
Session detectSession();

// True when the choice keeps the program's windows on X11 (on XWayland in a
// Wayland session), where they can be placed.
bool windowsOnX11(ClipboardAccess access);

} // namespace zephlink
