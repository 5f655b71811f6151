#include "wayland_session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <wayland-client.h>

namespace zephlink {
namespace {

bool has(const std::vector<std::string>& globals, const char* name) {
    return std::find(globals.begin(), globals.end(), name) != globals.end();
}

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

void onGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
    static_cast<std::vector<std::string>*>(data)->emplace_back(interface);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

void onDone(void* data, wl_callback*, uint32_t) {
    *static_cast<bool*>(data) = true;
}
const wl_callback_listener kDoneListener = {onDone};

// wl_display_roundtrip without waiting forever on a compositor that hangs.
bool roundtrip(wl_display* display, int timeoutMs) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &kDoneListener, &done);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ok = true;
    while (!done && ok) {
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0)
                ok = false;
            if (!ok || done)
                break;
        }
        if (!ok || done)
            break;
        wl_display_flush(display);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd descriptor{wl_display_get_fd(display), POLLIN, 0};
        if (left.count() <= 0 || poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
            wl_display_cancel_read(display);
            ok = false;
        } else if (wl_display_read_events(display) < 0 ||
                   wl_display_dispatch_pending(display) < 0) {
            ok = false;
        }
    }
    wl_callback_destroy(callback);
    return ok && done;
}

} // namespace

ClipboardAccess chooseClipboard(const std::vector<std::string>& globals, bool xwayland) {
    if (has(globals, "ext_data_control_manager_v1"))
        return ClipboardAccess::DataControlExt;
    if (has(globals, "zwlr_data_control_manager_v1"))
        return ClipboardAccess::DataControlWlr;
    // Only Mutter offers gtk_shell1; its XWayland bridge shows X11 clients
    // every owner change, where KWin's and wlroots' do not.
    if (xwayland && has(globals, "gtk_shell1"))
        return ClipboardAccess::XWayland;
    return ClipboardAccess::None;
}

std::optional<std::vector<std::string>> compositorGlobals(const char* display, int timeoutMs) {
    wl_display* connection = wl_display_connect(display);
    if (connection == nullptr)
        return std::nullopt;
    std::vector<std::string> globals;
    wl_registry* registry = wl_display_get_registry(connection);
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    const bool answered = roundtrip(connection, timeoutMs);
    wl_registry_destroy(registry);
    wl_display_disconnect(connection);
    if (!answered)
        return std::nullopt;
    return globals;
}

Session detectSession() {
    if (!environmentSet("WAYLAND_DISPLAY"))
        return {};
    const auto globals = compositorGlobals(nullptr, kCompositorProbeMs);
    if (!globals)
        return {};
    return {chooseClipboard(*globals, environmentSet("DISPLAY")), has(*globals, "wl_seat")};
}

bool windowsOnX11(ClipboardAccess access) {
    return access == ClipboardAccess::X11 || environmentSet("DISPLAY");
}

} // namespace zephlink
