#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>

namespace zephlink {

// Dotted-decimal text of the socket address's IPv4 address (the port is not
// part of it); empty when it cannot be converted.
std::string hostString(const sockaddr_in& socketAddress);

// An IPv4 socket address for host and port. Text that is not a dotted IPv4
// address leaves the address 0.0.0.0.
sockaddr_in address(std::string_view host, std::uint16_t port);

// True for private (10/8, 172.16/12, 192.168/16), loopback (127/8) and
// link-local (169.254/16) IPv4 text. IPv6, host names and empty text are not.
bool privateAddress(std::string_view text);

} // namespace zephlink
