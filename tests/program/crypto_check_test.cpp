#include "clip.h"
#include "program_run.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;
using test::Outcome;
using test::run;

namespace {

const Outcome kPass{"PASS: macOS CryptoKit shared fixture and metadata authentication\n", 0};
const Outcome kFail{"Crypto verification failed\n", 1};
const std::string kFixture = test::sharedPath("fixtures/crypto-fixture.json");

json fixture() {
    return json::parse(test::readFile(kFixture));
}

json altered(const char* pointer, json value) {
    json j = fixture();
    j[json::json_pointer(pointer)] = std::move(value);
    return j;
}

json removed(const char* key) {
    json j = fixture();
    j.erase(key);
    return j;
}

// A fixture of a fresh group for text, sealed from origin.
json sealedFixture(const std::string& text, const std::string& origin) {
    const Group group = test::freshGroup();
    return {{"room", group.room},
            {"key", group.key},
            {"envelope", seal(text, group, origin)},
            {"text", text}};
}

class CryptoCheck : public ::testing::Test {
protected:
    test::Files files;
    Outcome check(const std::string& contents) {
        return run({"--crypto-check", files.write(contents)});
    }
};

} // namespace

TEST_F(CryptoCheck, PassesOnTheSharedFixtureAsOtherWritersSpellIt) {
    EXPECT_EQ(run({"--crypto-check", kFixture}), kPass);
    EXPECT_EQ(run({"--relay-check", "--crypto-check", kFixture}), kPass) << "crypto comes first";

    // Other escapes and extra members.
    std::string text = test::readFile(kFixture);
    for (const auto& [from, to] : {std::pair{"\u2192", "\\u2192"},
                                   {"\U0001F510", "\\ud83d\\udd10"},
                                   {"\"room\"", "\"extra\": [1, {\"x\": null}], \"r\\u006fom\""}}) {
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, std::string(from).size(), to);
    }
    EXPECT_EQ(check(text), kPass);

    // The largest text, its slashes written as "\/".
    std::string escaped;
    for (const char c :
         sealedFixture(std::string(kMaxTextBytes - 1, '/') + "e", identifier()).dump())
        escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    EXPECT_EQ(check(escaped), kPass);
}

TEST_F(CryptoCheck, FailsWithOneLineOnEveryBadFixture) {
    const std::pair<const char*, std::string> cases[] = {
        {"not JSON", "{not json"},
        {"empty file", ""},
        {"an array", "[]"},
        {"text differs", altered("/text", "Android → Zephlink").dump()},
        {"text not a string", altered("/text", 5).dump()},
        {"room missing", removed("room").dump()},
        {"key missing", removed("key").dump()},
        {"envelope missing", removed("envelope").dump()},
        {"envelope not an object", altered("/envelope", "x").dump()},
        {"room altered", altered("/room", std::string(32, 'a')).dump()},
        {"createdAt as string", altered("/envelope/createdAt", "1796546274175").dump()},
        {"createdAt altered", altered("/envelope/createdAt", 1796546274176).dump()},
        {"version 2", altered("/envelope/v", 2).dump()},
        {"key not base64url",
         altered("/key", "xOY7voPrF+w9K8aPvIWBdSDHzcCGGBWeSXV4A4g3/n8").dump()},
        {"origin upper-case",
         altered("/envelope/origin", "0FCDBC261873E440F2CD87EBE08F4546").dump()},
        // Already from 32 "f": the altered copy still opens.
        {"altered origin still opens", sealedFixture("same origin", std::string(32, 'f')).dump()},
    };
    for (const auto& [why, contents] : cases)
        EXPECT_EQ(check(contents), kFail) << why;
    EXPECT_EQ(run({"--crypto-check", (files.dir / "absent.json").string()}), kFail)
        << "missing file";
    EXPECT_EQ(run({"--crypto-check"}), kFail) << "the switch itself is the last argument";
}
