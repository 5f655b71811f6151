#include "clip.h"
#include "closed_port.h"
#include "encoding.h"
#include "process.h"
#include "test_relay.h"
#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;
using test::TestRelay;

namespace {

constexpr const char* kFail = "macOS interop failed\n";
const std::string kMac = "macOS → Zephlink 🔐";
const std::string kWindows = "Windows → Zephlink 🔐";
const std::string kAndroid = "Android → Zephlink 🔐";

// The clip format as implemented in Python with python3-cryptography.
test::ProcessResult clipTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"/usr/bin/python3", ZEPHLINK_CLIP_TOOL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return test::runProcess(command, std::chrono::seconds(30));
}

Envelope sealedElsewhere(const Group& group, const std::string& text) {
    const auto result = clipTool({"seal", group.room, group.key, identifier(), text});
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out).get<Envelope>();
}

std::string openedElsewhere(const Group& group, const std::string& envelopeJson) {
    const auto result = clipTool({"open", group.room, group.key, envelopeJson});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

class InteropCheck : public ::testing::Test {
protected:
    TestRelay relay;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zephlink-interop-" + identifier());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& contents) {
        const auto path = dir / "group.json";
        std::ofstream(path, std::ios::binary) << contents;
        return path.string();
    }
    std::string groupFile(const Group& group) { return write(json(group).dump()); }

    static test::ProcessResult interop(const std::string& file, const std::string& operation) {
        return test::runProcess({test::program(), "--interop", file, operation});
    }
};

} // namespace

TEST_F(InteropCheck, SendPostsAClipThatAnotherImplementationOpens) {
    const Group group = relay.openRoom();
    const auto result = interop(groupFile(group), "send");
    EXPECT_EQ(result.out, "PASS: macOS interop send\n");
    EXPECT_EQ(result.status, 0);

    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/v1/rooms/" + group.room + "/clips");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer " + group.token);
    EXPECT_EQ(openedElsewhere(group, seen[0].body), kMac);
    const Envelope posted = json::parse(seen[0].body).get<Envelope>();
    EXPECT_TRUE(validID(posted.origin));
    EXPECT_EQ(relay.clips(group.room).size(), 1u);
}

TEST_F(InteropCheck, ReceiveNeedsExactlyTheThreeFixtureTexts) {
    struct Case {
        const char* why;
        std::vector<std::string> texts;
        bool passes;
    };
    const Case cases[] = {
        {"all three, one repeated", {kWindows, kMac, kAndroid, kWindows}, true},
        {"all three, each twice", {kAndroid, kAndroid, kMac, kWindows, kMac, kWindows}, true},
        {"only two", {kMac, kWindows}, false},
        {"only two, one repeated", {kMac, kWindows, kWindows}, false},
        {"a fourth text", {kMac, kWindows, kAndroid, "Linux → Zephlink 🔐"}, false},
        {"a near miss", {kMac, kWindows, "Android → Zephlink"}, false},
        {"nothing at all", {}, false},
    };
    for (const Case& c : cases) {
        const Group group = relay.openRoom();
        for (const std::string& text : c.texts)
            relay.addClip(group.room, sealedElsewhere(group, text));
        const auto result = interop(groupFile(group), "receive");
        EXPECT_EQ(result.out, c.passes ? "PASS: macOS interop receive\n" : kFail) << c.why;
        EXPECT_EQ(result.status, c.passes ? 0 : 1) << c.why;
        EXPECT_EQ(relay.requests().back().target, "/v1/rooms/" + group.room + "/clips?after=0");
    }
}

TEST_F(InteropCheck, ReceiveFailsOnAClipThatDoesNotOpen) {
    const Group group = relay.openRoom();
    const Group stranger = relay.openRoom();
    relay.addClip(group.room, sealedElsewhere(group, kMac));
    relay.addClip(group.room, sealedElsewhere(group, kWindows));
    relay.addClip(group.room, sealedElsewhere(group, kAndroid));
    // Sealed for another room: its authenticated data names that room.
    Group otherRoom = group;
    otherRoom.room = stranger.room;
    relay.addClip(group.room, sealedElsewhere(otherRoom, kMac));
    const auto result = interop(groupFile(group), "receive");
    EXPECT_EQ(result.out, kFail);
    EXPECT_EQ(result.status, 1);
}

TEST_F(InteropCheck, AnyOtherOperationReceives) {
    const Group group = relay.openRoom();
    for (const std::string& text : {kAndroid, kMac, kWindows})
        relay.addClip(group.room, seal(text, group, identifier()));
    const auto result = interop(groupFile(group), "verify");
    EXPECT_EQ(result.out, "PASS: macOS interop verify\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(relay.requests().back().method, "GET");
}

TEST_F(InteropCheck, FailsOnMissingOperandsAndBadGroupFiles) {
    const Group group = relay.openRoom();
    const json good = group;
    const auto with = [&](const char* name, json value) {
        json j = good;
        j[name] = std::move(value);
        return write(j.dump());
    };
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"switch alone", {test::program(), "--interop"}},
        {"no operation", {test::program(), "--interop", groupFile(group)}},
        {"missing file", {test::program(), "--interop", (dir / "absent.json").string(), "send"}},
        {"not JSON", {test::program(), "--interop", write("{\"server\":"), "send"}},
        {"not an object", {test::program(), "--interop", write("[]"), "send"}},
        {"room upper-case",
         {test::program(), "--interop", with("room", "0123456789ABCDEF0123456789ABCDEF"), "send"}},
        {"token too short", {test::program(), "--interop", with("token", "c2hvcnQ"), "send"}},
        {"key padded", {test::program(), "--interop", with("key", group.key + "="), "send"}},
        {"server a number", {test::program(), "--interop", with("server", 8787), "send"}},
        {"public plain http",
         {test::program(), "--interop", with("server", "http://203.0.113.5:8787"), "send"}},
        {"server with a path",
         {test::program(), "--interop", with("server", relay.url() + "/v1"), "receive"}},
    };
    for (const auto& [why, arguments] : cases) {
        const auto result = test::runProcess(arguments);
        EXPECT_EQ(result.out, kFail) << why;
        EXPECT_EQ(result.status, 1) << why;
    }
    EXPECT_EQ(relay.requestCount(), 0u);
}

TEST_F(InteropCheck, FailsWhenTheRelayDoesNotCooperate) {
    const test::ClosedPort closed;
    const Group unreachable =
        Group::make(closed.url(), identifier(), encode64(random(32)), encode64(random(32)));
    const Group room = relay.openRoom();
    for (const std::string operation : {"send", "receive"}) {
        auto result = interop(groupFile(unreachable), operation);
        EXPECT_EQ(result.out, kFail) << operation;
        EXPECT_EQ(result.status, 1) << operation;

        Group wrongToken = room;
        wrongToken.token = encode64(random(32));
        result = interop(groupFile(wrongToken), operation);
        EXPECT_EQ(result.out, kFail) << operation;
        EXPECT_EQ(result.status, 1) << operation;
    }
}
