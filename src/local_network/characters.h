#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zephlink {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(std::string_view bytes);

// Names are limited in user-perceived characters: Unicode's extended
// grapheme clusters, as every peer counts them.
std::size_t characterCount(std::string_view text);

// The first `count` characters of text. Bytes that are not UTF-8 become
// U+FFFD, so that the result can always be written as JSON.
std::string characterPrefix(std::string_view text, std::size_t count);

} // namespace zephlink
