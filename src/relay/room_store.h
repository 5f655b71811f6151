#pragma once

// Rooms behind one small interface, kept in this process or in Redis. Every
// operation answers through its callback, on whatever thread the store runs
// it; callers move the answer to their own executor.
#include "clip_rules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zephlink::relay {

using clips::Digest;

// One retained clip, rendered once as its poll-answer item.
struct StoredClip {
    std::int64_t seq = 0;
    std::string item; // clips::batchItem
};
using ClipPtr = std::shared_ptr<const StoredClip>;

// What a poll needs of a room: its sequence, the oldest retained clip, and
// the retained clips a reader at the cursor it gave may be sent (those after
// it, or all of them when it must reset).
struct Snapshot {
    std::int64_t sequence = 0;
    std::optional<std::int64_t> oldest;
    std::vector<ClipPtr> clips;
};

struct ReadOutcome {
    int status = 200; // 200, 401 unknown room or token, 503 store unavailable
    Snapshot snapshot;
};

struct PostOutcome {
    int status = 201; // 201 stored, 200 same clip again, 409 other clip with that id, 401, 503, 507
    std::int64_t seq = 0;
};

// A clip ready to store: its id, canonical bytes and their digest.
struct PreparedClip {
    std::string id;
    std::string canonical;
    Digest digest{};
};

struct RoomLimits {
    std::size_t maxClips = clips::kMaxFrames;
    std::int64_t retentionMs = clips::kFrameLifetimeMs;
    std::int64_t idleSeconds = 30 * 24 * 3600;
};

class RoomStore {
public:
    // Told after a clip was stored in a room (seq > 0) or the room was
    // revoked (seq 0), by this process or, on Redis, by any other.
    using Wake = std::function<void(const std::string& room, std::int64_t seq)>;
    // Told when wake-ups may have been missed (a lost subscription).
    using Resync = std::function<void()>;

    virtual ~RoomStore() = default;

    virtual void setWake(Wake wake, Resync resync) = 0;
    // 201 created, 503 or 507 when it cannot take another room.
    virtual void create(const std::string& room, const Digest& token,
                        std::function<void(int)> done) = 0;
    virtual void post(const std::string& room, const Digest& token, PreparedClip clip,
                      std::function<void(PostOutcome)> done) = 0;
    // Without a token: a read for pollers this process has already admitted.
    virtual void read(const std::string& room, const std::optional<Digest>& token,
                      std::int64_t after, std::function<void(ReadOutcome)> done) = 0;
    // 204 revoked, 401, 503.
    virtual void revoke(const std::string& room, const Digest& token,
                        std::function<void(int)> done) = 0;
    // The number of live rooms, or nullopt when it cannot be had now.
    virtual void countRooms(std::function<void(std::optional<std::int64_t>)> done) = 0;
    // False while the store cannot be reached.
    virtual bool healthy() const { return true; }
    // Called once a minute from the server's timer.
    virtual void sweep() {}
    virtual void stop() {}
};

} // namespace zephlink::relay
