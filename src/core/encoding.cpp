#include "encoding.h"

#include "errors.h"
#include "records.h"

#include <array>
#include <cerrno>
#include <sys/random.h>

namespace zephlink {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Each character's six bits, or -1 outside the alphabet.
constexpr std::array<std::int8_t, 256> kSextets = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}();

[[noreturn]] void refuse() {
    throw DazarError(std::string(msg::invalidKeyOrEnvelope));
}

} // namespace

std::string encode64(std::span<const std::uint8_t> bytes) {
    std::string out((bytes.size() * 4 + 2) / 3, '\0');
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *o++ = kAlphabet[(n >> 18) & 63];
        *o++ = kAlphabet[(n >> 12) & 63];
        *o++ = kAlphabet[(n >> 6) & 63];
        *o++ = kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = std::uint32_t{bytes[i]} << 16;
        if (rest == 2)
            n |= std::uint32_t{bytes[i + 1]} << 8;
        *o++ = kAlphabet[(n >> 18) & 63];
        *o++ = kAlphabet[(n >> 12) & 63];
        if (rest == 2)
            *o++ = kAlphabet[(n >> 6) & 63];
    }
    return out;
}

Bytes decode64(std::string_view text, std::optional<std::size_t> count) {
    if (text.empty() || text.size() % 4 == 1)
        refuse();
    Bytes out(text.size() * 3 / 4);
    std::uint8_t* o = out.data();
    const auto value = [](char c) {
        const int v = kSextets[static_cast<unsigned char>(c)];
        if (v < 0)
            refuse();
        return static_cast<std::uint32_t>(v);
    };
    std::size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
        const std::uint32_t n = value(text[i]) << 18 | value(text[i + 1]) << 12 |
                                value(text[i + 2]) << 6 | value(text[i + 3]);
        *o++ = static_cast<std::uint8_t>(n >> 16);
        *o++ = static_cast<std::uint8_t>(n >> 8);
        *o++ = static_cast<std::uint8_t>(n);
    }
    // Two or three characters left: one or two bytes. Canonical form only:
    // the leftover bits must be zero, so "AB" is refused although a lenient
    // decoder would read it as one zero byte.
    const std::size_t rest = text.size() - i;
    if (rest > 0) {
        std::uint32_t n = value(text[i]) << 18 | value(text[i + 1]) << 12;
        if (rest == 3)
            n |= value(text[i + 2]) << 6;
        if ((n & (rest == 3 ? 0xffu : 0xffffu)) != 0)
            refuse();
        *o++ = static_cast<std::uint8_t>(n >> 16);
        if (rest == 3)
            *o++ = static_cast<std::uint8_t>(n >> 8);
    }
    if (count && out.size() != *count)
        refuse();
    return out;
}

Bytes random(std::size_t n) {
    Bytes out(n, 0);
    std::size_t filled = 0;
    while (filled < n) {
        const ssize_t got = getrandom(out.data() + filled, n - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw DazarError(std::string(msg::randomnessUnavailable));
        }
        filled += static_cast<std::size_t>(got);
    }
    return out;
}

std::string hexLower(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string identifier() {
    return hexLower(random(16));
}

bool validID(std::string_view text) {
    if (text.size() != 32)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::string aad(const Group& group, const Envelope& envelope) {
    std::string out = "zephlink|1|";
    out += group.room;
    out += '|';
    out += envelope.id;
    out += '|';
    out += envelope.origin;
    out += '|';
    out += std::to_string(envelope.createdAt);
    return out;
}

} // namespace zephlink
