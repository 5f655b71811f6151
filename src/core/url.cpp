#include "url.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <memory>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <uriparser/Uri.h>

namespace zephlink {
namespace {

struct UriFree {
    void operator()(UriUriA* uri) const {
        uriFreeUriMembersA(uri);
        delete uri;
    }
};

std::optional<std::string> text(const UriTextRangeA& range) {
    if (range.first == nullptr)
        return std::nullopt;
    return std::string(range.first, range.afterLast);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size())
            return std::nullopt;
        const int high = hexValue(in[i + 1]);
        const int low = hexValue(in[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

} // namespace

std::optional<UrlComponents> parseUrl(std::string_view input) {
    std::unique_ptr<UriUriA, UriFree> uri(new UriUriA{});
    const char* errorPos = nullptr;
    if (uriParseSingleUriExA(uri.get(), input.data(), input.data() + input.size(), &errorPos) !=
        URI_SUCCESS) {
        // On failure uriparser has already released the members.
        delete uri.release();
        return std::nullopt;
    }
    UrlComponents parts;
    parts.scheme = text(uri->scheme);
    if (auto info = text(uri->userInfo)) {
        const auto colon = info->find(':');
        parts.user = info->substr(0, colon);
        if (colon != std::string::npos)
            parts.password = info->substr(colon + 1);
    }
    parts.host = text(uri->hostText);
    if (parts.host && (uri->hostData.ip6 != nullptr || uri->hostData.ipFuture.first != nullptr)) {
        parts.host->insert(parts.host->begin(), '[');
        parts.host->push_back(']');
    }
    parts.port = text(uri->portText);
    bool first = true;
    for (const UriPathSegmentA* segment = uri->pathHead; segment != nullptr;
         segment = segment->next) {
        if (!first || parts.host || uri->absolutePath)
            parts.path += '/';
        parts.path += std::string(segment->text.first, segment->text.afterLast);
        first = false;
    }
    if (uri->pathHead == nullptr && uri->absolutePath)
        parts.path.assign(1, '/');
    parts.query = text(uri->query);
    parts.fragment = text(uri->fragment);
    return parts;
}

std::optional<std::vector<QueryItem>> queryItems(std::string_view query) {
    std::vector<QueryItem> items;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = query.find('&', start);
        const std::string_view piece = query.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        QueryItem item;
        const std::size_t equals = piece.find('=');
        auto name = percentDecode(piece.substr(0, equals));
        if (!name)
            return std::nullopt;
        item.name = std::move(*name);
        if (equals != std::string_view::npos) {
            auto value = percentDecode(piece.substr(equals + 1));
            if (!value)
                return std::nullopt;
            item.value = std::move(*value);
        }
        items.push_back(std::move(item));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return items;
}

std::string percentEncodeQueryValue(std::string_view value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        // RFC 3986 allows these in a query; "&", "=" and "+" are left out on purpose.
        const bool allowed = c == '!' || c == '$' || c == '\'' || c == '(' || c == ')' ||
                             c == '*' || c == ',' || c == ';' || c == ':' || c == '@' || c == '/' ||
                             c == '?';
        if (unreserved || allowed) {
            out += c;
        } else {
            out += '%';
            out += digits[u >> 4];
            out += digits[u & 15];
        }
    }
    return out;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    if (text.size() > INT32_MAX)
        return text;
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c = 0;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(s, begin, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::optional<std::int64_t> decimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    // Parse the magnitude as unsigned so that the most negative value fits.
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (negative) {
        if (magnitude > limit)
            return std::nullopt;
        return magnitude == limit ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude >= limit)
        return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

} // namespace zephlink
