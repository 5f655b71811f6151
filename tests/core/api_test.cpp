#include "api.h"
#include "clip.h"
#include "closed_port.h"
#include "outcome.h"
#include "test_relay.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace zephlink;
using nlohmann::json;
using test::Answer;
using test::outcome;
using test::RecordedRequest;

namespace {

constexpr const char* kUnavailable = "Relay unavailable. Check network and server.";
constexpr const char* kRepair = "Re-pair required (401)";
constexpr const char* kTooLarge = "Relay response too large";
constexpr const char* kInvalidResponse = "Invalid relay response";
constexpr const char* kHttps =
    "Public servers require HTTPS; HTTP is only for a trusted private LAN";
constexpr const char* kShape = "Use a server URL without a path or credentials";

Answer answer(int status, std::string body = {}) {
    Answer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

std::string returned(int status) {
    return "Relay returned HTTP " + std::to_string(status);
}

class Api : public ::testing::Test {
protected:
    test::TestRelay relay;

    std::string get(const std::string& path, double timeout = 10) {
        return outcome([&] { return API::request(relay.url(), path, {}, "GET", {}, timeout); });
    }
};

} // namespace

TEST_F(Api, MapsEveryStatusToItsOutcomeAndNeverFollowsARedirect) {
    relay.script("GET", "/elsewhere", answer(200, "followed"));
    const std::string binary("a\0b\r\n\xff", 6);
    const std::tuple<int, std::string, std::string> cases[] = {
        {200, binary, binary},           {204, "", ""},
        {300, "", returned(300)},        {302, "", returned(302)},
        {401, "token revoked", kRepair}, {500, "oops", returned(500)},
    };
    for (const auto& [status, body, expected] : cases) {
        Answer scripted = answer(status, body);
        scripted.headers = {{"Location", relay.url() + "/elsewhere"}};
        relay.script("GET", "/status", scripted);
        const std::size_t before = relay.requestCount();
        EXPECT_EQ(get("/status"), expected) << status;
        EXPECT_EQ(relay.requestCount(), before + 1) << status << ": no second request";
    }
}

TEST_F(Api, SizeCapAcceptsExactlySixMillionBytesAndRefusesOneMoreWithoutHoldingIt) {
    struct Case {
        const char* why;
        std::size_t bytes;
        bool streamed;
        bool chunked;
        int status;
        std::string expected; // empty: the whole body comes back
    };
    constexpr std::size_t gigabyte = std::size_t{1} << 30;
    const Case cases[] = {
        {"in one piece, at the cap", kMaxResponseBytes, false, false, 200, ""},
        {"in one piece, one over", kMaxResponseBytes + 1, false, false, 200, kTooLarge},
        {"streamed with a length, one over", kMaxResponseBytes + 1, true, false, 200, kTooLarge},
        {"chunked, one over", kMaxResponseBytes + 1, true, true, 200, kTooLarge},
        {"a gigabyte chunked", gigabyte, true, true, 200, kTooLarge},
        {"a 401 keeps its message", kMaxResponseBytes + 1, true, false, 401, kRepair},
    };
    for (const Case& c : cases) {
        Answer big = answer(c.status, c.streamed ? "" : std::string(c.bytes, 'x'));
        if (c.streamed)
            big.streamedBytes = c.bytes;
        big.chunked = c.chunked;
        relay.script("GET", "/big", big);
        const std::size_t before = relay.streamedBytes();
        const std::string result = get("/big");
        const bool allX = !result.empty() && result.find_first_not_of('x') == std::string::npos;
        EXPECT_EQ(allX ? std::to_string(result.size()) + " x" : result,
                  c.expected.empty() ? std::to_string(c.bytes) + " x" : c.expected)
            << c.why;
        // At most what the loopback socket buffers held when the client gave up.
        EXPECT_LT(relay.streamedBytes() - before, 64u << 20) << c.why;
    }
}

TEST_F(Api, EveryRequestCarriesContentTypeTheTokenOnlyWhenGivenAndNoCookie) {
    struct Case {
        const char* method;
        std::optional<std::string> token;
        std::optional<std::string> body;
        std::string sentBody;
    };
    const Case cases[] = {
        {"DELETE", "tok", std::string("ignored for DELETE"), ""},
        {"POST", "tok", std::string("{\"a\":\"\xe2\x86\x92\"}"), "{\"a\":\"\xe2\x86\x92\"}"},
        {"POST", "tok", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        const std::string why = std::string(c.method) + " token=" + c.token.value_or("none");
        Answer ok = answer(200, "ok");
        ok.headers = {{"Set-Cookie", "session=abc; Path=/"}};
        relay.script(c.method, "/echo", ok);
        EXPECT_EQ(outcome([&] {
                      return API::request(relay.url(), "/echo", c.token, c.method, c.body, 10);
                  }),
                  "ok")
            << why;
        const RecordedRequest seen = relay.requests().back();
        EXPECT_EQ(seen.method, c.method) << why;
        EXPECT_EQ(seen.header("Content-Type"), "application/json") << why;
        EXPECT_EQ(seen.header("Authorization"),
                  c.token ? std::optional<std::string>("Bearer " + *c.token) : std::nullopt)
            << why;
        EXPECT_EQ(seen.body, c.sentBody) << why;
        EXPECT_FALSE(seen.header("Cookie")) << why;
        EXPECT_FALSE(seen.header("Expect")) << why;
        if (std::string(c.method) != "POST") {
            EXPECT_FALSE(seen.header("Transfer-Encoding")) << why;
            EXPECT_EQ(seen.header("Content-Length").value_or("0"), "0") << why;
        }
    }
}

TEST_F(Api, UnreachableOrSlowRelayIsUnavailable) {
    const test::ClosedPort closed;
    EXPECT_EQ(outcome([&] { return API::request(closed.url(), "/v1/rooms", {}, "GET", {}, 5); }),
              kUnavailable);
    Answer slow = answer(200, "too late");
    slow.delay = std::chrono::seconds(30);
    relay.script("GET", "/slow", slow);
    EXPECT_EQ(get("/slow", 0.3), kUnavailable);
    // libcurl reads a zero timeout as "none"; here it still ends the request.
    EXPECT_EQ(get("/slow", 0), kUnavailable);
}

TEST_F(Api, RefusesBadAddressesInjectionsAndRoomsBeforeAnythingIsSent) {
    // Plain HTTP to an address that is not private, though it reaches the relay.
    const std::string mapped = "http://[::ffff:127.0.0.1]:" + std::to_string(relay.port());
    const std::pair<std::string, const char*> servers[] = {
        {mapped, kHttps},
        {relay.url() + "/v1", kShape},
        {"http://user@127.0.0.1:" + std::to_string(relay.port()), kShape},
    };
    for (const auto& [server, expected] : servers) {
        EXPECT_EQ(outcome([&] { return API::request(server, "/v1/rooms", {}, "GET", {}, 5); }),
                  expected)
            << server;
        EXPECT_EQ(outcome([&] { API::create(server); }), expected) << server;
    }
    // Paths, tokens and methods that would break the request line or a header.
    const std::tuple<std::string, std::optional<std::string>, std::string> injections[] = {
        {"v1/rooms", {}, "GET"},
        {"/v1/rooms\r\nX-Evil: 1", {}, "GET"},
        {"/v1/rooms", "t\r\nX-Evil: 1", "GET"},
        {"/v1/rooms", std::string("t\0u", 3), "GET"},
        {"/v1/rooms", {}, "GET /x HTTP/1.1\r\n"},
        {"/v1/rooms", {}, ""},
    };
    for (const auto& [path, token, method] : injections)
        EXPECT_THROW(API::request(relay.url(), path, token, method, {}, 5), std::invalid_argument)
            << path << " " << method;
    // A room that is no identifier would lead elsewhere on the relay.
    Group group = relay.openRoom();
    const Envelope envelope = seal("x", group, identifier());
    for (const char* room : {"../../admin", "ABCDEF0123456789ABCDEF0123456789"}) {
        group.room = room;
        EXPECT_EQ(outcome([&] { API::postClip(group, envelope); }), "Invalid group") << room;
        EXPECT_EQ(outcome([&] { API::pollClips(group, 0); }), "Invalid group") << room;
        EXPECT_EQ(outcome([&] { API::readFromStart(group); }), "Invalid group") << room;
        EXPECT_EQ(outcome([&] { API::revokeRoom(group); }), "Invalid group") << room;
    }
    EXPECT_EQ(relay.requestCount(), 0u);
}

TEST_F(Api, ProxyVariablesAreIgnored) {
    const test::ClosedPort proxy;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    const auto put = [&](const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name, value, 1) : unsetenv(name);
    };
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy"})
        put(name, proxy.url().c_str());
    put("no_proxy", nullptr);
    put("NO_PROXY", nullptr);
    relay.script("GET", "/direct", answer(200, "direct"));
    EXPECT_EQ(get("/direct"), "direct");
    for (const auto& [name, old] : saved)
        old ? setenv(name, old->c_str(), 1) : unsetenv(name);
}

TEST_F(Api, CreateMakesARoomWithAKeyTheRelayNeverSees) {
    const Group first = API::create("  " + relay.url() + "/ ");
    const Group second = API::create(relay.url());
    EXPECT_EQ(first.server, relay.url());
    EXPECT_TRUE(relay.hasRoom(first.room));
    EXPECT_EQ(decode64(first.token, 32).size(), 32u);
    EXPECT_EQ(decode64(first.key, 32).size(), 32u);
    EXPECT_NE(first.key, second.key);
    for (const RecordedRequest& request : relay.requests()) {
        EXPECT_EQ(request.method + " " + request.target, "POST /v1/rooms");
        EXPECT_EQ(request.body, "{}");
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_FALSE(request.header("Authorization"));
    }
    EXPECT_EQ(relay.requestCount(), 2u);
}

TEST_F(Api, CreateRefusesAnswersThatAreNotObjectsOfValidStrings) {
    const std::string room = identifier();
    const std::string token = encode64(random(32));
    const json good = {{"room", room}, {"token", token}};
    const auto with = [&](const char* name, json value) {
        json j = good;
        j[name] = std::move(value);
        return j.dump();
    };
    const auto without = [&](const char* name) {
        json j = good;
        j.erase(name);
        return j.dump();
    };
    const std::pair<std::string, std::string> cases[] = {
        {with("expires", 3600), kInvalidResponse},
        {without("room"), kInvalidResponse},
        {"[]", kInvalidResponse},
        {"<html>", "json parse error"},
        {with("room", "0123456789ABCDEF0123456789abcdef"), "Invalid group"},
        {with("token", token + "="), "Invalid key or envelope"},
    };
    for (const auto& [body, expected] : cases) {
        relay.script("POST", "/v1/rooms", answer(200, body));
        EXPECT_EQ(outcome([&] { return API::create(relay.url()).room; }), expected) << body;
    }
    relay.script("POST", "/v1/rooms", answer(204));
    EXPECT_EQ(outcome([&] { return API::create(relay.url()).room; }), "json parse error");
    relay.script("POST", "/v1/rooms", answer(401));
    EXPECT_EQ(outcome([&] { return API::create(relay.url()).room; }), kRepair);
}

TEST_F(Api, EndpointsUseTheirPathsAndTheGroupsToken) {
    const Group group = relay.openRoom();
    const Envelope envelope = seal("hello", group, identifier());
    API::postClip(group, envelope);
    const Batch read = json::parse(API::readFromStart(group)).get<Batch>();
    const Batch polled = API::pollClips(group, 0);
    API::revokeRoom(group);

    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 4u);
    const std::string room = "/v1/rooms/" + group.room;
    const std::string expected[] = {"POST " + room + "/clips", "GET " + room + "/clips?after=0",
                                    "GET " + room + "/clips?after=0&wait=20", "DELETE " + room};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].method + " " + seen[i].target, expected[i]);
        EXPECT_EQ(seen[i].header("Authorization"), "Bearer " + group.token) << i;
        EXPECT_EQ(seen[i].header("Content-Type"), "application/json") << i;
    }
    EXPECT_EQ(json::parse(seen[0].body), json(envelope));
    EXPECT_TRUE(seen[3].body.empty());
    ASSERT_EQ(read.clips.size(), 1u);
    EXPECT_EQ(read.clips[0].envelope, envelope);
    ASSERT_EQ(polled.clips.size(), 1u);
    EXPECT_EQ(openClip(polled.clips[0].envelope, group), "hello");
    EXPECT_TRUE(relay.wasRevoked(group.room));
    EXPECT_EQ(outcome([&] { return API::readFromStart(group); }), kRepair);
}

TEST_F(Api, PollSendsTheCursorInDecimalAndNeedsABatch) {
    const Group group = relay.openRoom();
    const std::string clips = "/v1/rooms/" + group.room + "/clips";
    relay.script("GET", clips,
                 answer(200, R"({"clips":[],"cursor":9007199254740993,"reset":true})"));
    const Batch batch = API::pollClips(group, 9007199254740992);
    EXPECT_EQ(relay.requests().back().target, clips + "?after=9007199254740992&wait=20");
    EXPECT_EQ(batch.cursor, 9007199254740993);
    EXPECT_TRUE(batch.reset);
    // An empty success is no batch, though reading from the start passes it on.
    relay.script("GET", clips, answer(204));
    EXPECT_EQ(API::readFromStart(group), "");
    EXPECT_EQ(outcome([&] { API::pollClips(group, 0); }), "json parse error");
}
