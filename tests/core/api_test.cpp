#include "api.h"
#include "clip.h"
#include "closed_port.h"
#include "encoding.h"
#include "errors.h"
#include "test_relay.h"
#include "test_support.h"

#include <cstdlib>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

using namespace zephlink;
using nlohmann::json;
using test::Answer;
using test::ClosedPort;
using test::RecordedRequest;
using test::TestRelay;

namespace {

constexpr const char* kUnavailable = "Relay unavailable. Check network and server.";
constexpr const char* kRepair = "Re-pair required (401)";
constexpr const char* kTooLarge = "Relay response too large";
constexpr const char* kInvalidResponse = "Invalid relay response";
constexpr const char* kHttps =
    "Public servers require HTTPS; HTTP is only for a trusted private LAN";
constexpr const char* kShape = "Use a server URL without a path or credentials";

// The body, or the DazarError message prefixed with "error: ".
std::string outcome(const std::function<std::string()>& call) {
    try {
        return call();
    } catch (const DazarError& e) {
        return std::string("error: ") + e.message();
    }
}

std::string error(const char* message) {
    return std::string("error: ") + message;
}

Answer answer(int status, std::string body = {}) {
    Answer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

// Sets environment variables for one test and restores them afterwards.
class ScopedEnvironment {
public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class Api : public ::testing::Test {
protected:
    TestRelay relay;

    std::string get(const std::string& path, std::optional<std::string> token = std::nullopt,
                    double timeout = 10) {
        return outcome([&] { return API::request(relay.url(), path, token, "GET", {}, timeout); });
    }
};

} // namespace

TEST_F(Api, MapsEveryStatusToItsOutcome) {
    struct Case {
        int status;
        std::string body;
        std::string expected;
    };
    const std::string binary("a\0b\r\n\xff", 6);
    const Case cases[] = {
        {200, "hello", "hello"},
        {200, binary, binary},
        {201, "{\"seq\":1}", "{\"seq\":1}"},
        {204, "", ""},
        {299, "edge of success", "edge of success"},
        {401, "token revoked", error(kRepair)},
        {403, "", error("Relay returned HTTP 403")},
        {404, "", error("Relay returned HTTP 404")},
        {500, "oops", error("Relay returned HTTP 500")},
        {503, "", error("Relay returned HTTP 503")},
        {300, "", error("Relay returned HTTP 300")},
        {304, "", error("Relay returned HTTP 304")},
    };
    for (const Case& c : cases) {
        const std::string path = "/status/" + std::to_string(c.status);
        relay.script("GET", path, answer(c.status, c.body));
        EXPECT_EQ(get(path), c.expected) << c.status;
    }
}

TEST_F(Api, RedirectsAreReportedAndNeverFollowed) {
    relay.script("GET", "/elsewhere", answer(200, "followed"));
    for (const int status : {301, 302, 303, 307, 308}) {
        Answer moved = answer(status);
        moved.headers = {{"Location", relay.url() + "/elsewhere"}};
        relay.script("GET", "/moved", moved);
        const std::size_t before = relay.requestCount();
        EXPECT_EQ(get("/moved"), error(("Relay returned HTTP " + std::to_string(status)).c_str()));
        ASSERT_EQ(relay.requestCount(), before + 1) << status;
        EXPECT_EQ(relay.requests().back().path, "/moved");
    }
}

TEST_F(Api, SizeCapAcceptsExactlySixMillionBytesAndRefusesOneMore) {
    struct Case {
        const char* why;
        std::size_t bytes;
        bool chunked;
        bool streamed;
        bool accepted;
    };
    const Case cases[] = {
        {"in one piece, at the cap", kMaxResponseBytes, false, false, true},
        {"in one piece, one over", kMaxResponseBytes + 1, false, false, false},
        {"streamed with a length, at the cap", kMaxResponseBytes, false, true, true},
        {"streamed with a length, one over", kMaxResponseBytes + 1, false, true, false},
        {"chunked without a length, at the cap", kMaxResponseBytes, true, true, true},
        {"chunked without a length, one over", kMaxResponseBytes + 1, true, true, false},
    };
    for (const Case& c : cases) {
        Answer big;
        if (c.streamed)
            big.streamedBytes = c.bytes;
        else
            big.body.assign(c.bytes, 'x');
        big.chunked = c.chunked;
        relay.script("GET", "/big", big);
        const std::string result = get("/big");
        if (c.accepted) {
            EXPECT_EQ(result.size(), c.bytes) << c.why;
            EXPECT_EQ(result.find_first_not_of('x'), std::string::npos) << c.why;
        } else {
            EXPECT_EQ(result, error(kTooLarge)) << c.why;
        }
    }
}

TEST_F(Api, HugeAnswerIsRefusedWithoutReadingItAll) {
    constexpr std::size_t gigabyte = std::size_t{1} << 30;
    // Whatever sits in the loopback socket buffers when the client gives up.
    constexpr std::size_t bound = 64u << 20;
    for (const bool chunked : {false, true}) {
        const std::size_t before = relay.streamedBytes();
        Answer huge;
        huge.streamedBytes = gigabyte;
        huge.chunked = chunked;
        relay.script("GET", "/huge", huge);
        EXPECT_EQ(get("/huge"), error(kTooLarge)) << chunked;
        EXPECT_LT(relay.streamedBytes() - before, bound) << chunked;
    }
}

TEST_F(Api, SizeCapDoesNotHideTheStatusOfAFailure) {
    Answer failing;
    failing.streamedBytes = kMaxResponseBytes + 1;
    failing.status = 500;
    relay.script("GET", "/failing", failing);
    EXPECT_EQ(get("/failing"), error("Relay returned HTTP 500"));
    failing.status = 401;
    relay.script("GET", "/revoked", failing);
    EXPECT_EQ(get("/revoked"), error(kRepair));
}

TEST_F(Api, EveryRequestCarriesContentTypeAndTheTokenOnlyWhenGiven) {
    struct Case {
        const char* method;
        std::optional<std::string> token;
        std::optional<std::string> body;
        std::string sentBody;
    };
    const Case cases[] = {
        {"GET", std::nullopt, std::nullopt, ""},
        {"GET", "tok-en_1", std::nullopt, ""},
        {"GET", "tok", std::string("ignored for GET"), ""},
        {"DELETE", "tok", std::nullopt, ""},
        {"DELETE", "tok", std::string("ignored for DELETE"), ""},
        {"POST", std::nullopt, std::string("{}"), "{}"},
        {"POST", "tok", std::string("{\"a\":\"\xe2\x86\x92\"}"), "{\"a\":\"\xe2\x86\x92\"}"},
        {"POST", "tok", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        const std::string why = std::string(c.method) + " token=" + c.token.value_or("none");
        relay.script(c.method, "/echo", answer(200, "ok"));
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

TEST_F(Api, CookiesSetByTheRelayAreNeverSentBack) {
    Answer cookie = answer(200, "ok");
    cookie.headers = {{"Set-Cookie", "session=abc; Path=/"}};
    relay.script("GET", "/cookie", cookie);
    EXPECT_EQ(get("/cookie"), "ok");
    EXPECT_EQ(get("/cookie"), "ok");
    for (const RecordedRequest& seen : relay.requests())
        EXPECT_FALSE(seen.header("Cookie"));
}

TEST_F(Api, UnreachableRelayIsUnavailable) {
    const ClosedPort closed;
    EXPECT_EQ(outcome([&] { return API::request(closed.url(), "/v1/rooms", {}, "GET", {}, 5); }),
              error(kUnavailable));
}

TEST_F(Api, SlowRelayTimesOutAsUnavailable) {
    Answer slow = answer(200, "too late");
    slow.delay = std::chrono::seconds(30);
    relay.script("GET", "/slow", slow);
    EXPECT_EQ(get("/slow", std::nullopt, 0.3), error(kUnavailable));
    // libcurl reads a zero timeout as "none"; here it still ends the request.
    EXPECT_EQ(get("/slow", std::nullopt, 0), error(kUnavailable));
}

TEST_F(Api, AddressCheckFailsBeforeAnythingIsSent) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://203.0.113.5:8787", kHttps},
        {"http://172.32.0.1", kHttps},
        {"ftp://127.0.0.1", kHttps},
        {"https://relay.example.com/v1", kShape},
        {"https://user@relay.example.com", kShape},
        {"", kShape},
    };
    for (const auto& [server, expected] : cases) {
        EXPECT_EQ(outcome([&] { return API::request(server, "/v1/rooms", {}, "GET", {}, 5); }),
                  error(expected))
            << server;
        EXPECT_EQ(outcome([&] {
                      API::create(server);
                      return std::string("created");
                  }),
                  error(expected))
            << server;
    }
    EXPECT_EQ(relay.requestCount(), 0u);
}

TEST_F(Api, RefusesPathsTokensAndMethodsThatWouldBreakTheRequest) {
    const auto call = [&](std::string path, std::optional<std::string> token, std::string method) {
        return [=, this] { API::request(relay.url(), path, token, method, {}, 5); };
    };
    EXPECT_THROW(call("v1/rooms", {}, "GET")(), std::invalid_argument);
    EXPECT_THROW(call("", {}, "GET")(), std::invalid_argument);
    EXPECT_THROW(call("/v1/rooms x", {}, "GET")(), std::invalid_argument);
    EXPECT_THROW(call("/v1/rooms\r\nX-Evil: 1", {}, "GET")(), std::invalid_argument);
    EXPECT_THROW(call("/v1/rooms", std::string("t\r\nX-Evil: 1"), "GET")(), std::invalid_argument);
    EXPECT_THROW(call("/v1/rooms", std::string("t\0u", 3), "GET")(), std::invalid_argument);
    EXPECT_THROW(call("/v1/rooms", {}, "GET /x HTTP/1.1\r\n")(), std::invalid_argument);
    EXPECT_EQ(relay.requestCount(), 0u);
}

TEST_F(Api, ProxyVariablesDoNotRerouteRequests) {
    const ClosedPort proxy;
    ScopedEnvironment environment;
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.set(name, proxy.url());
    environment.set("no_proxy", std::nullopt);
    environment.set("NO_PROXY", std::nullopt);
    relay.script("GET", "/direct", answer(200, "direct"));
    EXPECT_EQ(get("/direct"), "direct");
}

TEST_F(Api, AnyThreadMayCallConcurrently) {
    constexpr int threads = 8;
    constexpr int perThread = 5;
    for (int i = 0; i < threads; ++i)
        relay.script("GET", "/t" + std::to_string(i), answer(200, "body " + std::to_string(i)));
    std::vector<std::future<int>> results;
    for (int i = 0; i < threads; ++i) {
        results.push_back(std::async(std::launch::async, [&, i] {
            int good = 0;
            for (int n = 0; n < perThread; ++n)
                good += get("/t" + std::to_string(i)) == "body " + std::to_string(i) ? 1 : 0;
            return good;
        }));
    }
    for (auto& result : results) {
        ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_EQ(result.get(), perThread);
    }
}

// Room creation.

TEST_F(Api, CreateMakesARoomWithAKeyTheRelayNeverSees) {
    const Group first = API::create("  " + relay.url() + "/ ");
    const Group second = API::create(relay.url());
    EXPECT_EQ(first.server, relay.url());
    EXPECT_TRUE(validID(first.room));
    EXPECT_TRUE(relay.hasRoom(first.room));
    EXPECT_EQ(decode64(first.token, 32).size(), 32u);
    EXPECT_EQ(first.key.size(), 43u);
    EXPECT_EQ(decode64(first.key, 32).size(), 32u);
    EXPECT_NE(first.key, second.key);
    EXPECT_NE(first.room, second.room);

    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const RecordedRequest& request : seen) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/v1/rooms");
        EXPECT_EQ(request.body, "{}");
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_FALSE(request.header("Authorization"));
        EXPECT_EQ(request.body.find(first.key), std::string::npos);
    }
}

TEST_F(Api, CreateRefusesAnswersThatAreNotObjectsOfStrings) {
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
        {with("expires", 3600), error(kInvalidResponse)},
        {with("expires", nullptr), error(kInvalidResponse)},
        {with("expires", json::object()), error(kInvalidResponse)},
        {with("room", 5), error(kInvalidResponse)},
        {without("room"), error(kInvalidResponse)},
        {without("token"), error(kInvalidResponse)},
        {"[]", error(kInvalidResponse)},
        {"\"room\"", error(kInvalidResponse)},
        {with("room", "0123456789ABCDEF0123456789abcdef"), error("Invalid group")},
        {with("room", room + "0"), error("Invalid group")},
        {with("token", token + "="), error("Invalid key or envelope")},
        {with("token", "c2hvcnQ"), error("Invalid key or envelope")},
        {with("region", "eu"), "created"},
    };
    for (const auto& [body, expected] : cases) {
        relay.script("POST", "/v1/rooms", answer(200, body));
        EXPECT_EQ(outcome([&] {
                      const Group group = API::create(relay.url());
                      EXPECT_EQ(group.room, room);
                      EXPECT_EQ(group.token, token);
                      return std::string("created");
                  }),
                  expected)
            << body;
    }
}

TEST_F(Api, CreateLetsTheJsonErrorThroughForAnswersThatAreNotJson) {
    for (const int status : {200, 204}) {
        relay.script("POST", "/v1/rooms", answer(status, status == 200 ? "<html>" : ""));
        EXPECT_THROW(API::create(relay.url()), json::parse_error) << status;
    }
    relay.script("POST", "/v1/rooms", answer(401));
    EXPECT_EQ(outcome([&] {
                  API::create(relay.url());
                  return std::string();
              }),
              error(kRepair));
}

// The relay endpoints.

TEST_F(Api, EndpointsUseTheirPathsAndTheGroupsToken) {
    const Group group = relay.openRoom();
    const Envelope envelope = seal("hello", group, identifier());
    API::postClip(group, envelope);
    const std::string all = API::readFromStart(group);
    const Batch polled = API::pollClips(group, 0);
    API::revokeRoom(group);

    const auto seen = relay.requests();
    ASSERT_EQ(seen.size(), 4u);
    const std::string room = "/v1/rooms/" + group.room;
    const std::pair<std::string, std::string> expected[] = {
        {"POST", room + "/clips"},
        {"GET", room + "/clips?after=0"},
        {"GET", room + "/clips?after=0&wait=20"},
        {"DELETE", room},
    };
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].method, expected[i].first) << i;
        EXPECT_EQ(seen[i].target, expected[i].second) << i;
        EXPECT_EQ(seen[i].header("Authorization"), "Bearer " + group.token) << i;
        EXPECT_EQ(seen[i].header("Content-Type"), "application/json") << i;
    }
    EXPECT_EQ(json::parse(seen[0].body), json(envelope));
    EXPECT_TRUE(seen[1].body.empty());
    EXPECT_TRUE(seen[3].body.empty());

    const Batch read = json::parse(all).get<Batch>();
    ASSERT_EQ(read.clips.size(), 1u);
    EXPECT_EQ(read.clips[0].envelope, envelope);
    ASSERT_EQ(polled.clips.size(), 1u);
    EXPECT_EQ(polled.cursor, read.clips[0].seq);
    EXPECT_EQ(openClip(polled.clips[0].envelope, group), "hello");
    EXPECT_TRUE(relay.wasRevoked(group.room));
    EXPECT_EQ(outcome([&] { return API::readFromStart(group); }), error(kRepair));
}

TEST_F(Api, PollSendsTheCursorInDecimal) {
    Group group = relay.openRoom();
    relay.script("GET", "/v1/rooms/" + group.room + "/clips",
                 answer(200, R"({"clips":[],"cursor":9007199254740993,"reset":true})"));
    const Batch batch = API::pollClips(group, 9007199254740992);
    EXPECT_EQ(relay.requests().back().target,
              "/v1/rooms/" + group.room + "/clips?after=9007199254740992&wait=20");
    EXPECT_EQ(batch.cursor, 9007199254740993);
    EXPECT_TRUE(batch.reset);
}

TEST_F(Api, LongPollReturnsWhenAClipArrives) {
    const Group group = relay.openRoom();
    const Envelope first = seal("first", group, identifier());
    relay.addClip(group.room, first);
    auto poll = std::async(std::launch::async, [&] { return API::pollClips(group, 1); });
    ASSERT_TRUE(relay.waitForRequests(1, std::chrono::seconds(10)));
    const Envelope second = seal("second", group, identifier());
    API::postClip(group, second);
    ASSERT_EQ(poll.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    const Batch batch = poll.get();
    ASSERT_EQ(batch.clips.size(), 1u);
    EXPECT_EQ(batch.clips[0].seq, 2);
    EXPECT_EQ(batch.cursor, 2);
    EXPECT_EQ(batch.clips[0].envelope, second);
}

TEST_F(Api, EmptySuccessIsNoBatch) {
    const Group group = relay.openRoom();
    relay.script("GET", "/v1/rooms/" + group.room + "/clips", answer(204));
    EXPECT_EQ(API::readFromStart(group), "");
    EXPECT_THROW(API::pollClips(group, 0), json::parse_error);
}

TEST_F(Api, EndpointsRefuseARoomThatIsNotAnIdentifier) {
    Group group = relay.openRoom();
    const Envelope envelope = seal("x", group, identifier());
    for (const std::string room : {"../../admin", "ABCDEF0123456789ABCDEF0123456789", ""}) {
        group.room = room;
        const auto refused = [&](const std::function<void()>& call) {
            return outcome([&] {
                call();
                return std::string("sent");
            });
        };
        EXPECT_EQ(refused([&] { API::postClip(group, envelope); }), error("Invalid group"));
        EXPECT_EQ(refused([&] { API::pollClips(group, 0); }), error("Invalid group"));
        EXPECT_EQ(refused([&] { API::readFromStart(group); }), error("Invalid group"));
        EXPECT_EQ(refused([&] { API::revokeRoom(group); }), error("Invalid group"));
    }
    EXPECT_EQ(relay.requestCount(), 0u);
}
