#pragma once

#include "answer.h"
#include "records.h"
#include "wall_clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

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
    std::int64_t wait = 0; // seconds, 0 to 20
};

// nullopt when the target's query is not a valid poll query (answer 400).
std::optional<PollQuery> parsePollQuery(std::string_view target);

// Whether a client at `after` has missed clips: the host's sequence started
// again below it, or the clips after it are no longer all retained.
bool resetNeeded(std::int64_t after, std::int64_t sequence,
                 std::optional<std::int64_t> oldestRetained);

// The envelope a post carries, when it is acceptable at time nowMs.
std::optional<Envelope> acceptableEnvelope(std::string_view body, std::int64_t nowMs);

// SHA-256 of an envelope's canonical bytes (its JSON with sorted keys): two
// posts of one id are the same clip exactly when their digests are equal.
using Digest = std::array<unsigned char, 32>;
std::optional<Digest> canonicalDigest(const Envelope& envelope);

// One clip as a poll answer lists it: {"envelope":{...},"seq":n}.
std::optional<std::string> frameBytes(std::int64_t seq, const Envelope& envelope);

// A poll answer's body around its clips: {"clips":[ clip , clip ],"cursor":n,"reset":b}.
std::vector<SharedBytes> batchBody(const std::vector<SharedBytes>& clips, std::int64_t cursor,
                                   bool reset);

// Sequence numbers, the retained frames and the de-duplication index of one
// host. Not locked: the host serialises every call.
class ClipStore {
public:
    struct Frame {
        std::int64_t seq = 0;
        SharedBytes bytes;         // as frameBytes
        std::int64_t storedAt = 0; // ms
    };
    struct PostOutcome {
        int status = 400; // 201 stored, 200 identical repeat, 409 conflict, 400 refused
        std::int64_t seq = 0;
    };

    explicit ClipStore(WallClock clock);

    // Stores a posted envelope body. Only a 201 has changed anything (and
    // should wake the waiting polls).
    PostOutcome post(std::string_view body);
    // Drops the frames stored more than 900 seconds ago.
    void pruneFrames();
    // The body of the poll answer for a client at `after` (prunes first).
    std::vector<SharedBytes> batch(std::int64_t after);

    std::int64_t sequence() const { return sequence_; }
    const std::deque<Frame>& frames() const { return frames_; }
    std::size_t idCount() const { return ids_.size(); }

private:
    struct Stored {
        std::int64_t seq = 0;
        Digest digest{};
    };

    WallClock clock_;
    std::int64_t sequence_ = 0;
    std::deque<Frame> frames_;
    std::map<std::string, Stored> ids_;
    std::deque<std::string> idOrder_;
};

} // namespace zephlink
