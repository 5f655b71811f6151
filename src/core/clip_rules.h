#pragma once

// The rules of a clip server's room, shared by the nearby host and the relay:
// which envelopes it takes, how a poll's query reads, when a client must
// reset, and the exact bytes of a poll answer.
#include "records.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink::clips {

inline constexpr std::size_t kMaxFrames = 100;
inline constexpr std::size_t kMaxClipIds = 1000;
inline constexpr std::int64_t kFrameLifetimeMs = 900000;
inline constexpr std::int64_t kMaxClipAgeMs = 900000;
inline constexpr std::int64_t kMaxClipAheadMs = 120000;
inline constexpr std::int64_t kMaxPollWaitSeconds = 20;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kMinCiphertextBytes = 16;
inline constexpr std::size_t kMaxCiphertextBytes = 40976;

// The query of a poll: the cursor the client has and how long it may wait.
struct PollQuery {
    std::int64_t after = 0;
    std::int64_t wait = 0; // seconds
};

// The target's query as a poll: at most the items "after" and "wait", each
// once, each a non-negative decimal integer (absent or valueless: 0), wait
// at most maxWait. nullopt when it is not (answer 400).
std::optional<PollQuery> parsePollQuery(std::string_view target,
                                        std::int64_t maxWait = kMaxPollWaitSeconds);

// Whether a client at `after` has missed clips: the room's sequence started
// again below it, or the clips after it are no longer all retained.
bool resetNeeded(std::int64_t after, std::int64_t sequence,
                 std::optional<std::int64_t> oldestRetained);

// The envelope a post carries, when it is acceptable at time nowMs.
std::optional<Envelope> acceptableEnvelope(std::string_view body, std::int64_t nowMs);

// The envelope as compact JSON with its keys sorted: what a room stores,
// serves and compares repeats by.
std::string canonicalBytes(const Envelope& envelope);

using Digest = std::array<std::uint8_t, 32>;
Digest sha256(std::string_view bytes);
bool sameDigest(const Digest& a, const Digest& b); // in constant time

// One clip of a poll answer, {"envelope":…,"seq":N}, rendered once and
// shared by every answer that carries it.
std::string batchItem(std::int64_t seq, std::string_view canonical);
// The poll answer {"clips":[…],"cursor":N,"reset":B} around rendered items.
std::string batchBytes(const std::vector<std::string_view>& items, std::int64_t cursor, bool reset);

} // namespace zephlink::clips
