#include "encoding.h"
#include "outcome.h"
#include "records.h"

#include <gtest/gtest.h>

using namespace zephlink;
using test::outcome;

TEST(Decode64, RefusesHostileTexts) {
    struct Case {
        const char* why;
        std::string text;
        std::optional<std::size_t> count;
    };
    const std::string key43 = encode64(Bytes(32, 7));
    const Case cases[] = {
        {"empty", "", {}},
        {"padding present", "AA==", {}},
        {"standard alphabet", "AA+/", {}},
        {"non-canonical last character", "AB", {}},
        {"length 1 mod 4", "A", {}},
        {"white space inside", "AA AA", {}},
        {"key with one more character", key43 + "A", 32},
        {"wrong count", key43, 31},
    };
    for (const Case& c : cases)
        EXPECT_EQ(outcome([&] { decode64(c.text, c.count); }), "Invalid key or envelope") << c.why;
}

TEST(Encode64, RoundTripsEveryLengthInTheUrlAlphabetWithoutPadding) {
    EXPECT_EQ(encode64(Bytes{0xfb, 0xff, 0xbf}), "-_-_");
    EXPECT_EQ(decode64("-_8"), (Bytes{0xfb, 0xff}));
    for (std::size_t n = 1; n < 70; ++n) {
        const Bytes bytes = random(n);
        const std::string text = encode64(bytes);
        EXPECT_EQ(text.find_first_of("=+/"), std::string::npos);
        EXPECT_EQ(decode64(text, n), bytes) << n;
    }
}

TEST(ValidID, AcceptsOnlyThirtyTwoLowerHexDigits) {
    EXPECT_TRUE(validID("0123456789abcdef0123456789abcdef"));
    for (const std::string& bad : {std::string(31, 'a'), std::string(33, 'a'),
                                   std::string(31, 'a') + "A", std::string(31, 'a') + "g"})
        EXPECT_FALSE(validID(bad)) << bad;
    EXPECT_TRUE(validID(identifier()));
    EXPECT_NE(identifier(), identifier());
}

TEST(Aad, IsTheExactByteStringWithoutTheVersion) {
    Group group;
    group.room = "918a30a149a69861dfa1ad322b9be4df";
    Envelope envelope;
    envelope.id = "cc004654db548b75c43816c1bbd35ab7";
    envelope.origin = "0fcdbc261873e440f2cd87ebe08f4546";
    envelope.createdAt = 1796546274175;
    envelope.v = 7;
    EXPECT_EQ(aad(group, envelope),
              "zephlink|1|918a30a149a69861dfa1ad322b9be4df|cc004654db548b75c43816c1bbd35ab7|"
              "0fcdbc261873e440f2cd87ebe08f4546|1796546274175");
    envelope.createdAt = -5;
    EXPECT_TRUE(aad(group, envelope).ends_with("0fcdbc261873e440f2cd87ebe08f4546|-5"));
}
