#include "clip_rules.h"

#include "encoding.h"
#include "errors.h"
#include "url.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <set>

namespace zephlink::clips {

using nlohmann::json;

namespace {

// A non-negative decimal integer no larger than `maximum`, with an optional
// "+" as peers' integer parsers allow; an item without a value counts as 0.
std::optional<std::int64_t> queryNumber(const std::optional<std::string>& value,
                                        std::int64_t maximum) {
    if (!value)
        return 0;
    std::string_view text = *value;
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    else if (text.size() > 1 && text.front() == '-' &&
             text.find_first_not_of('0', 1) == std::string_view::npos)
        text.remove_prefix(1); // "-0" is zero
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() ||
        number > static_cast<std::uint64_t>(maximum))
        return std::nullopt;
    return static_cast<std::int64_t>(number);
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
