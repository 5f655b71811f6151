#include "clip.h"
#include "process.h"
#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

constexpr const char* kPass = "PASS: macOS CryptoKit shared fixture and metadata authentication\n";
constexpr const char* kFail = "Crypto verification failed\n";

const std::string kFixture = test::sharedPath("fixtures/crypto-fixture.json");

class CryptoCheck : public ::testing::Test {
protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zephlink-crypto-" + identifier());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, const std::string& contents) {
        const auto path = dir / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path.string();
    }
    static test::ProcessResult check(const std::string& path) {
        return test::runProcess({test::program(), "--crypto-check", path});
    }
    static json fixture() { return json::parse(test::readFile(kFixture)); }
};

} // namespace

TEST_F(CryptoCheck, PassesOnTheSharedFixture) {
    const auto result = check(kFixture);
    EXPECT_EQ(result.out, kPass);
    EXPECT_EQ(result.status, 0);
}

TEST_F(CryptoCheck, OpensFixturesWrittenByOtherJsonWriters) {
    // The same fixture with its strings escaped differently and extra members.
    std::string text = test::readFile(kFixture);
    const auto replace = [&](const std::string& from, const std::string& to) {
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
    };
    replace("\u2192", "\\u2192");
    replace("\U0001F510", "\\ud83d\\udd10");
    replace("\"room\"", "\"extra\": [1, {\"x\": null}], \"r\\u006fom\"");
    const auto result = check(write("escaped.json", text));
    EXPECT_EQ(result.out, kPass);
    EXPECT_EQ(result.status, 0);
}

TEST_F(CryptoCheck, OpensTheLargestAllowedTextWithEscapedSlashes) {
    const Group group = test::freshGroup();
    const std::string text = std::string(kMaxTextBytes - 1, '/') + "e";
    const Envelope envelope = seal(text, group, identifier());
    json j = {{"room", group.room}, {"key", group.key}, {"envelope", envelope}, {"text", text}};
    std::string contents = j.dump();
    // Rewrite the plain slashes of the expected text as "\/".
    std::string escaped;
    for (char c : contents)
        escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    const auto result = check(write("large.json", escaped));
    EXPECT_EQ(result.out, kPass);
    EXPECT_EQ(result.status, 0);
}

TEST_F(CryptoCheck, FailsWithOneLineOnEveryBadFixture) {
    struct Case {
        const char* why;
        std::function<std::string()> contents;
    };
    const auto altered = [](const char* path, json value) {
        json j = fixture();
        j[json::json_pointer(path)] = std::move(value);
        return j.dump();
    };
    const auto removed = [](const char* key) {
        json j = fixture();
        j.erase(key);
        return j.dump();
    };
    const Case cases[] = {
        {"not JSON", [] { return std::string("{not json"); }},
        {"empty file", [] { return std::string(); }},
        {"an array", [] { return std::string("[]"); }},
        {"text differs", [&] { return altered("/text", "Android → Zephlink"); }},
        {"text not a string", [&] { return altered("/text", 5); }},
        {"room missing", [&] { return removed("room"); }},
        {"key missing", [&] { return removed("key"); }},
        {"envelope missing", [&] { return removed("envelope"); }},
        {"envelope not an object", [&] { return altered("/envelope", "x"); }},
        {"room altered", [&] { return altered("/room", std::string(32, 'a')); }},
        {"createdAt as string", [&] { return altered("/envelope/createdAt", "1796546274175"); }},
        {"createdAt altered", [&] { return altered("/envelope/createdAt", 1796546274176); }},
        {"version 2", [&] { return altered("/envelope/v", 2); }},
        {"key not base64url",
         [&] { return altered("/key", "xOY7voPrF+w9K8aPvIWBdSDHzcCGGBWeSXV4A4g3/n8"); }},
        {"origin upper-case",
         [&] { return altered("/envelope/origin", "0FCDBC261873E440F2CD87EBE08F4546"); }},
    };
    for (const Case& c : cases) {
        const auto result = check(write("bad.json", c.contents()));
        EXPECT_EQ(result.out, kFail) << c.why;
        EXPECT_EQ(result.status, 1) << c.why;
    }
}

TEST_F(CryptoCheck, FailsWhenTheFileIsMissing) {
    const auto result = check((dir / "absent.json").string());
    EXPECT_EQ(result.out, kFail);
    EXPECT_EQ(result.status, 1);
    const auto bare = test::runProcess({test::program(), "--crypto-check"});
    EXPECT_EQ(bare.out, kFail) << "the switch itself is the last argument";
    EXPECT_EQ(bare.status, 1);
}

TEST_F(CryptoCheck, FailsWhenTheAlteredOriginStillOpens) {
    // A fixture whose origin already is 32 "f" opens after the alteration too.
    const Group group = test::freshGroup();
    const Envelope envelope = seal("same origin", group, std::string(32, 'f'));
    const json j = {
        {"room", group.room}, {"key", group.key}, {"envelope", envelope}, {"text", "same origin"}};
    const auto result = check(write("ffff.json", j.dump()));
    EXPECT_EQ(result.out, kFail);
    EXPECT_EQ(result.status, 1);
}

TEST(SwitchTable, CryptoCheckComesBeforeRelayCheck) {
    const auto result =
        test::runProcess({test::program(), "--relay-check", "--crypto-check", kFixture});
    EXPECT_EQ(result.out, kPass);
    EXPECT_EQ(result.status, 0);
}
