#include "characters.h"

#include <cstdint>
#include <vector>

namespace zephlink {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kZeroWidthJoiner = 0x200D;

// Decodes one code point at i; nullopt-like 0xFFFFFFFF marks an invalid
// sequence, of which one byte is consumed.
constexpr char32_t kInvalid = 0xFFFFFFFF;

char32_t decodeOne(std::string_view bytes, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        minimum = 0x10000;
    } else {
        ++i;
        return kInvalid;
    }
    if (i + length > bytes.size()) {
        ++i;
        return kInvalid;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const std::uint8_t next = byte(i + k);
        if ((next & 0xC0u) != 0x80u) {
            ++i;
            return kInvalid;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++i;
        return kInvalid;
    }
    i += length;
    return value;
}

std::vector<char32_t> codePoints(std::string_view bytes) {
    std::vector<char32_t> out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const char32_t c = decodeOne(bytes, i);
        out.push_back(c == kInvalid ? kReplacement : c);
    }
    return out;
}

void append(std::string& out, char32_t c) {
    const auto put = [&](char32_t bits) {
        out += static_cast<char>(static_cast<std::uint8_t>(bits));
    };
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | (c >> 6));
        put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | (c >> 12));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | (c >> 18));
        put(0x80 | ((c >> 12) & 0x3F));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

bool in(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last;
}

// Code points that never start a character of their own.
bool extends(char32_t c) {
    return in(c, 0x0300, 0x036F) || in(c, 0x0483, 0x0489) || in(c, 0x0591, 0x05BD) ||
           in(c, 0x0610, 0x061A) || in(c, 0x064B, 0x065F) || in(c, 0x0900, 0x0903) ||
           in(c, 0x093A, 0x094F) || in(c, 0x0E31, 0x0E31) || in(c, 0x0E34, 0x0E3A) ||
           in(c, 0x0E47, 0x0E4E) || in(c, 0x1AB0, 0x1AFF) || in(c, 0x1DC0, 0x1DFF) ||
           in(c, 0x200C, 0x200D) || in(c, 0x20D0, 0x20FF) || in(c, 0x3099, 0x309A) ||
           in(c, 0xFE00, 0xFE0F) || in(c, 0xFE20, 0xFE2F) || in(c, 0x1F3FB, 0x1F3FF) ||
           in(c, 0xE0020, 0xE007F) || in(c, 0xE0100, 0xE01EF);
}

bool regionalIndicator(char32_t c) {
    return in(c, 0x1F1E6, 0x1F1FF);
}

// Index of the first code point of every character.
std::vector<std::size_t> characterStarts(const std::vector<char32_t>& points) {
    std::vector<std::size_t> starts;
    std::size_t regionalRun = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const char32_t c = points[i];
        bool joins = false;
        if (i > 0) {
            const char32_t previous = points[i - 1];
            joins = (previous == '\r' && c == '\n') || extends(c) || previous == kZeroWidthJoiner ||
                    (regionalIndicator(c) && regionalRun % 2 == 1);
        }
        regionalRun = regionalIndicator(c) ? regionalRun + 1 : 0;
        if (!joins)
            starts.push_back(i);
    }
    return starts;
}

} // namespace

bool validUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        if (decodeOne(bytes, i) == kInvalid)
            return false;
    }
    return true;
}

std::size_t characterCount(std::string_view text) {
    return characterStarts(codePoints(text)).size();
}

std::string characterPrefix(std::string_view text, std::size_t count) {
    const std::vector<char32_t> points = codePoints(text);
    const std::vector<std::size_t> starts = characterStarts(points);
    const std::size_t end = count < starts.size() ? starts[count] : points.size();
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < end; ++i)
        append(out, points[i]);
    return out;
}

} // namespace zephlink
