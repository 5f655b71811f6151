#include "clip_store.h"

#include "encoding.h"
#include "errors.h"
#include "http_request.h"
#include "url.h"

#include <set>

namespace zephlink {

using nlohmann::json;

namespace {

// An item without a value counts as absent; a present value must be a
// non-negative decimal integer no larger than `maximum`.
std::optional<std::int64_t> queryNumber(const std::optional<std::string>& value,
                                        std::int64_t maximum) {
    if (!value)
        return 0;
    const auto number = decimalInteger(*value);
    if (!number || *number < 0 || *number > maximum)
        return std::nullopt;
    return number;
}

} // namespace

std::optional<PollQuery> parsePollQuery(std::string_view target) {
    const auto parts = parseUrl(target);
    if (!parts)
        return std::nullopt;
    std::vector<QueryItem> items;
    if (parts->query && !parts->query->empty()) {
        auto parsed = queryItems(*parts->query);
        if (!parsed)
            return std::nullopt;
        items = std::move(*parsed);
    }
    if (items.size() > 2)
        return std::nullopt;
    std::set<std::string> names;
    std::optional<std::string> after;
    std::optional<std::string> wait;
    for (const QueryItem& item : items) {
        if (!names.insert(item.name).second)
            return std::nullopt;
        if (item.name == "after")
            after = item.value;
        else if (item.name == "wait")
            wait = item.value;
        else
            return std::nullopt;
    }
    const auto afterValue = queryNumber(after, INT64_MAX);
    const auto waitValue = queryNumber(wait, kMaxPollWaitSeconds);
    if (!afterValue || !waitValue)
        return std::nullopt;
    return PollQuery{*afterValue, *waitValue};
}

bool resetNeeded(std::int64_t after, std::int64_t sequence,
                 std::optional<std::int64_t> oldestRetained) {
    if (sequence < after)
        return true;
    // Written as a subtraction-free comparison: after < oldest - 1.
    return oldestRetained ? after + 1 < *oldestRetained : after < sequence;
}

std::optional<Envelope> acceptableEnvelope(std::string_view body, std::int64_t nowMs) {
    Envelope envelope;
    try {
        envelope = json::parse(body).get<Envelope>();
        if (envelope.v != 1 || !validID(envelope.id) || !validID(envelope.origin))
            return std::nullopt;
        decode64(envelope.nonce, kNonceBytes);
        const std::size_t sealed = decode64(envelope.ciphertext).size();
        if (sealed < kMinCiphertextBytes || sealed > kMaxCiphertextBytes)
            return std::nullopt;
    } catch (const json::exception&) {
        return std::nullopt;
    } catch (const DazarError&) {
        return std::nullopt;
    }
    if (envelope.createdAt < nowMs - kMaxClipAgeMs || envelope.createdAt > nowMs + kMaxClipAheadMs)
        return std::nullopt;
    return envelope;
}

ClipStore::ClipStore(WallClock clock) : clock_(std::move(clock)) {}

ClipStore::PostOutcome ClipStore::post(std::string_view body) {
    const std::int64_t now = clock_();
    const auto envelope = acceptableEnvelope(body, now);
    if (!envelope)
        return {};
    std::string canonical;
    try {
        // nlohmann's objects keep their keys sorted.
        canonical = json(*envelope).dump();
    } catch (const json::exception&) {
        return {};
    }
    if (const auto known = ids_.find(envelope->id); known != ids_.end())
        return {known->second.canonical == canonical ? 200 : 409, known->second.seq};

    ++sequence_;
    frames_.push_back(Frame{sequence_, *envelope, now});
    if (frames_.size() > kMaxFrames)
        frames_.pop_front();
    ids_.emplace(envelope->id, Stored{sequence_, std::move(canonical)});
    idOrder_.push_back(envelope->id);
    if (idOrder_.size() > kMaxClipIds) {
        ids_.erase(idOrder_.front());
        idOrder_.pop_front();
    }
    return {201, sequence_};
}

void ClipStore::pruneFrames() {
    const std::int64_t now = clock_();
    // Not just from the front: a wall clock that stepped back can leave an
    // old frame behind a newer one.
    std::erase_if(frames_,
                  [&](const Frame& frame) { return now - frame.storedAt > kFrameLifetimeMs; });
}

json ClipStore::batch(std::int64_t after) {
    pruneFrames();
    const std::optional<std::int64_t> oldest =
        frames_.empty() ? std::nullopt : std::optional<std::int64_t>(frames_.front().seq);
    const bool reset = resetNeeded(after, sequence_, oldest);
    json clips = json::array();
    for (const Frame& frame : frames_) {
        if (reset || frame.seq > after)
            clips.push_back(json{{"seq", frame.seq}, {"envelope", frame.envelope}});
    }
    return json{{"clips", std::move(clips)}, {"cursor", sequence_}, {"reset", reset}};
}

} // namespace zephlink
