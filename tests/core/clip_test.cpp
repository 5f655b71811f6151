#include "clip.h"
#include "outcome.h"
#include "test_support.h"

#include <functional>
#include <gtest/gtest.h>

using namespace zephlink;
using nlohmann::json;
using test::outcome;

namespace {

const std::string kOrigin = "0fcdbc261873e440f2cd87ebe08f4546";
const std::string kTextSize = "Text must be between 1 and 32,768 UTF-8 bytes";

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

TEST(Clip, SealsFreshEnvelopesThatOpenToTheText) {
    const Group group = test::freshGroup();
    for (const std::string& text :
         {std::string("  macOS → Zephlink 🔐\n") + '\0', std::string(kMaxTextBytes, 'x')})
        EXPECT_EQ(openClip(seal(text, group, kOrigin), group), text);
    const std::int64_t before = nowMilliseconds();
    const Envelope a = seal("same", group, kOrigin), b = seal("same", group, kOrigin);
    EXPECT_TRUE(a.v == 1 && validID(a.id) && a.origin == kOrigin);
    EXPECT_GE(a.createdAt, before);
    EXPECT_LE(a.createdAt, nowMilliseconds());
    EXPECT_EQ(decode64(a.ciphertext).size(), std::string(R"({"text":"same"})").size() + 16);
    EXPECT_TRUE(a.id != b.id && a.nonce != b.nonce);
    EXPECT_EQ(outcome([&] { seal("", group, kOrigin); }), kTextSize);
    EXPECT_EQ(outcome([&] { seal(std::string(kMaxTextBytes + 1, 'x'), group, kOrigin); }),
              kTextSize);
    // Within the size, but JSON escapes push the body over its limit.
    EXPECT_EQ(outcome([&] { seal(std::string(kMaxTextBytes, '"'), group, kOrigin); }),
              "Encoded text is too large");
}

TEST(Clip, OpeningRefusesEveryAlteration) {
    const Group group = test::freshGroup();
    const Envelope good = seal("hello", group, kOrigin);
    const std::pair<std::function<void(Envelope&, Group&)>, const char*> cases[] = {
        {[](Envelope& e, Group&) { e.v = 2; }, "Invalid envelope"},
        {[](Envelope& e, Group&) { e.createdAt = 0; }, "Invalid envelope"},
        {[](Envelope& e, Group&) { e.origin = std::string(32, 'F'); }, "Invalid envelope"},
        {[](Envelope& e, Group&) { e.id.pop_back(); }, "Invalid envelope"},
        {[](Envelope& e, Group&) { e.ciphertext = encode64(Bytes(15, 1)); },
         "Invalid envelope size"},
        {[](Envelope& e, Group&) { e.ciphertext = encode64(Bytes(kMaxSealedBytes + 1, 1)); },
         "Invalid envelope size"},
        {[](Envelope& e, Group&) { e.ciphertext += "="; }, "Invalid key or envelope"},
        {[](Envelope&, Group& g) { g.room = identifier(); }, "authentication error"},
        {[](Envelope& e, Group&) { e.createdAt += 1; }, "authentication error"},
    };
    for (const auto& [alter, expected] : cases) {
        Envelope envelope = good;
        Group opener = group;
        alter(envelope, opener);
        EXPECT_EQ(open(envelope, opener), expected);
    }
    const auto padded = [](std::size_t n) {
        return R"({"text":"a","pad":")" + std::string(n, 'p') + "\"}";
    };
    const std::pair<std::string, std::string> bodies[] = {
        {R"({"text":""})", "Invalid text size"},
        {R"({"text":")" + std::string(kMaxTextBytes + 1, 'a') + "\"}", "Invalid text size"},
        {padded(kMaxBodyBytes), "Invalid envelope size"},
        {padded(kMaxBodyBytes - 30), "a"},
        {R"({"text":5})", "json error"},
        // Escapes of other writers: "\/", \u escapes and surrogate pairs.
        {R"({"text":"a\/b \u00e9 \ud83d\udd10"})", "a/b é 🔐"},
    };
    for (const auto& [body, expected] : bodies)
        EXPECT_EQ(open(sealBody(body, group), group), expected) << body.substr(0, 40);
}

TEST(Encoding, Base64UrlWithoutPaddingAndIdentifiers) {
    EXPECT_EQ(encode64(Bytes{0xfb, 0xff, 0xbf}), "-_-_");
    for (std::size_t n = 1; n < 70; ++n) {
        const Bytes bytes = random(n);
        EXPECT_EQ(decode64(encode64(bytes), n), bytes) << n;
    }
    const std::string key43 = encode64(Bytes(32, 7));
    for (const char* text : {"", "AA==", "AA+/", "AB", "A"})
        EXPECT_EQ(outcome([&] { decode64(text); }), "Invalid key or envelope") << text;
    EXPECT_EQ(outcome([&] { decode64(key43 + "A", 32); }), "Invalid key or envelope");
    EXPECT_EQ(outcome([&] { decode64(key43, 31); }), "Invalid key or envelope");
    EXPECT_TRUE(validID(identifier()));
    EXPECT_NE(identifier(), identifier());
    for (const std::string& bad : {std::string(31, 'a'), std::string(33, 'a'),
                                   std::string(31, 'a') + "A", std::string(31, 'a') + "g"})
        EXPECT_FALSE(validID(bad)) << bad;
}

TEST(Records, AadAndJsonAsOtherWritersSpellThem) {
    const json envelope = json::parse(R"({"v":1,"id":"cc004654db548b75c43816c1bbd35ab7",
        "origin":"0fcdbc261873e440f2cd87ebe08f4546","createdAt":1796546274175,
        "nonce":"NxLvbWDfPWJx7xxB","ciphertext":"uxtFE_d3z5QQNLyDWS0wrbQb5uXxUGEM"})");
    Group group;
    group.room = "918a30a149a69861dfa1ad322b9be4df";
    EXPECT_EQ(aad(group, envelope.get<Envelope>()),
              "zephlink|1|918a30a149a69861dfa1ad322b9be4df|cc004654db548b75c43816c1bbd35ab7|"
              "0fcdbc261873e440f2cd87ebe08f4546|1796546274175");
    EXPECT_EQ(json(envelope.get<Envelope>()), envelope);
    EXPECT_TRUE(json(envelope.get<Envelope>())["createdAt"].is_number_integer());
    const auto with = [](json j, const char* key, json value) {
        j[key] = std::move(value);
        return j;
    };
    // Integral numbers may come as 1.0 or 1e3; version 2 is refused only when opened.
    EXPECT_EQ(with(with(envelope, "v", 2.0), "createdAt", 1e3).get<Envelope>().createdAt, 1000);
    const json batch = {
        {"clips", {{{"seq", 3}, {"envelope", envelope}}}}, {"cursor", 4}, {"reset", false}};
    EXPECT_EQ(batch.get<Batch>().clips.at(0).seq, 3);
    EXPECT_EQ(batch.get<Batch>().cursor, 4);
    for (const json& j : {with(envelope, "v", 1.5), with(envelope, "createdAt", "1"),
                          with(envelope, "createdAt", 18446744073709551615ull)})
        EXPECT_THROW(j.get<Envelope>(), json::exception) << j.dump();
    for (const json& j : {with(batch, "reset", 0), with(batch, "clips", json::object()),
                          with(batch, "clips", {{{"seq", 1}}}), json{{"cursor", 0}}})
        EXPECT_THROW(j.get<Batch>(), json::exception) << j.dump();
}
