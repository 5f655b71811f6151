#include "clip.h"
#include "closed_port.h"
#include "encoding.h"
#include "program_run.h"
#include "test_relay.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;
using test::Outcome;
using test::run;

namespace {

const Outcome kFail{"macOS interop failed\n", 1};
const std::string kMac = "macOS → Zephlink 🔐";
const std::string kWindows = "Windows → Zephlink 🔐";
const std::string kAndroid = "Android → Zephlink 🔐";
// Stands for the desktop's text sealed with authenticated data that names another room.
const std::string kForAnotherRoom = "for another room";

// The clip format as written in Python with python3-cryptography.
std::string clipTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"/usr/bin/python3", ZEPHLINK_CLIP_TOOL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto result = test::runProcess(command, std::chrono::seconds(30));
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

Envelope sealedElsewhere(const Group& group, const std::string& text) {
    return json::parse(clipTool({"seal", group.room, group.key, identifier(), text}))
        .get<Envelope>();
}

class InteropCheck : public ::testing::Test {
protected:
    test::TestRelay relay;
    test::Files files;
    Outcome interop(const Group& group, const std::string& operation) {
        return run({"--interop", files.write(json(group).dump()), operation});
    }
};

} // namespace

TEST_F(InteropCheck, SendPostsAClipThatAnotherImplementationOpens) {
    const Group group = relay.openRoom();
    EXPECT_EQ(interop(group, "send"), (Outcome{"PASS: macOS interop send\n", 0}));
    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method + " " + seen[0].target, "POST /v1/rooms/" + group.room + "/clips");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer " + group.token);
    EXPECT_EQ(clipTool({"open", group.room, group.key, seen[0].body}), kMac);
    EXPECT_TRUE(validID(json::parse(seen[0].body).at("origin").get<std::string>()));
}

TEST_F(InteropCheck, ReceiveNeedsExactlyTheThreeFixtureTexts) {
    Group otherRoom = relay.openRoom();
    struct Case {
        const char* why;
        std::vector<std::string> texts;
        const char* operation;
        bool passes;
    };
    const Case cases[] = {
        {"all three, one repeated", {kWindows, kMac, kAndroid, kWindows}, "receive", true},
        {"all three, each twice",
         {kAndroid, kAndroid, kMac, kWindows, kMac, kWindows},
         "verify",
         true},
        {"only two", {kMac, kWindows}, "receive", false},
        {"only two, one repeated", {kMac, kWindows, kWindows}, "receive", false},
        {"a fourth text", {kMac, kWindows, kAndroid, "Linux → Zephlink 🔐"}, "receive", false},
        {"a near miss", {kMac, kWindows, "Android → Zephlink"}, "receive", false},
        {"nothing at all", {}, "receive", false},
        {"a clip sealed for another room",
         {kMac, kWindows, kAndroid, kForAnotherRoom},
         "receive",
         false},
    };
    for (const Case& c : cases) {
        const Group group = relay.openRoom();
        otherRoom.key = group.key;
        for (const std::string& text : c.texts)
            relay.addClip(group.room, text == kForAnotherRoom ? sealedElsewhere(otherRoom, kMac)
                                                              : sealedElsewhere(group, text));
        const Outcome pass{"PASS: macOS interop " + std::string(c.operation) + "\n", 0};
        EXPECT_EQ(interop(group, c.operation), c.passes ? pass : kFail) << c.why;
        EXPECT_EQ(relay.requests().back().target, "/v1/rooms/" + group.room + "/clips?after=0");
    }
}

TEST_F(InteropCheck, FailsOnMissingOperandsBadGroupFilesAndUncooperativeRelays) {
    const Group group = relay.openRoom();
    const auto with = [&](const char* name, json value) {
        json j = group;
        j[name] = std::move(value);
        return files.write(j.dump());
    };
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"switch alone", {"--interop"}},
        {"no operation", {"--interop", files.write(json(group).dump())}},
        {"missing file", {"--interop", (files.dir / "absent.json").string(), "send"}},
        {"not JSON", {"--interop", files.write("{\"server\":"), "send"}},
        {"not an object", {"--interop", files.write("[]"), "send"}},
        {"room upper-case",
         {"--interop", with("room", "0123456789ABCDEF0123456789ABCDEF"), "send"}},
        {"token too short", {"--interop", with("token", "c2hvcnQ"), "send"}},
        {"key padded", {"--interop", with("key", group.key + "="), "send"}},
        {"server a number", {"--interop", with("server", 8787), "send"}},
        // Plain HTTP to an address that is not private, though it reaches the relay.
        {"public plain http",
         {"--interop", with("server", "http://[::ffff:127.0.0.1]:" + std::to_string(relay.port())),
          "send"}},
        {"server with a path", {"--interop", with("server", relay.url() + "/v1"), "receive"}},
    };
    for (const auto& [why, arguments] : cases)
        EXPECT_EQ(run(arguments), kFail) << why;
    EXPECT_EQ(relay.requestCount(), 0u);

    const test::ClosedPort closed;
    Group wrongToken = group;
    wrongToken.token = encode64(random(32));
    for (const std::string operation : {"send", "receive"}) {
        EXPECT_EQ(run({"--interop", with("server", closed.url()), operation}), kFail) << operation;
        EXPECT_EQ(interop(wrongToken, operation), kFail) << operation;
    }
}
