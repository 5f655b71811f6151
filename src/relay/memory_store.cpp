#include "memory_store.h"

namespace zephlink::relay {

namespace {

// Rough bookkeeping costs of a room, a frame and a remembered id beyond the
// bytes they carry, so that the memory cap counts what a room really holds.
constexpr std::size_t kRoomCost = 256;
constexpr std::size_t kFrameCost = 96;
constexpr std::size_t kIdCost = 112;

} // namespace

MemoryStore::MemoryStore(RoomLimits limits, std::size_t maxRooms, std::size_t maxBytes)
    : limits_(limits), maxRooms_(maxRooms), maxBytes_(maxBytes) {}

void MemoryStore::setWake(Wake wake, Resync /*never needed*/) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

MemoryStore::Room* MemoryStore::open(const std::string& room, const std::optional<Digest>& token,
                                     Clock::time_point now) {
    const auto at = rooms_.find(room);
    if (at == rooms_.end())
        return nullptr;
    if (idle(at->second, now)) {
        erase(at);
        return nullptr;
    }
    Room& found = at->second;
    if (token && !clips::sameDigest(found.token, *token))
        return nullptr;
    found.lastUsed = now;
    dropExpired(found, now);
    return &found;
}

bool MemoryStore::idle(const Room& room, Clock::time_point now) const {
    return now - room.lastUsed > std::chrono::seconds(limits_.idleSeconds);
}

void MemoryStore::dropExpired(Room& room, Clock::time_point now) {
    const auto lifetime = std::chrono::milliseconds(limits_.retentionMs);
    while (!room.frames.empty() && now - room.frames.front().storedAt > lifetime)
        dropOldest(room);
}

void MemoryStore::dropOldest(Room& room) {
    const std::size_t cost = room.frames.front().clip->item.size() + kFrameCost;
    room.bytes -= cost;
    bytes_ -= cost;
    room.frames.pop_front();
}

void MemoryStore::erase(std::unordered_map<std::string, Room>::iterator at) {
    bytes_ -= at->second.bytes;
    rooms_.erase(at);
}

void MemoryStore::create(const std::string& room, const Digest& token,
                         std::function<void(int)> done) {
    int status = 201;
    {
        std::lock_guard lock(mutex_);
        if (rooms_.size() >= maxRooms_)
            status = 503;
        else if (bytes_ + kRoomCost > maxBytes_)
            status = 507;
        else if (rooms_.contains(room))
            status = 503; // 128 random bits never collide; refuse rather than share
        else {
            Room& made = rooms_[room];
            made.token = token;
            made.lastUsed = Clock::now();
            made.bytes = kRoomCost;
            bytes_ += kRoomCost;
        }
    }
    done(status);
}

void MemoryStore::post(const std::string& room, const Digest& token, PreparedClip clip,
                       std::function<void(PostOutcome)> done) {
    PostOutcome outcome;
    Wake wake;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        Room* found = open(room, token, now);
        if (found == nullptr) {
            outcome.status = 401;
        } else if (clip.canonical.empty()) {
            outcome.status = 400; // refused, now that the token is known good
        } else if (const auto known = found->ids.find(clip.id); known != found->ids.end()) {
            outcome = {clips::sameDigest(known->second.digest, clip.digest) ? 200 : 409,
                       known->second.seq};
        } else {
            auto stored = std::make_shared<StoredClip>();
            stored->seq = found->sequence + 1;
            stored->item = clips::batchItem(stored->seq, clip.canonical);
            const std::size_t cost = stored->item.size() + kFrameCost + clip.id.size() + kIdCost;
            if (bytes_ + cost > maxBytes_) {
                outcome.status = 507;
            } else {
                found->sequence = stored->seq;
                found->frames.push_back(Frame{stored, now});
                found->bytes += cost;
                bytes_ += cost;
                if (found->frames.size() > limits_.maxClips)
                    dropOldest(*found);
                found->ids.emplace(clip.id, Known{stored->seq, clip.digest});
                found->idOrder.push_back(std::move(clip.id));
                if (found->idOrder.size() > clips::kMaxClipIds) {
                    const std::size_t idCost = found->idOrder.front().size() + kIdCost;
                    found->ids.erase(found->idOrder.front());
                    found->idOrder.pop_front();
                    found->bytes -= idCost;
                    bytes_ -= idCost;
                }
                outcome = {201, stored->seq};
                wake = wake_;
            }
        }
    }
    done(outcome);
    if (wake)
        wake(room, outcome.seq);
}

void MemoryStore::read(const std::string& room, const std::optional<Digest>& token,
                       std::int64_t after, std::function<void(ReadOutcome)> done) {
    ReadOutcome outcome;
    {
        std::lock_guard lock(mutex_);
        const Room* found = open(room, token, Clock::now());
        if (found == nullptr) {
            outcome.status = 401;
        } else {
            Snapshot& snapshot = outcome.snapshot;
            snapshot.sequence = found->sequence;
            if (!found->frames.empty())
                snapshot.oldest = found->frames.front().clip->seq;
            const bool reset = clips::resetNeeded(after, snapshot.sequence, snapshot.oldest);
            for (const Frame& frame : found->frames) {
                if (reset || frame.clip->seq > after)
                    snapshot.clips.push_back(frame.clip);
            }
        }
    }
    done(std::move(outcome));
}

void MemoryStore::revoke(const std::string& room, const Digest& token,
                         std::function<void(int)> done) {
    Wake wake;
    {
        std::lock_guard lock(mutex_);
        if (open(room, token, Clock::now()) != nullptr) {
            erase(rooms_.find(room));
            wake = wake_;
        }
    }
    done(wake ? 204 : 401);
    if (wake)
        wake(room, 0);
}

void MemoryStore::countRooms(std::function<void(std::optional<std::int64_t>)> done) {
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = rooms_.size();
    }
    done(static_cast<std::int64_t>(count));
}

void MemoryStore::sweep() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto at = rooms_.begin(); at != rooms_.end();) {
        if (idle(at->second, now)) {
            const auto next = std::next(at);
            erase(at);
            at = next;
        } else {
            dropExpired(at->second, now);
            ++at;
        }
    }
}

} // namespace zephlink::relay
