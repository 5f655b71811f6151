#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

namespace msg {
inline constexpr std::string_view serverShape = "Use a server URL without a path or credentials";
inline constexpr std::string_view httpsRequired =
    "Public servers require HTTPS; HTTP is only for a trusted private LAN";
} // namespace msg

inline constexpr std::string_view kLoopbackRelay = "http://127.0.0.1:8787";
inline constexpr int kRelayPort = 8787;

// Validates a clip-server address and returns it as scheme://host[:port].
std::string serverURL(std::string_view text);

// True for localhost, localhost., ::1, [::1] and any host starting "127.".
bool isLoopbackServer(std::string_view text);

// True for dotted IPv4 hosts in 10/8, 127/8, 169.254/16, 172.16/12,
// 192.168/16. Non-numeric labels are skipped, as address checks have always done.
bool isPrivateIPv4Host(std::string_view host);

// One entry of the machine's interface list, as far as the relay choice needs it.
struct InterfaceAddress {
    bool hasAddress = false;
    bool ipv4 = false;
    bool loopback = false;
    std::string host; // numeric host text; empty when conversion failed
};

// The machine's interfaces in the order the system lists them.
std::vector<InterfaceAddress> interfaceAddresses();

// The first non-loopback IPv4 interface that passes the address check, as
// http://address:8787; the loopback relay when there is none.
std::string defaultRelay(const std::vector<InterfaceAddress>& interfaces);
std::string defaultRelay();

} // namespace zephlink
