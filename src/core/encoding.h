#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

struct Group;
struct Envelope;

using Bytes = std::vector<std::uint8_t>;

namespace msg {
inline constexpr std::string_view invalidKeyOrEnvelope = "Invalid key or envelope";
inline constexpr std::string_view randomnessUnavailable = "Secure randomness unavailable";
} // namespace msg

// Strict unpadded base64url: refuses padding, the standard alphabet, white
// space and non-canonical trailing bits; optionally requires a byte count.
Bytes decode64(std::string_view text, std::optional<std::size_t> count = std::nullopt);
std::string encode64(std::span<const std::uint8_t> bytes);

// n bytes from the kernel's secure random source, or DazarError.
Bytes random(std::size_t n);
// 32 lower-case hex characters from 16 random bytes.
std::string identifier();
std::string hexLower(std::span<const std::uint8_t> bytes);
bool validID(std::string_view text);

// The bytes authenticated with every sealed clip:
// "zephlink|1|" room "|" id "|" origin "|" createdAt.
std::string aad(const Group& group, const Envelope& envelope);

} // namespace zephlink
