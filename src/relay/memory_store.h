#pragma once

// Rooms in this process: nothing to install, and a restart forgets them
// (clients see 401 and pair again).
#include "room_store.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace zephlink::relay {

class MemoryStore final : public RoomStore {
public:
    using Clock = std::chrono::steady_clock;

    MemoryStore(RoomLimits limits, std::size_t maxRooms, std::size_t maxBytes);

    void setWake(Wake wake, Resync resync) override;
    void create(const std::string& room, const Digest& token,
                std::function<void(int)> done) override;
    void post(const std::string& room, const Digest& token, PreparedClip clip,
              std::function<void(PostOutcome)> done) override;
    void read(const std::string& room, const std::optional<Digest>& token, std::int64_t after,
              std::function<void(ReadOutcome)> done) override;
    void revoke(const std::string& room, const Digest& token,
                std::function<void(int)> done) override;
    void countRooms(std::function<void(std::optional<std::int64_t>)> done) override;
    void sweep() override;

private:
    struct Frame {
        ClipPtr clip;
        Clock::time_point storedAt;
    };
    struct Known {
        std::int64_t seq = 0;
        Digest digest{};
    };
    struct Room {
        Digest token{};
        std::int64_t sequence = 0;
        std::deque<Frame> frames; // consecutive sequence numbers, oldest first
        std::unordered_map<std::string, Known> ids;
        std::deque<std::string> idOrder;
        Clock::time_point lastUsed;
        std::size_t bytes = 0;
    };

    // The room when it exists, has not been idle too long and the token (if
    // given) is its own; refreshes its use and drops its expired clips.
    Room* open(const std::string& room, const std::optional<Digest>& token, Clock::time_point now);
    bool idle(const Room& room, Clock::time_point now) const;
    void dropExpired(Room& room, Clock::time_point now);
    void dropOldest(Room& room);
    void erase(std::unordered_map<std::string, Room>::iterator at);

    const RoomLimits limits_;
    const std::size_t maxRooms_;
    const std::size_t maxBytes_;
    std::mutex mutex_;
    std::unordered_map<std::string, Room> rooms_;
    std::size_t bytes_ = 0;
    Wake wake_;
};

} // namespace zephlink::relay
