#pragma once

#include "answer.h"
#include "clip_rules.h"
#include "records.h"
#include "wall_clock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

// The room's rules (which envelopes, which poll queries, when to reset) are
// shared with the relay: see clip_rules.h.

// A poll answer's body around its clips: {"clips":[ clip , clip ],"cursor":n,"reset":b}.
std::vector<SharedBytes> batchBody(const std::vector<SharedBytes>& clips, std::int64_t cursor,
                                   bool reset);

// Sequence numbers, the retained frames and the de-duplication index of one
// host. Not locked: the host serialises every call.
class ClipStore {
public:
    struct Frame {
        std::int64_t seq = 0;
        SharedBytes bytes;         // as clips::batchItem
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
        clips::Digest digest{}; // of the canonical bytes
    };

    WallClock clock_;
    std::int64_t sequence_ = 0;
    std::deque<Frame> frames_;
    std::map<std::string, Stored> ids_;
    std::deque<std::string> idOrder_;
};

} // namespace zephlink
