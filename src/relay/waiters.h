#pragma once

// Held polls, listed per room. A post (in this process or, on Redis, in any
// other) wakes a room; the room is then read once for all of its waiters and
// each is answered from that one read.
#include "room_store.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zephlink::relay {

using Body = std::shared_ptr<const std::string>;

// One held poll. Whoever claims it first (a wake, its timer, its client
// leaving, the relay stopping) answers it; everyone else lets it be.
class Waiter {
public:
    using Answer = std::function<void(int status, Body body)>;

    Waiter(std::string inRoom, std::int64_t cursor, Answer answerWith)
        : room(std::move(inRoom)), after(cursor), answer(std::move(answerWith)) {}

    bool claim() { return !claimed_.exchange(true); }

    const std::string room;
    const std::int64_t after;
    const Answer answer; // must not block: it only hands the answer to its connection

private:
    std::atomic<bool> claimed_{false};
};

// The answer to a reader at `after` from a snapshot that holds what it needs.
Body batchFor(const Snapshot& snapshot, std::int64_t after);
// The answer to a poll whose wait ended with nothing new.
Body nothingNew(std::int64_t after);

class Waiters {
public:
    explicit Waiters(RoomStore& store) : store_(store) {}

    void add(const std::shared_ptr<Waiter>& waiter);
    // Takes the waiter off its room's list; true when the caller claimed it.
    bool remove(const std::shared_ptr<Waiter>& waiter);
    // A clip was stored (seq > 0), the room was revoked (0) or clips may have
    // been missed (below 0).
    void wake(const std::string& room, std::int64_t seq);
    // Every room read again, after the wake-ups may have been missed.
    void resync();
    // Every waiter answered as if its wait had ended.
    void releaseAll();

private:
    struct Room {
        std::vector<std::shared_ptr<Waiter>> waiters;
        bool reading = false;
        bool again = false;      // woken while being read
        std::int64_t wanted = 0; // the highest sequence a wake announced
    };

    // Starts a read unless one is running; call with the lock held, then
    // run what it returns after unlocking.
    std::function<void()> readLocked(const std::string& name, Room& room);
    void deliver(const std::string& name, std::int64_t after, ReadOutcome outcome);

    RoomStore& store_;
    std::mutex mutex_;
    std::unordered_map<std::string, Room> rooms_;
};

} // namespace zephlink::relay
