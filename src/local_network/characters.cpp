#include "characters.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace zephlink {
namespace {

// The offset in `text` after its first `count` characters, all of it when
// it has fewer; `counted` receives how many there were. Without ICU's rules
// (its data missing) code points stand in: never fewer than peers count.
std::int32_t afterCharacters(const icu::UnicodeString& text, std::size_t count,
                             std::size_t& counted) {
    // Break iterators are not thread-safe: one per thread.
    thread_local const std::unique_ptr<icu::BreakIterator> breaks = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    if (breaks)
        breaks->setText(text);
    std::int32_t end = 0;
    for (counted = 0; counted < count && end < text.length(); ++counted)
        end = breaks ? breaks->next() : text.moveIndex32(end, 1);
    return end;
}

icu::UnicodeString unicode(std::string_view text) {
    // Ill-formed sequences become U+FFFD.
    return icu::UnicodeString::fromUTF8(icu::StringPiece(
        text.data(), static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX))));
}

} // namespace

bool validUtf8(std::string_view bytes) {
    if (bytes.size() > INT32_MAX)
        return false;
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int32_t>(bytes.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (c < 0)
            return false;
    }
    return true;
}

std::size_t characterCount(std::string_view text) {
    std::size_t counted = 0;
    afterCharacters(unicode(text), SIZE_MAX, counted);
    return counted;
}

std::string characterPrefix(std::string_view text, std::size_t count) {
    const icu::UnicodeString whole = unicode(text);
    std::size_t counted = 0;
    std::string out;
    whole.tempSubString(0, afterCharacters(whole, count, counted)).toUTF8String(out);
    return out;
}

} // namespace zephlink
