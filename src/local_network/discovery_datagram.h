#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zephlink {

inline constexpr std::uint16_t kHostPort = 8788;
inline constexpr std::uint16_t kDiscoveryPort = 8789;
inline constexpr std::string_view kDiscoveryGroup = "239.255.77.77";
inline constexpr std::size_t kMaxDatagramBytes = 1024;
inline constexpr std::string_view kDiscoverType = "zephlink.discover";
inline constexpr std::string_view kHereType = "zephlink.here";

// The discovery request for a fresh nonce, as sent.
std::string discoveryRequest(std::string_view nonce);

// The nonce of a discovery request of 1 to 1024 bytes: a JSON object whose
// "type" is "zephlink.discover", "v" the number 1 and "nonce" an identifier.
std::optional<std::string> requestNonce(std::string_view datagram);

// The reply of a host; nullopt when it cannot be written as JSON.
std::optional<std::string> discoveryReply(std::string_view nonce, std::string_view hostId,
                                          std::string_view name);

// The host identifier a reply announces, when it is a reply of 1 to 1024
// bytes to this nonce: "type" "zephlink.here", "v" 1, "port" 8788 and a
// valid "hostId".
std::optional<std::string> replyHostId(std::string_view datagram, std::string_view nonce);

} // namespace zephlink
