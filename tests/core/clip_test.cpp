#include "clip.h"
#include "outcome.h"
#include "test_support.h"

#include <functional>
#include <gtest/gtest.h>

using namespace zephlink;
using test::outcome;

namespace {

constexpr const char* kTextSize = "Text must be between 1 and 32,768 UTF-8 bytes";
const std::string kOrigin = "0fcdbc261873e440f2cd87ebe08f4546";

// Seals any body, past the text checks of `seal`.
Envelope sealBody(const std::string& body, const Group& group) {
    Envelope envelope{1, identifier(), kOrigin, 1700000000000, encode64(random(12)), ""};
    const std::string associated = aad(group, envelope);
    const auto bytes = [](const std::string& s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    envelope.ciphertext = encode64(aesGcmSeal(decode64(group.key, 32), decode64(envelope.nonce, 12),
                                              bytes(associated), bytes(body)));
    return envelope;
}

std::string open(const Envelope& envelope, const Group& group) {
    return outcome([&] { return openClip(envelope, group); });
}

} // namespace

TEST(Seal, RoundTripsAFreshEnvelopeForTextsOfEveryKind) {
    const Group group = test::freshGroup();
    for (const std::string& text :
         {std::string("  macOS → Zephlink 🔐\n"), std::string("quote \" nul") + '\0',
          std::string(kMaxTextBytes, 'x')})
        EXPECT_EQ(openClip(seal(text, group, kOrigin), group), text);

    const std::int64_t before = nowMilliseconds();
    const Envelope a = seal("same", group, kOrigin);
    const Envelope b = seal("same", group, kOrigin);
    EXPECT_EQ(a.v, 1);
    EXPECT_TRUE(validID(a.id));
    EXPECT_EQ(a.origin, kOrigin);
    EXPECT_GE(a.createdAt, before);
    EXPECT_LE(a.createdAt, nowMilliseconds());
    EXPECT_EQ(a.nonce.size(), 16u);
    EXPECT_EQ(decode64(a.ciphertext).size(), std::string(R"({"text":"same"})").size() + 16);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.nonce, b.nonce);
}

TEST(Seal, RefusesTextsOutsideTheLimits) {
    const Group group = test::freshGroup();
    std::string emoji; // 8,193 four-byte characters: the limit counts bytes
    for (int i = 0; i < 8193; ++i)
        emoji += "🔐";
    Group badKey = group;
    badKey.key = "short";
    const std::tuple<std::string, Group, const char*> cases[] = {
        {"", group, kTextSize},
        {std::string(kMaxTextBytes + 1, 'x'), group, kTextSize},
        {emoji, group, kTextSize},
        // Within the size, but JSON escapes push the body over its limit.
        {std::string(kMaxTextBytes, '"'), group, "Encoded text is too large"},
        {"hello", badKey, "Invalid key or envelope"},
    };
    for (const auto& [text, g, expected] : cases)
        EXPECT_EQ(outcome([&] { seal(text, g, kOrigin); }), expected) << text.substr(0, 20);
}

TEST(OpenClip, RefusesEveryAlterationWithItsError) {
    const Group group = test::freshGroup();
    const Envelope good = seal("hello", group, kOrigin);
    struct Case {
        const char* why;
        std::function<void(Envelope&, Group&)> alter;
        const char* expected;
    };
    const Case cases[] = {
        {"version 2", [](Envelope& e, Group&) { e.v = 2; }, "Invalid envelope"},
        {"createdAt 0", [](Envelope& e, Group&) { e.createdAt = 0; }, "Invalid envelope"},
        {"upper-case origin", [](Envelope& e, Group&) { e.origin = std::string(32, 'F'); },
         "Invalid envelope"},
        {"short id", [](Envelope& e, Group&) { e.id.pop_back(); }, "Invalid envelope"},
        {"ciphertext of 15 bytes",
         [](Envelope& e, Group&) { e.ciphertext = encode64(Bytes(15, 1)); },
         "Invalid envelope size"},
        {"ciphertext over the limit",
         [](Envelope& e, Group&) { e.ciphertext = encode64(Bytes(kMaxSealedBytes + 1, 1)); },
         "Invalid envelope size"},
        {"ciphertext padded", [](Envelope& e, Group&) { e.ciphertext += "="; },
         "Invalid key or envelope"},
        {"key one character long", [](Envelope&, Group& g) { g.key += "A"; },
         "Invalid key or envelope"},
        {"another room", [](Envelope&, Group& g) { g.room = identifier(); },
         "authentication error"},
        {"tampered ciphertext",
         [](Envelope& e, Group&) {
             Bytes sealed = decode64(e.ciphertext);
             sealed[0] ^= 1;
             e.ciphertext = encode64(sealed);
         },
         "authentication error"},
    };
    for (const Case& c : cases) {
        Envelope envelope = good;
        Group opener = group;
        c.alter(envelope, opener);
        EXPECT_EQ(open(envelope, opener), c.expected) << c.why;
    }
}

TEST(OpenClip, ChecksTheDecryptedBody) {
    const Group group = test::freshGroup();
    const auto padded = [](std::size_t n) {
        return R"({"text":"a","pad":")" + std::string(n, 'p') + "\"}";
    };
    const std::pair<std::string, std::string> cases[] = {
        {R"({"text":""})", "Invalid text size"},
        {R"({"text":")" + std::string(kMaxTextBytes + 1, 'a') + "\"}", "Invalid text size"},
        {padded(kMaxBodyBytes), "Invalid envelope size"},
        {padded(kMaxBodyBytes - 30), "a"},
        {R"({"body":"x"})", "json error"},
        {R"({"text":5})", "json error"},
        // Escapes of other writers: "\/", \u escapes and surrogate pairs.
        {R"({"text":"a\/b \u00e9 \ud83d\udd10"})", "a/b é 🔐"},
    };
    for (const auto& [body, expected] : cases)
        EXPECT_EQ(open(sealBody(body, group), group), expected) << body.substr(0, 40);
}
