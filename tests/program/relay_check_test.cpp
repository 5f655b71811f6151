#include "closed_port.h"
#include "encoding.h"
#include "program_run.h"
#include "test_relay.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;
using test::Answer;
using test::Outcome;
using test::RecordedRequest;
using test::TestRelay;

namespace {

Outcome failed(const std::string& message) {
    return {"Relay verification failed: " + message + "\n", 1};
}

Outcome relayCheck(const std::string& address) {
    return test::run({"--relay-check", address});
}

// The room the check created, from the paths it used after creation.
std::string createdRoom(const TestRelay& relay) {
    for (const RecordedRequest& request : relay.requests()) {
        if (request.path.starts_with("/v1/rooms/"))
            return request.path.substr(10, 32);
    }
    return "";
}

} // namespace

TEST(RelayCheck, PassesAgainstARelayThatHonoursTheEndpointsAndRevokesTheRoom) {
    TestRelay relay;
    // Pasted addresses come with Unicode white space around them.
    EXPECT_EQ(relayCheck("\u00A0" + relay.url() + "\u2028\u3000"),
              (Outcome{"PASS: macOS create, encrypted send, receive, decrypt and revoke against "
                       "relay\n",
                       0}));
    const std::string room = "/v1/rooms/" + createdRoom(relay);
    std::vector<std::string> seen;
    for (const RecordedRequest& request : relay.requests())
        seen.push_back(request.method + " " + request.target);
    EXPECT_EQ(seen, (std::vector<std::string>{"POST /v1/rooms", "POST " + room + "/clips",
                                              "GET " + room + "/clips?after=0", "DELETE " + room}));
    EXPECT_TRUE(relay.wasRevoked(createdRoom(relay)));
}

TEST(RelayCheck, FailsWithRoundtripMismatchUnlessTheOneClipComesBack) {
    const std::function<void(json&)> rewrites[] = {
        [](json& clips) { clips.push_back(clips.at(0)); },
        [](json& clips) { clips = json::array(); },
    };
    for (const auto& rewrite : rewrites) {
        TestRelay relay;
        relay.rewrite([&](const RecordedRequest& request, Answer& answer) {
            if (request.method != "GET" || answer.status != 200)
                return;
            json batch = json::parse(answer.body);
            rewrite(batch["clips"]);
            answer.body = batch.dump();
        });
        EXPECT_EQ(relayCheck(relay.url()), failed("Roundtrip mismatch"));
        EXPECT_TRUE(relay.hasRoom(createdRoom(relay))) << "a failed check leaves the room";
    }
}

TEST(RelayCheck, ReportsTheUnderlyingMessage) {
    struct Case {
        const char* why;
        const char* method;
        const char* pathEnd;
        int status;
        std::string body;
        const char* message;
    };
    const json token = encode64(random(32));
    const std::string upperRoom =
        json{{"room", "0123456789ABCDEF0123456789ABCDEF"}, {"token", token}}.dump();
    const std::string numeric = json{{"room", identifier()}, {"token", token}, {"ttl", 60}}.dump();
    const Case cases[] = {
        {"creation redirected", "POST", "/v1/rooms", 302, "", "Relay returned HTTP 302"},
        {"upper-case room", "POST", "/v1/rooms", 200, upperRoom, "Invalid group"},
        {"numeric member", "POST", "/v1/rooms", 200, numeric, "Invalid relay response"},
        {"post refused", "POST", "/clips", 401, "", "Re-pair required (401)"},
        {"read failing", "GET", "/clips", 500, "", "Relay returned HTTP 500"},
    };
    for (const Case& c : cases) {
        TestRelay relay;
        Answer answer;
        answer.status = c.status;
        answer.body = c.body;
        answer.headers = {{"Location", relay.url() + "/v1/rooms"}};
        relay.rewrite([answer, c](const RecordedRequest& request, Answer& sent) {
            if (request.method == c.method && request.path.ends_with(c.pathEnd))
                sent = answer;
        });
        EXPECT_EQ(relayCheck(relay.url()), failed(c.message)) << c.why;
        if (std::string_view(c.pathEnd) == "/v1/rooms") {
            EXPECT_EQ(relay.requestCount(), 1u) << c.why << ": nothing after a failed creation";
        }
    }
}

TEST(RelayCheck, FailsOnUnreachableOrRefusedAddressesBeforeAnyRequest) {
    TestRelay relay;
    const test::ClosedPort closed;
    EXPECT_EQ(relayCheck(closed.url()), failed("Relay unavailable. Check network and server."));
    // Plain HTTP to an address that is not private, though it reaches the relay.
    EXPECT_EQ(relayCheck("http://[::ffff:127.0.0.1]:" + std::to_string(relay.port())),
              failed("Public servers require HTTPS; HTTP is only for a trusted private LAN"));
    EXPECT_EQ(relayCheck(relay.url() + "/v1"),
              failed("Use a server URL without a path or credentials"));
    EXPECT_EQ(test::run({"--relay-check"}),
              failed("Use a server URL without a path or credentials"))
        << "the switch itself is the last argument";
    EXPECT_EQ(relay.requestCount(), 0u);
}
