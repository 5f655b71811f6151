#include "clip_store.h"

namespace zephlink {

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
    const auto envelope = clips::acceptableEnvelope(body, now);
    if (!envelope)
        return {};
    // An acceptable envelope is ASCII throughout, so it always serialises.
    const std::string canonical = clips::canonicalBytes(*envelope);
    const clips::Digest digest = clips::sha256(canonical);
    if (const auto known = ids_.find(envelope->id); known != ids_.end())
        return {clips::sameDigest(known->second.digest, digest) ? 200 : 409, known->second.seq};

    ++sequence_;
    frames_.push_back(
        Frame{sequence_,
              std::make_shared<const std::string>(clips::batchItem(sequence_, canonical)), now});
    if (frames_.size() > clips::kMaxFrames)
        frames_.pop_front();
    ids_.emplace(envelope->id, Stored{sequence_, digest});
    idOrder_.push_back(envelope->id);
    if (idOrder_.size() > clips::kMaxClipIds) {
        ids_.erase(idOrder_.front());
        idOrder_.pop_front();
    }
    return {201, sequence_};
}

void ClipStore::pruneFrames() {
    const std::int64_t now = clock_();
    // Not just from the front: a wall clock that stepped back can leave an
    // old frame behind a newer one.
    std::erase_if(frames_, [&](const Frame& frame) {
        return now - frame.storedAt > clips::kFrameLifetimeMs;
    });
}

std::vector<SharedBytes> ClipStore::batch(std::int64_t after) {
    pruneFrames();
    const std::optional<std::int64_t> oldest =
        frames_.empty() ? std::nullopt : std::optional<std::int64_t>(frames_.front().seq);
    const bool reset = clips::resetNeeded(after, sequence_, oldest);
    std::vector<SharedBytes> clips;
    for (const Frame& frame : frames_) {
        if (reset || frame.seq > after)
            clips.push_back(frame.bytes);
    }
    return batchBody(clips, sequence_, reset);
}

} // namespace zephlink
