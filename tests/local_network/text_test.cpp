// Addresses, names and their characters.
#include "addresses.h"
#include "bonjour.h"
#include "characters.h"

#include <gtest/gtest.h>

using namespace zephlink;

TEST(PrivateAddress, AcceptsOnlyFourNumbersInAPrivateRange) {
    const struct {
        const char* text;
        bool isPrivate;
    } cases[] = {
        {"172.31.255.255", true}, {"192.169.0.1", false},
        {"10..0.1", false},       {"10.0.0.-1", false},
        {"10.0.0.1", true},       {"127.0.0.1", true},
        {"169.254.1.1", true},    {"169.253.1.1", false},
        {"172.15.0.1", false},    {"172.16.0.1", true},
        {"172.32.0.1", false},    {"192.168.0.1", true},
        {"010.0.0.1", true},      {"10.0.0", false},
        {"192.168.1.256", false}, {"10.0.0.1.", false},
        {"10.0.0.1 ", false},     {"::ffff:10.0.0.1", false},
        {"10.0.0.0x1", false},    {"127.0.0.99999999999999999999", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(privateAddress(c.text), c.isPrivate) << '"' << c.text << '"';
}

TEST(Characters, CountsExtendedGraphemeClusters) {
    const struct {
        const char* why;
        std::string text;
        std::size_t count;
    } cases[] = {
        {"empty", "", 0},
        {"combining marks stay with their letter", "e\u0301\u0302x", 2},
        {"ZWJ emoji sequence", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"ZWJ between letters joins nothing", "a\u200Db", 2},
        {"flag pairs", "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 2},
        {"Thai with SARA AM", "\u0E01\u0E33\u0E01\u0E33", 2},
        {"Hangul conjoining jamo", "\u1100\u1161\u11A8\u1100\u1161", 2},
        {"CR LF", "\r\n", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(characterCount(c.text), c.count) << c.why;
        EXPECT_EQ(characterPrefix(c.text + "z", c.count), c.text) << c.why;
    }
    EXPECT_EQ(characterPrefix("a\u200Db", 1), "a\u200D") << "never inside a character";
}

TEST(Characters, RefusesOrRepairsBytesThatAreNotUtf8) {
    EXPECT_TRUE(validUtf8(std::string("Mac\xe2\x80\x99s \xf0\x9f\x94\x90 nul\0", 17)));
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xc3"})
        EXPECT_FALSE(validUtf8(bad)) << bad;
    EXPECT_EQ(characterPrefix("a\xffz", 80), "a\xef\xbf\xbdz");
    EXPECT_TRUE(validUtf8(characterPrefix("\xc0\xaf\xed\xa0\x80", 80)));
}

TEST(Advertisement, PublishesNameTypeDomainPortAndTextEntries) {
    const std::string id(32, '6');
    EXPECT_EQ(
        hostService("Desk", id),
        (ServiceRecord{
            "local.", "_zephlink._tcp.", "Zephlink Desk", 8788, {{"v", "1"}, {"hostId", id}}}));
}

TEST(Advertisement, NamesTheServiceAfterTheFirst40CharactersWithinOneDnsLabel) {
    const std::string forty(40, 'n');
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"; // one character
    std::string euros;
    std::string accents;
    for (int i = 0; i < 45; ++i) {
        euros += "\xE2\x82\xAC"; // three bytes
        accents += "e\xCC\x81";  // one character of three bytes
    }
    const struct {
        const char* why;
        std::string deviceName;
        std::string expected;
    } cases[] = {
        {"40 characters", forty, "Zephlink " + forty},
        {"a flag as the 40th", std::string(39, 'n') + flag + "z",
         "Zephlink " + std::string(39, 'n') + flag},
        {"wide characters cut whole to fit 63 bytes", euros, "Zephlink " + euros.substr(0, 18 * 3)},
        {"combining marks stay with their letter", accents,
         "Zephlink " + accents.substr(0, 18 * 3)},
        {"bytes that are not UTF-8", "Desk\xFF", "Zephlink Desk\xEF\xBF\xBD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(serviceName(c.deviceName), c.expected) << c.why;
}
