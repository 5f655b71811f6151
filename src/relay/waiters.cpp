#include "waiters.h"

#include <algorithm>
#include <map>

namespace zephlink::relay {

Body batchFor(const Snapshot& snapshot, std::int64_t after) {
    const bool reset = clips::resetNeeded(after, snapshot.sequence, snapshot.oldest);
    std::vector<std::string_view> items;
    items.reserve(snapshot.clips.size());
    for (const ClipPtr& clip : snapshot.clips) {
        if (reset || clip->seq > after)
            items.emplace_back(clip->item);
    }
    return std::make_shared<const std::string>(clips::batchBytes(items, snapshot.sequence, reset));
}

Body nothingNew(std::int64_t after) {
    return std::make_shared<const std::string>(clips::batchBytes({}, after, false));
}

void Waiters::add(const std::shared_ptr<Waiter>& waiter) {
    std::lock_guard lock(mutex_);
    rooms_[waiter->room].waiters.push_back(waiter);
}

bool Waiters::remove(const std::shared_ptr<Waiter>& waiter) {
    {
        std::lock_guard lock(mutex_);
        if (const auto at = rooms_.find(waiter->room); at != rooms_.end()) {
            auto& list = at->second.waiters;
            std::erase(list, waiter);
            if (list.empty() && !at->second.reading)
                rooms_.erase(at);
        }
    }
    return waiter->claim();
}

std::function<void()> Waiters::readLocked(const std::string& name, Room& room) {
    if (room.reading) {
        room.again = true;
        return {};
    }
    room.reading = true;
    room.again = false;
    std::int64_t after = INT64_MAX;
    for (const auto& waiter : room.waiters)
        after = std::min(after, waiter->after);
    return [this, name, after] {
        store_.read(name, std::nullopt, after, [this, name, after](ReadOutcome outcome) {
            deliver(name, after, std::move(outcome));
        });
    };
}

void Waiters::wake(const std::string& name, std::int64_t seq) {
    std::vector<std::shared_ptr<Waiter>> revoked;
    std::function<void()> read;
    {
        std::lock_guard lock(mutex_);
        const auto at = rooms_.find(name);
        if (at == rooms_.end())
            return;
        Room& room = at->second;
        if (seq == 0) {
            revoked.swap(room.waiters);
            if (!room.reading)
                rooms_.erase(at);
        } else {
            room.wanted = std::max(room.wanted, seq);
            read = readLocked(name, room);
        }
    }
    for (const auto& waiter : revoked) {
        if (waiter->claim())
            waiter->answer(401, nullptr);
    }
    if (read)
        read();
}

void Waiters::resync() {
    std::vector<std::function<void()>> reads;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, room] : rooms_) {
            if (auto read = readLocked(name, room))
                reads.push_back(std::move(read));
        }
    }
    for (const auto& read : reads)
        read();
}

void Waiters::deliver(const std::string& name, std::int64_t after, ReadOutcome outcome) {
    std::vector<std::shared_ptr<Waiter>> answered;
    std::function<void()> again;
    const Snapshot& snapshot = outcome.snapshot;
    {
        std::lock_guard lock(mutex_);
        const auto at = rooms_.find(name);
        if (at == rooms_.end())
            return;
        Room& room = at->second;
        room.reading = false;
        auto& list = room.waiters;
        if (outcome.status != 200) {
            answered.swap(list);
        } else {
            // A read for the lowest cursor holds every clip a higher cursor
            // needs, unless that cursor is ahead of the room (then the
            // waiter's own read answers it).
            const bool all = clips::resetNeeded(after, snapshot.sequence, snapshot.oldest);
            const auto ready = [&](const std::shared_ptr<Waiter>& waiter) {
                return waiter->after != snapshot.sequence &&
                       (all || waiter->after < snapshot.sequence);
            };
            std::copy_if(list.begin(), list.end(), std::back_inserter(answered), ready);
            std::erase_if(list, ready);
            if (!list.empty() && (room.again || room.wanted > snapshot.sequence))
                again = readLocked(name, room);
        }
        if (list.empty() && !room.reading)
            rooms_.erase(at);
    }
    std::map<std::int64_t, Body> bodies; // one answer per cursor, shared
    for (const auto& waiter : answered) {
        if (!waiter->claim())
            continue;
        if (outcome.status != 200) {
            waiter->answer(outcome.status, nullptr);
            continue;
        }
        Body& body = bodies[waiter->after];
        if (!body)
            body = batchFor(snapshot, waiter->after);
        waiter->answer(200, body);
    }
    if (again)
        again();
}

void Waiters::releaseAll() {
    std::vector<std::shared_ptr<Waiter>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, room] : rooms_)
            all.insert(all.end(), room.waiters.begin(), room.waiters.end());
        rooms_.clear();
    }
    for (const auto& waiter : all) {
        if (waiter->claim())
            waiter->answer(200, nothingNew(waiter->after));
    }
}

} // namespace zephlink::relay
