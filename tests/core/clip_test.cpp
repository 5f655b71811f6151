#include "aes_gcm.h"
#include "clip.h"
#include "errors.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;

namespace {

const std::string kOrigin = "0fcdbc261873e440f2cd87ebe08f4546";

std::string sealRefusal(const std::string& text, const Group& group) {
    try {
        seal(text, group, kOrigin);
    } catch (const DazarError& e) {
        return e.message();
    }
    return "sealed";
}

std::string openRefusal(const Envelope& envelope, const Group& group) {
    try {
        openClip(envelope, group);
    } catch (const DazarError& e) {
        return e.message();
    } catch (const AuthenticationError&) {
        return "authentication";
    }
    return "opened";
}

// Seals an arbitrary body, bypassing the text checks of `seal`.
Envelope sealBody(const std::string& body, const Group& group) {
    Envelope envelope;
    envelope.id = identifier();
    envelope.origin = kOrigin;
    envelope.createdAt = 1700000000000;
    envelope.nonce = encode64(random(12));
    const std::string associated = aad(group, envelope);
    const auto bytes = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()),
                                             s.size());
    };
    envelope.ciphertext = encode64(aesGcmSeal(decode64(group.key, 32), decode64(envelope.nonce, 12),
                                              bytes(associated), bytes(body)));
    return envelope;
}

} // namespace

TEST(Seal, RoundTripsTextsOfEveryKind) {
    const Group group = test::freshGroup();
    for (const std::string& text :
         {std::string("a"), std::string("  padded  \n"), std::string("macOS → Zephlink 🔐"),
          std::string("quote \" backslash \\ slash / nul") + '\0' + "end",
          std::string(kMaxTextBytes, 'x')}) {
        const Envelope envelope = seal(text, group, kOrigin);
        EXPECT_EQ(openClip(envelope, group), text);
    }
}

TEST(Seal, FillsTheEnvelopeFreshly) {
    const Group group = test::freshGroup();
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
    EXPECT_NE(a.ciphertext, b.ciphertext);
}

TEST(Seal, RefusesTextsOutsideTheLimits) {
    const Group group = test::freshGroup();
    EXPECT_EQ(sealRefusal("", group), "Text must be between 1 and 32,768 UTF-8 bytes");
    EXPECT_EQ(sealRefusal(std::string(kMaxTextBytes + 1, 'x'), group),
              "Text must be between 1 and 32,768 UTF-8 bytes");
    // 32,768 bytes that JSON must escape pass the size test but not the body limit.
    EXPECT_EQ(sealRefusal(std::string(kMaxTextBytes, '"'), group), "Encoded text is too large");
    EXPECT_EQ(sealRefusal(std::string(kMaxTextBytes, '\x01'), group), "Encoded text is too large");
    // Multi-byte characters count in bytes: 8,193 four-byte characters are too many.
    std::string emoji;
    for (int i = 0; i < 8193; ++i)
        emoji += "🔐";
    EXPECT_EQ(sealRefusal(emoji, group), "Text must be between 1 and 32,768 UTF-8 bytes");
    Group badKey = group;
    badKey.key = "short";
    EXPECT_EQ(sealRefusal("hello", badKey), "Invalid key or envelope");
}

TEST(OpenClip, RefusesMalformedEnvelopesWithTheirMessages) {
    const Group group = test::freshGroup();
    const Envelope good = seal("hello", group, kOrigin);
    struct Case {
        const char* why;
        std::function<void(Envelope&)> alter;
        const char* expected;
    };
    const Case cases[] = {
        {"version 2", [](Envelope& e) { e.v = 2; }, "Invalid envelope"},
        {"version 0", [](Envelope& e) { e.v = 0; }, "Invalid envelope"},
        {"createdAt 0", [](Envelope& e) { e.createdAt = 0; }, "Invalid envelope"},
        {"negative createdAt", [](Envelope& e) { e.createdAt = -1; }, "Invalid envelope"},
        {"upper-case origin", [](Envelope& e) { e.origin = std::string(32, 'F'); },
         "Invalid envelope"},
        {"short id", [](Envelope& e) { e.id.pop_back(); }, "Invalid envelope"},
        {"ciphertext of 15 bytes", [](Envelope& e) { e.ciphertext = encode64(Bytes(15, 1)); },
         "Invalid envelope size"},
        {"ciphertext over the limit",
         [](Envelope& e) { e.ciphertext = encode64(Bytes(kMaxSealedBytes + 1, 1)); },
         "Invalid envelope size"},
        {"ciphertext not base64url", [](Envelope& e) { e.ciphertext += "="; },
         "Invalid key or envelope"},
        {"nonce of 11 bytes", [](Envelope& e) { e.nonce = encode64(Bytes(11, 1)); },
         "Invalid key or envelope"},
        {"another valid origin", [](Envelope& e) { e.origin = std::string(32, 'f'); },
         "authentication"},
        {"another id", [](Envelope& e) { e.id = identifier(); }, "authentication"},
        {"createdAt one later", [](Envelope& e) { e.createdAt += 1; }, "authentication"},
        {"tampered ciphertext",
         [](Envelope& e) {
             Bytes sealed = decode64(e.ciphertext);
             sealed[0] ^= 1;
             e.ciphertext = encode64(sealed);
         },
         "authentication"},
        {"bare tag", [](Envelope& e) { e.ciphertext = encode64(Bytes(16, 0)); }, "authentication"},
    };
    for (const Case& c : cases) {
        Envelope envelope = good;
        c.alter(envelope);
        EXPECT_EQ(openRefusal(envelope, group), c.expected) << c.why;
    }
}

TEST(OpenClip, BindsTheRoomAndTheKey) {
    const Group group = test::freshGroup();
    const Envelope envelope = seal("hello", group, kOrigin);
    Group otherRoom = group;
    otherRoom.room = identifier();
    EXPECT_EQ(openRefusal(envelope, otherRoom), "authentication");
    Group otherKey = group;
    otherKey.key = encode64(random(32));
    EXPECT_EQ(openRefusal(envelope, otherKey), "authentication");
    Group badKey = group;
    badKey.key += "A";
    EXPECT_EQ(openRefusal(envelope, badKey), "Invalid key or envelope");
}

TEST(OpenClip, ChecksTheDecryptedBody) {
    const Group group = test::freshGroup();
    EXPECT_EQ(openRefusal(sealBody(R"({"text":""})", group), group), "Invalid text size");
    EXPECT_EQ(
        openRefusal(sealBody(R"({"text":")" + std::string(kMaxTextBytes + 1, 'a') + "\"}", group),
                    group),
        "Invalid text size");
    // A body over 40,960 bytes whose text is within limits.
    const std::string padded = R"({"text":"a","pad":")" + std::string(kMaxBodyBytes, 'p') + "\"}";
    EXPECT_EQ(openRefusal(sealBody(padded, group), group), "Invalid envelope size")
        << "the ciphertext itself is already too long";
    const std::string paddedFits =
        R"({"text":"a","pad":")" + std::string(kMaxBodyBytes - 30, 'p') + "\"}";
    EXPECT_EQ(openClip(sealBody(paddedFits, group), group), "a") << "extra members are ignored";
    EXPECT_THROW(openClip(sealBody("not json", group), group), nlohmann::json::exception);
    EXPECT_THROW(openClip(sealBody(R"({"body":"x"})", group), group), nlohmann::json::exception);
    EXPECT_THROW(openClip(sealBody(R"({"text":5})", group), group), nlohmann::json::exception);
    // Escapes of other writers: "\/", \u escapes and surrogate pairs.
    EXPECT_EQ(openClip(sealBody(R"({"text":"a\/b \u00e9 \ud83d\udd10"})", group), group),
              "a/b é 🔐");
}
