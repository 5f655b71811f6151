#include "characters.h"

#include <gtest/gtest.h>

using namespace zephlink;

TEST(ValidUtf8, RefusesMalformedAndOverlongSequences) {
    EXPECT_TRUE(validUtf8(""));
    EXPECT_TRUE(validUtf8("plain"));
    EXPECT_TRUE(validUtf8("Mac\xe2\x80\x99s \xf0\x9f\x94\x90"));
    EXPECT_TRUE(validUtf8(std::string("nul\0inside", 10)));
    for (const char* bad : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xf8\x88\x80\x80\x80", "\xe2\x80", "\xff", "ok\xc3"})
        EXPECT_FALSE(validUtf8(bad)) << bad;
}

TEST(CharacterCount, CountsWhatAPersonSeesAsOneCharacter) {
    const struct {
        const char* text;
        std::size_t count;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xc3\xa9", 1},                                     // é precomposed
        {"e\xcc\x81", 1},                                    // e + combining acute
        {"\xf0\x9f\x94\x90", 1},                             // 🔐
        {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", 1},             // 👍 + skin tone
        {"\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", 1}, // woman technologist (ZWJ)
        {"\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa", 1},             // flag: D E
        {"\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa\xf0\x9f\x87\xab", 2},
        {"\r\n", 1},
        {"\xe2\x9d\xa4\xef\xb8\x8f", 1}, // ❤ + variation selector
    };
    for (const auto& c : cases)
        EXPECT_EQ(characterCount(c.text), c.count) << c.text;
}

TEST(CharacterPrefix, CutsBetweenCharactersNeverInsideOne) {
    EXPECT_EQ(characterPrefix("abcdef", 3), "abc");
    EXPECT_EQ(characterPrefix("ab", 80), "ab");
    EXPECT_EQ(characterPrefix("e\xcc\x81x", 1), "e\xcc\x81");
    std::string emoji;
    for (int i = 0; i < 100; ++i)
        emoji += "\xf0\x9f\x94\x90";
    EXPECT_EQ(characterPrefix(emoji, 80).size(), 320u);
}

TEST(CharacterPrefix, RepairsBytesThatAreNotUtf8) {
    EXPECT_EQ(characterPrefix("a\xffz", 80), "a\xef\xbf\xbdz");
    EXPECT_TRUE(validUtf8(characterPrefix("\xc0\xaf\xed\xa0\x80", 80)));
}
