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

#ifdef ZEPHLINK_DESKTOP
    return zephlink::runDesktop(argc, argv);
#else
    std::cout << "Zephlink: this build has no desktop application; use a verification switch"
              << '\n';
    return 1;
#endif
}
