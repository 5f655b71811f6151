#pragma once

#include "encoding.h"
#include "records.h"

#include <nlohmann/json.hpp>

namespace zephlink::test {

// The host never opens clips: random bytes of the right sizes will do.
inline Envelope envelopeAt(std::int64_t createdAt, std::size_t sealedBytes = 48) {
    return Envelope{1,         identifier(),         identifier(),
                    createdAt, encode64(random(12)), encode64(random(sealedBytes))};
}

inline std::string body(const Envelope& e) {
    return nlohmann::json(e).dump();
}

} // namespace zephlink::test
