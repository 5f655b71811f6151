#include "encoding.h"
#include "errors.h"
#include "records.h"

#include <gtest/gtest.h>
#include <set>

using namespace zephlink;

namespace {

std::string refusal(std::string_view text, std::optional<std::size_t> count = std::nullopt) {
    try {
        decode64(text, count);
    } catch (const DazarError& e) {
        return e.message();
    }
    return "accepted";
}

} // namespace

TEST(Decode64, RefusesHostileTexts) {
    struct Case {
        const char* why;
        std::string text;
        std::optional<std::size_t> count;
    };
    const std::string key43 = encode64(Bytes(32, 7));
    const Case cases[] = {
        {"empty", "", std::nullopt},
        {"padding present", "AA==", std::nullopt},
        {"standard alphabet", "AA+/", std::nullopt},
        {"non-canonical last character", "AB", std::nullopt},
        {"length 1 mod 4", "A", std::nullopt},
        {"length 1 mod 4, longer", "AAAAA", std::nullopt},
        {"white space inside", "AA AA", std::nullopt},
        {"trailing newline", "AAAA\n", std::nullopt},
        {"non-ASCII", "AA\xc3\xa9", std::nullopt},
        {"key with one more character", key43 + "A", 32},
        {"wrong count", key43, 31},
        {"nonce of 11 bytes asked as 12", encode64(Bytes(11, 1)), 12},
    };
    for (const Case& c : cases)
        EXPECT_EQ(refusal(c.text, c.count), "Invalid key or envelope") << c.why;
}

TEST(Decode64, AcceptsCanonicalTexts) {
    EXPECT_EQ(decode64("AA"), Bytes{0});
    EXPECT_EQ(decode64("-_8"), (Bytes{0xfb, 0xff}));
    const Bytes key(32, 0xab);
    const std::string text = encode64(key);
    EXPECT_EQ(text.size(), 43u);
    EXPECT_EQ(decode64(text, 32), key);
    EXPECT_EQ(encode64(Bytes(12, 0)).size(), 16u);
}

TEST(Encode64, RoundTripsEveryLengthWithoutPadding) {
    for (std::size_t n = 1; n < 70; ++n) {
        const Bytes bytes = random(n);
        const std::string text = encode64(bytes);
        EXPECT_EQ(text.find_first_of("=+/"), std::string::npos);
        EXPECT_EQ(decode64(text, n), bytes) << n;
    }
    EXPECT_EQ(encode64(Bytes{}), "");
    EXPECT_EQ(encode64(Bytes{0xfb, 0xff, 0xbf}), "-_-_");
}

TEST(ValidID, AcceptsOnlyThirtyTwoLowerHexDigits) {
    EXPECT_TRUE(validID(std::string(32, 'f')));
    EXPECT_TRUE(validID("0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(validID(std::string(31, 'a')));
    EXPECT_FALSE(validID(std::string(33, 'a')));
    EXPECT_FALSE(validID(std::string(31, 'a') + "A"));
    EXPECT_FALSE(validID(std::string(31, 'a') + "g"));
    EXPECT_FALSE(validID(""));
}

TEST(Identifier, IsFreshLowerHex) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = identifier();
        EXPECT_TRUE(validID(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Random, GivesTheAskedCount) {
    EXPECT_EQ(random(0).size(), 0u);
    EXPECT_EQ(random(12).size(), 12u);
    EXPECT_NE(random(32), random(32));
}

TEST(Aad, IsTheExactByteString) {
    Group group;
    group.room = "918a30a149a69861dfa1ad322b9be4df";
    Envelope envelope;
    envelope.id = "cc004654db548b75c43816c1bbd35ab7";
    envelope.origin = "0fcdbc261873e440f2cd87ebe08f4546";
    envelope.createdAt = 1796546274175;
    EXPECT_EQ(aad(group, envelope),
              "zephlink|1|918a30a149a69861dfa1ad322b9be4df|cc004654db548b75c43816c1bbd35ab7|"
              "0fcdbc261873e440f2cd87ebe08f4546|1796546274175");
    Envelope later = envelope;
    later.createdAt += 1;
    EXPECT_NE(aad(group, envelope), aad(group, later));
    envelope.createdAt = -5;
    EXPECT_TRUE(aad(group, envelope).ends_with("|-5"));
    envelope.v = 7; // the version is not authenticated
    envelope.nonce = "x";
    EXPECT_TRUE(aad(group, envelope).ends_with("0fcdbc261873e440f2cd87ebe08f4546|-5"));
}
