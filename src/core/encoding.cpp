#include "encoding.h"

#include "errors.h"
#include "records.h"

#include <cerrno>
#include <sys/random.h>

namespace zephlink {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '-')
        return 62;
    if (c == '_')
        return 63;
    return -1;
}

[[noreturn]] void refuse() {
    throw DazarError(std::string(msg::invalidKeyOrEnvelope));
}

} // namespace

std::string encode64(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
    } else if (rest == 2) {
        const std::uint32_t n =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
    }
    return out;
}

Bytes decode64(std::string_view text, std::optional<std::size_t> count) {
    if (text.empty() || text.size() % 4 == 1)
        refuse();
    Bytes out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (const char c : text) {
        const int value = sextet(c);
        if (value < 0)
            refuse();
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xff));
        }
    }
    // Canonical form only: leftover bits must be zero, so "AB" is refused
    // although a lenient decoder would read it as one zero byte.
    if ((accumulator & ((1u << bits) - 1)) != 0)
        refuse();
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
