#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zephlink {

// The generic components of an RFC 3986 URI. An absent component is nullopt;
// a present but empty one (a bare "?" or "#") is an empty string.
struct UrlComponents {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host; // as written; IPv6 literals keep their brackets
    std::optional<std::string> port; // digits as written
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

struct QueryItem {
    std::string name;
    std::optional<std::string> value; // absent when the item has no "="
};

// nullopt when text is not a URI reference by RFC 3986.
std::optional<UrlComponents> parseUrl(std::string_view text);

// Query items split at "&" and "=", names and values percent-decoded ("+"
// stays a plus sign). nullopt when a percent escape is malformed.
std::optional<std::vector<QueryItem>> queryItems(std::string_view query);

// Percent-encodes everything a query item value may not carry unescaped,
// including the "&", "=" and "+" that would change how it splits.
std::string percentEncodeQueryValue(std::string_view value);

std::string asciiLower(std::string_view text);
// A decimal integer with an optional sign and nothing else, as peers parse
// numbers in headers and queries ("+5" is 5; " 5", "" and "5x" are not numbers).
std::optional<std::int64_t> decimalInteger(std::string_view text);
// Trims every character with the Unicode White_Space property (spaces, line
// breaks, U+00A0, U+2028, U+3000, ...) from both ends.
std::string_view trimmed(std::string_view text);

} // namespace zephlink
