#include "errors.h"
#include "records.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

const json kEnvelope = json::parse(R"({"v":1,"id":"cc004654db548b75c43816c1bbd35ab7",
    "origin":"0fcdbc261873e440f2cd87ebe08f4546","createdAt":1796546274175,
    "nonce":"NxLvbWDfPWJx7xxB","ciphertext":"uxtFE_d3z5QQNLyDWS0wrbQb5uXxUGEM"})");

template <typename T> bool decodes(const json& j) {
    try {
        (void)j.get<T>();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

json with(json j, const char* key, json value) {
    j[key] = std::move(value);
    return j;
}

json without(json j, const char* key) {
    j.erase(key);
    return j;
}

} // namespace

TEST(GroupJson, ChecksPresenceAndTypesOnly) {
    const json group = {{"server", "x"}, {"room", "not an id"}, {"token", ""}, {"key", ""}};
    EXPECT_TRUE(decodes<Group>(group)) << "no semantic checks on decoding";
    EXPECT_TRUE(decodes<Group>(with(group, "extra", 5)));
    EXPECT_FALSE(decodes<Group>(without(group, "key")));
    EXPECT_FALSE(decodes<Group>(with(group, "room", 12)));
    EXPECT_FALSE(decodes<Group>(with(group, "token", nullptr)));
    EXPECT_FALSE(decodes<Group>(json::array()));
}

TEST(GroupJson, RoundTrips) {
    const Group group{"http://10.0.0.2:8787", std::string(32, 'a'), "t", "k"};
    const json encoded = group;
    EXPECT_EQ(encoded.size(), 4u);
    EXPECT_EQ(encoded.get<Group>(), group);
}

TEST(EnvelopeJson, RefusesWrongTypes) {
    EXPECT_TRUE(decodes<Envelope>(kEnvelope));
    EXPECT_TRUE(decodes<Envelope>(with(kEnvelope, "extra", json::object())));
    EXPECT_TRUE(decodes<Envelope>(with(kEnvelope, "v", 2))) << "refused only when opened";
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "v", 1.5)));
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "v", "1")));
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "createdAt", "1796546274175")));
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "createdAt", 18446744073709551615ull)));
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "nonce", 3)));
    EXPECT_FALSE(decodes<Envelope>(without(kEnvelope, "ciphertext")));
    EXPECT_FALSE(decodes<Envelope>(with(kEnvelope, "v", true)));
}

TEST(EnvelopeJson, IntegralNumbersInOtherNotationsAreIntegers) {
    EXPECT_EQ(json::parse(R"({"v":1.0,"id":"","origin":"","createdAt":1e3,"nonce":"",
        "ciphertext":""})")
                  .get<Envelope>()
                  .createdAt,
              1000);
}

TEST(EnvelopeJson, RoundTripsWithIntegerMembers) {
    const Envelope envelope = kEnvelope.get<Envelope>();
    const json encoded = envelope;
    EXPECT_TRUE(encoded["v"].is_number_integer());
    EXPECT_TRUE(encoded["createdAt"].is_number_integer());
    EXPECT_EQ(encoded, kEnvelope);
}

TEST(BatchJson, EveryMemberIsRequired) {
    const json batch = {
        {"clips", {{{"seq", 3}, {"envelope", kEnvelope}}}}, {"cursor", 3}, {"reset", false}};
    ASSERT_TRUE(decodes<Batch>(batch));
    const Batch decoded = batch.get<Batch>();
    ASSERT_EQ(decoded.clips.size(), 1u);
    EXPECT_EQ(decoded.clips[0].seq, 3);
    EXPECT_EQ(decoded.cursor, 3);
    EXPECT_FALSE(decodes<Batch>(without(batch, "reset")));
    EXPECT_FALSE(decodes<Batch>(without(batch, "cursor")));
    EXPECT_FALSE(decodes<Batch>(with(batch, "reset", 0)));
    EXPECT_FALSE(decodes<Batch>(with(batch, "clips", json::object())));
    EXPECT_FALSE(decodes<Batch>(with(batch, "clips", {{{"seq", 1}}})));
    EXPECT_FALSE(decodes<Batch>(with(batch, "clips", {{{"envelope", kEnvelope}}})));
    EXPECT_FALSE(decodes<Batch>(json()));
}

TEST(DazarError, DescriptionIsTheMessageByteForByte) {
    const std::string message =
        "That address points to the receiving device itself. Use your Mac’s LAN address from "
        "the relay terminal.";
    const DazarError error(message);
    EXPECT_EQ(std::string(error.what()), message);
    EXPECT_EQ(error.message(), message);
}
