#include "clip_rules.h"

#include "encoding.h"
#include "errors.h"
#include "url.h"

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <set>

namespace zephlink::clips {

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

std::optional<PollQuery> parsePollQuery(std::string_view target, std::int64_t maxWait) {
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
    const auto waitValue = queryNumber(wait, maxWait);
    if (!afterValue || !waitValue)
        return std::nullopt;
    return PollQuery{*afterValue, *waitValue};
}

bool resetNeeded(std::int64_t after, std::int64_t sequence,
                 std::optional<std::int64_t> oldestRetained) {
    if (sequence < after)
        return true;
    // Written without a subtraction that could overflow: after < oldest - 1.
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

std::string canonicalBytes(const Envelope& envelope) {
    // nlohmann's objects keep their keys sorted.
    return json(envelope).dump();
}

Digest sha256(std::string_view bytes) {
    Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
    return digest;
}

bool sameDigest(const Digest& a, const Digest& b) {
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string batchItem(std::int64_t seq, std::string_view canonical) {
    std::string item = "{\"envelope\":";
    item.append(canonical).append(",\"seq\":").append(std::to_string(seq)).append("}");
    return item;
}

std::string batchBytes(const std::vector<std::string_view>& items, std::int64_t cursor,
                       bool reset) {
    std::size_t size = 48;
    for (const std::string_view item : items)
        size += item.size() + 1;
    std::string out;
    out.reserve(size);
    out.append("{\"clips\":[");
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0)
            out.push_back(',');
        out.append(items[i]);
    }
    out.append("],\"cursor\":").append(std::to_string(cursor));
    out.append(reset ? ",\"reset\":true}" : ",\"reset\":false}");
    return out;
}

} // namespace zephlink::clips
