#pragma once

#include "encoding.h"
#include "records.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace zephlink::test {

// An envelope the host accepts: it never opens clips, so random bytes of
// the right sizes will do.
inline Envelope envelopeAt(std::int64_t createdAt, std::string id = identifier()) {
    Envelope e;
    e.v = 1;
    e.id = std::move(id);
    e.origin = identifier();
    e.createdAt = createdAt;
    e.nonce = encode64(random(12));
    e.ciphertext = encode64(random(48));
    return e;
}

inline std::string body(const Envelope& e) {
    return nlohmann::json(e).dump();
}

} // namespace zephlink::test
