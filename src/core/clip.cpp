#include "clip.h"

#include "aes_gcm.h"
#include "encoding.h"
#include "errors.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace zephlink {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

std::int64_t nowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Envelope seal(std::string_view text, const Group& group, std::string_view origin) {
    if (text.empty() || text.size() > kMaxTextBytes)
        throw DazarError(std::string(msg::textSize));
    const std::string body = nlohmann::json(ClipBody{std::string(text)}).dump();
    if (body.size() > kMaxBodyBytes)
        throw DazarError(std::string(msg::encodedTooLarge));

    Envelope envelope;
    envelope.v = 1;
    envelope.id = identifier();
    envelope.origin = std::string(origin);
    envelope.createdAt = nowMilliseconds();
    envelope.nonce = encode64(random(kAesNonceBytes));

    const Bytes key = decode64(group.key, kAesKeyBytes);
    const Bytes nonce = decode64(envelope.nonce, kAesNonceBytes);
    const std::string associated = aad(group, envelope);
    envelope.ciphertext = encode64(aesGcmSeal(key, nonce, bytesOf(associated), bytesOf(body)));
    return envelope;
}

std::string openClip(const Envelope& envelope, const Group& group) {
    if (envelope.v != 1 || !validID(envelope.id) || !validID(envelope.origin) ||
        envelope.createdAt < 1)
        throw DazarError(std::string(msg::invalidEnvelope));
    const Bytes sealed = decode64(envelope.ciphertext);
    if (sealed.size() < kMinSealedBytes || sealed.size() > kMaxSealedBytes)
        throw DazarError(std::string(msg::invalidEnvelopeSize));
    const Bytes nonce = decode64(envelope.nonce, kAesNonceBytes);
    const Bytes key = decode64(group.key, kAesKeyBytes);
    const std::string associated = aad(group, envelope);
    const Bytes plain = aesGcmOpen(key, nonce, bytesOf(associated), sealed);

    const auto body = nlohmann::json::parse(plain.begin(), plain.end()).get<ClipBody>();
    const std::size_t textBytes = body.text.size();
    if (plain.size() > kMaxBodyBytes || textBytes == 0 || textBytes > kMaxTextBytes)
        throw DazarError(std::string(msg::invalidTextSize));
    return body.text;
}

} // namespace zephlink
