#include "records.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

const json kGroup = {{"server", "x"}, {"room", "not an id"}, {"token", ""}, {"key", ""}};
const json kEnvelope = json::parse(R"({"v":1,"id":"cc004654db548b75c43816c1bbd35ab7",
    "origin":"0fcdbc261873e440f2cd87ebe08f4546","createdAt":1796546274175,
    "nonce":"NxLvbWDfPWJx7xxB","ciphertext":"uxtFE_d3z5QQNLyDWS0wrbQb5uXxUGEM"})");
const json kBatch = {
    {"clips", {{{"seq", 3}, {"envelope", kEnvelope}}}}, {"cursor", 3}, {"reset", false}};

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

TEST(RecordJson, DecodingChecksPresenceAndTypesOnly) {
    struct Case {
        const char* why;
        bool (*decodes)(const json&);
        json input;
        bool accepted;
    };
    const Case cases[] = {
        {"group room a number", decodes<Group>, with(kGroup, "room", 12), false},
        {"envelope version 2, refused only when opened", decodes<Envelope>, with(kEnvelope, "v", 2),
         true},
        {"envelope version 1.5", decodes<Envelope>, with(kEnvelope, "v", 1.5), false},
        {"createdAt a string", decodes<Envelope>, with(kEnvelope, "createdAt", "1796546274175"),
         false},
        {"createdAt over int64", decodes<Envelope>,
         with(kEnvelope, "createdAt", 18446744073709551615ull), false},
        {"batch without reset", decodes<Batch>, without(kBatch, "reset"), false},
        {"batch reset a number", decodes<Batch>, with(kBatch, "reset", 0), false},
        {"batch clips an object", decodes<Batch>, with(kBatch, "clips", json::object()), false},
        {"item without envelope", decodes<Batch>, with(kBatch, "clips", {{{"seq", 1}}}), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.decodes(c.input), c.accepted) << c.why;
}

TEST(RecordJson, RoundTripsWithIntegerMembers) {
    const Group group{"http://10.0.0.2:8787", std::string(32, 'a'), "t", "k"};
    EXPECT_EQ(json(group).size(), 4u);
    EXPECT_EQ(json(group).get<Group>(), group);
    const json encoded = kEnvelope.get<Envelope>();
    EXPECT_TRUE(encoded["v"].is_number_integer());
    EXPECT_TRUE(encoded["createdAt"].is_number_integer());
    EXPECT_EQ(encoded, kEnvelope);
    // Other writers may spell integral numbers as 1.0 or 1e3.
    EXPECT_EQ(with(with(kEnvelope, "v", 1.0), "createdAt", 1e3).get<Envelope>().createdAt, 1000);
    const Batch batch = kBatch.get<Batch>();
    ASSERT_EQ(batch.clips.size(), 1u);
    EXPECT_EQ(batch.clips[0].seq, 3);
    EXPECT_EQ(batch.cursor, 3);
}
