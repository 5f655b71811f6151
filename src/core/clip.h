#pragma once

#include "records.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zephlink {

inline constexpr std::size_t kMaxTextBytes = 32768;
inline constexpr std::size_t kMaxBodyBytes = 40960;
inline constexpr std::size_t kMinSealedBytes = 16;
inline constexpr std::size_t kMaxSealedBytes = kMaxBodyBytes + 16;

namespace msg {
inline constexpr std::string_view textSize = "Text must be between 1 and 32,768 UTF-8 bytes";
inline constexpr std::string_view encodedTooLarge = "Encoded text is too large";
inline constexpr std::string_view invalidEnvelope = "Invalid envelope";
inline constexpr std::string_view invalidEnvelopeSize = "Invalid envelope size";
inline constexpr std::string_view invalidTextSize = "Invalid text size";
} // namespace msg

// Wall-clock milliseconds since the Unix epoch, truncated toward zero.
std::int64_t nowMilliseconds();

// Seals text for the group as a fresh clip from origin.
Envelope seal(std::string_view text, const Group& group, std::string_view origin);

// Opens an envelope with the group's key. Malformed envelopes raise
// DazarError; a wrong key or altered metadata raises AuthenticationError.
std::string openClip(const Envelope& envelope, const Group& group);

} // namespace zephlink
