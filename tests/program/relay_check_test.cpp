#include "closed_port.h"
#include "encoding.h"
#include "process.h"
#include "test_relay.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;
using test::Answer;
using test::RecordedRequest;
using test::TestRelay;

namespace {

constexpr const char* kPass =
    "PASS: macOS create, encrypted send, receive, decrypt and revoke against relay\n";

std::string failLine(const std::string& message) {
    return "Relay verification failed: " + message + "\n";
}

test::ProcessResult relayCheck(const std::string& address) {
    return test::runProcess({test::program(), "--relay-check", address});
}

// Room ids the relay handed out, from its answers to room creation.
std::vector<std::string> createdRooms(const TestRelay& relay) {
    std::vector<std::string> rooms;
    for (const RecordedRequest& request : relay.requests()) {
        if (request.method == "GET" && request.path.starts_with("/v1/rooms/"))
            rooms.push_back(request.path.substr(10, 32));
    }
    return rooms;
}

void duplicateClips(const RecordedRequest& request, Answer& answer) {
    if (request.method != "GET" || answer.status != 200)
        return;
    json batch = json::parse(answer.body);
    json twice = batch["clips"];
    for (const json& item : batch["clips"])
        twice.push_back(item);
    batch["clips"] = twice;
    answer.body = batch.dump();
}

} // namespace

TEST(RelayCheck, PassesAgainstARelayThatHonoursTheEndpointsAndRevokesTheRoom) {
    TestRelay relay;
    const auto result = relayCheck(relay.url());
    EXPECT_EQ(result.out, kPass);
    EXPECT_EQ(result.status, 0);

    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 4u);
    const auto rooms = createdRooms(relay);
    ASSERT_EQ(rooms.size(), 1u);
    const std::string room = "/v1/rooms/" + rooms[0];
    EXPECT_EQ(seen[0].method + " " + seen[0].target, "POST /v1/rooms");
    EXPECT_EQ(seen[1].method + " " + seen[1].target, "POST " + room + "/clips");
    EXPECT_EQ(seen[2].method + " " + seen[2].target, "GET " + room + "/clips?after=0");
    EXPECT_EQ(seen[3].method + " " + seen[3].target, "DELETE " + room);
    EXPECT_TRUE(relay.wasRevoked(rooms[0]));
    EXPECT_FALSE(relay.hasRoom(rooms[0]));
}

TEST(RelayCheck, FailsWithRoundtripMismatchWhenTheRelayReturnsOtherThanTheOneClip) {
    const std::function<void(const RecordedRequest&, Answer&)> rewrites[] = {
        duplicateClips,
        [](const RecordedRequest& request, Answer& answer) {
            if (request.method == "GET")
                answer.body = R"({"clips":[],"cursor":0,"reset":false})";
        },
    };
    for (const auto& rewrite : rewrites) {
        TestRelay relay;
        relay.rewrite(rewrite);
        const auto result = relayCheck(relay.url());
        EXPECT_EQ(result.out, failLine("Roundtrip mismatch"));
        EXPECT_EQ(result.status, 1);
        // A failed check leaves the room behind.
        const auto rooms = createdRooms(relay);
        ASSERT_EQ(rooms.size(), 1u);
        EXPECT_TRUE(relay.hasRoom(rooms[0]));
    }
}

TEST(RelayCheck, ReportsTheUnderlyingMessage) {
    struct Case {
        const char* why;
        std::string method;
        std::string path; // "" for the room's clips path
        Answer answer;
        std::string message;
    };
    Answer redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "http://127.0.0.1:1/v1/rooms"}};
    Answer upperRoom;
    upperRoom.body =
        json{{"room", "0123456789ABCDEF0123456789ABCDEF"}, {"token", encode64(random(32))}}.dump();
    Answer numeric;
    numeric.body =
        json{{"room", identifier()}, {"token", encode64(random(32))}, {"ttl", 60}}.dump();
    Answer unauthorized;
    unauthorized.status = 401;
    Answer failing;
    failing.status = 500;
    const Case cases[] = {
        {"creation redirected", "POST", "/v1/rooms", redirect, "Relay returned HTTP 302"},
        {"upper-case room", "POST", "/v1/rooms", upperRoom, "Invalid group"},
        {"numeric member", "POST", "/v1/rooms", numeric, "Invalid relay response"},
        {"post refused", "POST", "", unauthorized, "Re-pair required (401)"},
        {"read failing", "GET", "", failing, "Relay returned HTTP 500"},
    };
    for (const Case& c : cases) {
        TestRelay relay;
        if (!c.path.empty()) {
            relay.script(c.method, c.path, c.answer);
        } else {
            relay.rewrite([&](const RecordedRequest& request, Answer& answer) {
                if (request.method == c.method && request.path.ends_with("/clips"))
                    answer = c.answer;
            });
        }
        const auto result = relayCheck(relay.url());
        EXPECT_EQ(result.out, failLine(c.message)) << c.why;
        EXPECT_EQ(result.status, 1) << c.why;
        if (c.path == "/v1/rooms") {
            EXPECT_EQ(relay.requestCount(), 1u) << c.why << ": nothing after a failed creation";
        }
    }
}

TEST(RelayCheck, FailsOnUnreachableOrRefusedAddresses) {
    const test::ClosedPort closed;
    const std::pair<std::string, std::string> cases[] = {
        {closed.url(), "Relay unavailable. Check network and server."},
        {"http://203.0.113.5:8787",
         "Public servers require HTTPS; HTTP is only for a trusted private LAN"},
        {"http://127.0.0.1:8787/v1", "Use a server URL without a path or credentials"},
    };
    for (const auto& [address, message] : cases) {
        const auto result = relayCheck(address);
        EXPECT_EQ(result.out, failLine(message)) << address;
        EXPECT_EQ(result.status, 1) << address;
    }
}

TEST(RelayCheck, SwitchAloneTakesItselfAsTheAddress) {
    const auto result = test::runProcess({test::program(), "--relay-check"});
    EXPECT_EQ(result.out, failLine("Use a server URL without a path or credentials"));
    EXPECT_EQ(result.status, 1);
}
