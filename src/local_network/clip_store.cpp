#include "clip_store.h"

#include "encoding.h"
#include "errors.h"
#include "http_request.h"
#include "url.h"

#include <nlohmann/json.hpp>
#include <openssl/sha.h>
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

std::optional<Digest> canonicalDigest(const Envelope& envelope) {
    std::string canonical;
    try {
        // nlohmann's objects keep their keys sorted.
        canonical = json(envelope).dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
    Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(canonical.data()), canonical.size(),
           digest.data());
    return digest;
}

std::optional<std::string> frameBytes(std::int64_t seq, const Envelope& envelope) {
    try {
        return json{{"seq", seq}, {"envelope", envelope}}.dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::vector<SharedBytes> batchBody(const std::vector<SharedBytes>& clips, std::int64_t cursor,
                                   bool reset) {
    // The JSON writer's own spelling of {"clips":[...],"cursor":n,"reset":b}.
    static const SharedBytes open = std::make_shared<const std::string>(R"({"clips":[)");
    static const SharedBytes comma = std::make_shared<const std::string>(",");
    std::vector<SharedBytes> body;
    body.reserve(2 * clips.size() + 2);
    body.push_back(open);
    for (const SharedBytes& clip : clips) {
        if (body.size() > 1)
            body.push_back(comma);
        body.push_back(clip);
    }
    body.push_back(std::make_shared<const std::string>("],\"cursor\":" + std::to_string(cursor) +
                                                       ",\"reset\":" + (reset ? "true" : "false") +
                                                       "}"));
    return body;
}

ClipStore::ClipStore(WallClock clock) : clock_(std::move(clock)) {}

ClipStore::PostOutcome ClipStore::post(std::string_view body) {
    const std::int64_t now = clock_();
    const auto envelope = acceptableEnvelope(body, now);
    if (!envelope)
        return {};
    const auto digest = canonicalDigest(*envelope);
    if (!digest)
        return {};
    if (const auto known = ids_.find(envelope->id); known != ids_.end())
        return {known->second.digest == *digest ? 200 : 409, known->second.seq};
    auto bytes = frameBytes(sequence_ + 1, *envelope);
    if (!bytes)
        return {};

    ++sequence_;
    frames_.push_back(
        Frame{sequence_, std::make_shared<const std::string>(std::move(*bytes)), now});
    if (frames_.size() > kMaxFrames)
        frames_.pop_front();
    ids_.emplace(envelope->id, Stored{sequence_, *digest});
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

std::vector<SharedBytes> ClipStore::batch(std::int64_t after) {
    pruneFrames();
    const std::optional<std::int64_t> oldest =
        frames_.empty() ? std::nullopt : std::optional<std::int64_t>(frames_.front().seq);
    const bool reset = resetNeeded(after, sequence_, oldest);
    std::vector<SharedBytes> clips;
    for (const Frame& frame : frames_) {
        if (reset || frame.seq > after)
            clips.push_back(frame.bytes);
    }
    return batchBody(clips, sequence_, reset);
}

} // namespace zephlink
