// Entry point: a verification switch selects its mode before anything of the
// desktop exists; otherwise the desktop application starts.
#include "checks.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>
#ifdef ZEPHLINK_DESKTOP
#include "desktop.h"
#endif

namespace {

// The switches as zephlink(1) lists them.
constexpr const char* kHelp = R"(Usage: zephlink [LINK]
       zephlink --autostart
       zephlink --ui-preview [--preview-popover] [--preview-clips]
       zephlink --crypto-check FIXTURE
       zephlink --interop GROUP send|receive
       zephlink --relay-check URL
       zephlink --local-host-check [SECONDS]
Shares copied text between your own devices from the system tray.

  LINK                   a zephlink://pair? invitation: join its group
  --autostart            started at login: wait for the system tray first
  --ui-preview           show the windows without capture, discovery or sync
  --preview-popover      with --ui-preview: open the clipboard panel
  --preview-clips        with --ui-preview: show five sample clips
  --help, -h             print this help and exit

Verification modes print one line and exit with status 0 (pass) or 1 (fail):
  --crypto-check FIXTURE         open the shared crypto fixture
  --interop GROUP send|receive   exchange the fixture clips through a relay room
  --relay-check URL              create, send, receive, open and revoke on a relay
  --local-host-check [SECONDS]   run the nearby host (TCP 8788, UDP 8789) for a while

See zephlink(1) for the files, the D-Bus interface and the firewall.
)";

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const auto has = [&](const char* flag) {
        return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
    };
    using namespace zephlink::checks;
    if (has("--local-host-check"))
        return localHostCheck(arguments);
    if (has("--interop"))
        return interopCheck(arguments);
    if (has("--crypto-check"))
        return cryptoCheck(arguments.back());
    if (has("--relay-check"))
        return relayCheck(arguments.back());
    if (has("--help") || has("-h")) {
        std::cout << kHelp;
        return 0;
    }

#ifdef ZEPHLINK_DESKTOP
    return zephlink::runDesktop(argc, argv);
#else
    std::cout << "Zephlink: this build has no desktop application; use a verification switch"
              << '\n';
    return 1;
#endif
}
