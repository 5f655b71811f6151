// The relay client against zephlink-relay itself, and against a scripted
// server for the answers a working relay never gives.
#include "api.h"
#include "clip.h"
#include "closed_port.h"
#include "outcome.h"
#include "process.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdexcept>
#include <thread>

using namespace zephlink;
using nlohmann::json;
using test::outcome;

namespace {

constexpr const char* kUnavailable = "Relay unavailable. Check network and server.";
constexpr const char* kRepair = "Re-pair required (401)";
constexpr const char* kTooLarge = "Relay response too large";
constexpr const char* kInvalid = "Invalid relay response";

// Answers every request with `answer` and keeps what it was sent.
struct Scripted {
    httplib::Server server;
    std::thread thread;
    std::vector<httplib::Request> seen;
    std::function<void(httplib::Response&)> answer;
    int port = 0;
    Scripted() {
        const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
            seen.push_back(request);
            answer(response);
        };
        server.Get(".*", handle).Post(".*", handle).Patch(".*", handle).Delete(".*", handle);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        for (int i = 0; i < 1000 && !server.is_running(); ++i) // stop() before that is lost
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Scripted() {
        server.stop();
        thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
    void reply(int status, std::string body = {}) {
        answer = [=, this](httplib::Response& r) {
            r.status = status;
            r.set_content(body, "application/json");
            r.set_header("Location", url() + "/elsewhere");
        };
    }
    std::string get(const std::string& path = "/x", double timeout = 10) {
        return outcome([&] { return API::request(url(), path, {}, "GET", {}, timeout); });
    }
};

} // namespace

TEST(Api, WorksWithTheRelayAndNeedsTheRoomsToken) {
    test::ChildProcess relay({"/bin/sh", "-c",
                              "exec \"$0\" --listen 127.0.0.1:0 --rooms-per-hour 1000 2>&1",
                              ZEPHLINK_RELAY});
    const std::string line = relay.readLine(std::chrono::seconds(10));
    const auto at = line.find("127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << line;
    const std::string url = "http://127.0.0.1:" + std::to_string(std::stoi(line.substr(at + 10)));

    const Group group = API::create("  " + url + "/ ");
    EXPECT_EQ(group.server, url);
    EXPECT_NE(API::create(url).key, group.key);
    const Envelope envelope = seal("hello", group, identifier());
    API::postClip(group, envelope);
    EXPECT_EQ(json::parse(API::readFromStart(group)).get<Batch>().clips.at(0).envelope, envelope);
    const Batch polled = API::pollClips(group, 0);
    EXPECT_EQ(openClip(polled.clips.at(0).envelope, group), "hello");
    EXPECT_EQ(polled.cursor, 1);
    Group stranger = group;
    stranger.token = encode64(random(32));
    EXPECT_EQ(outcome([&] { API::postClip(stranger, envelope); }), kRepair);
    API::revokeRoom(group);
    EXPECT_EQ(outcome([&] { return API::readFromStart(group); }), kRepair);
}

TEST(Api, MapsStatusesNeverFollowsARedirectAndCapsTheAnswer) {
    Scripted relay;
    const std::string binary("a\0b\r\n\xff", 6);
    const std::tuple<int, std::string, std::string> cases[] = {
        {200, binary, binary},
        {302, "", "Relay returned HTTP 302"},
        {401, std::string(kMaxResponseBytes + 1, 'x'), kRepair},
        {200, std::string(kMaxResponseBytes, 'x'), std::string(kMaxResponseBytes, 'x')},
        {200, std::string(kMaxResponseBytes + 1, 'x'), kTooLarge},
    };
    for (const auto& [status, body, expected] : cases) {
        relay.reply(status, body);
        EXPECT_TRUE(relay.get() == expected) << status << " " << body.size();
    }
    EXPECT_EQ(relay.seen.size(), std::size(cases)) << "no second request";
    // Without a length: the cap holds while the body streams in.
    relay.answer = [](httplib::Response& r) {
        r.set_chunked_content_provider("text/plain", [](std::size_t offset, auto& sink) {
            sink.write(std::string(1 << 16, 'x').data(), 1 << 16);
            if (offset > kMaxResponseBytes)
                sink.done();
            return true;
        });
    };
    EXPECT_EQ(relay.get(), kTooLarge);
    relay.answer = [](httplib::Response& r) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        r.set_content("late", "text/plain");
    };
    EXPECT_EQ(relay.get("/x", 0.3), kUnavailable);
    EXPECT_EQ(relay.get("/x", 0), kUnavailable) << "zero is no infinite wait";
    const test::ClosedPort closed;
    EXPECT_EQ(outcome([&] { return API::request(closed.url(), "/x", {}, "GET", {}, 5); }),
              kUnavailable);
}

TEST(Api, SendsTheMethodBodyAndTokenAndNeverAProxy) {
    Scripted relay;
    relay.reply(200, "ok");
    setenv("http_proxy", test::ClosedPort().url().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    const std::string big = json{{"a", std::string(2000, 'x')}}.dump();
    const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>,
                     std::string>
        cases[] = {
            {"DELETE", "tok", "ignored", ""},
            {"PATCH", "tok", "{}", "{}"},
            {"POST", std::nullopt, big, big},
            {"POST", "tok", std::nullopt, ""},
        };
    for (const auto& [method, token, body, sent] : cases) {
        EXPECT_EQ(outcome([&] { return API::request(relay.url(), "/e", token, method, body, 5); }),
                  "ok")
            << method;
        const httplib::Request& seen = relay.seen.back();
        EXPECT_EQ(seen.method + " " + seen.get_header_value("Content-Type") + " " + seen.body,
                  std::string(method) + " application/json " + sent);
        EXPECT_EQ(seen.get_header_value("Authorization"), token ? "Bearer " + *token : "");
        EXPECT_FALSE(seen.has_header("Expect") || seen.has_header("Cookie")) << method;
    }
}

TEST(Api, RefusesBadAddressesInjectionsAndRoomsBeforeSendingAnything) {
    Scripted relay;
    // Plain HTTP to an address that is not private, though it reaches the relay.
    EXPECT_EQ(
        outcome([&] { API::create("http://[::ffff:127.0.0.1]:" + std::to_string(relay.port)); }),
        "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    const auto refused = [&](const std::string& path, std::optional<std::string> token,
                             const std::string& method) {
        EXPECT_THROW(API::request(relay.url(), path, token, method, {}, 5), std::invalid_argument)
            << path << " " << method;
    };
    for (const char* path : {"v1", "/v1\r\nX-Evil: 1", "/v1#x"})
        refused(path, {}, "GET");
    for (const std::string& token : {std::string("t\r\nX: 1"), std::string("t\0u", 3)})
        refused("/v1", token, "GET");
    for (const char* method : {"GET /x", ""})
        refused("/v1", {}, method);
    Group group = test::freshGroup(relay.url());
    const Envelope envelope = seal("x", group, identifier());
    group.room = "../../admin";
    EXPECT_EQ(outcome([&] { API::postClip(group, envelope); }), "Invalid group");
    EXPECT_EQ(outcome([&] { API::pollClips(group, 0); }), "Invalid group");
    EXPECT_EQ(outcome([&] { API::readFromStart(group); }), "Invalid group");
    EXPECT_EQ(outcome([&] { API::revokeRoom(group); }), "Invalid group");
    EXPECT_TRUE(relay.seen.empty());
}

TEST(Api, CreateAndPollAcceptOnlySoundAnswers) {
    Scripted relay;
    const json good = {{"room", identifier()}, {"token", encode64(random(32))}};
    const auto with = [&](const char* name, json value) {
        json j = good;
        j[name] = std::move(value);
        return j.dump();
    };
    const std::pair<std::string, std::string> cases[] = {
        {with("expires", 3600), kInvalid},
        {json{{"token", good["token"]}}.dump(), kInvalid},
        {"[]", kInvalid},
        {"", "json error"},
        {with("room", "0123456789ABCDEF0123456789abcdef"), "Invalid group"},
        {with("token", good["token"].get<std::string>() + "="), "Invalid key or envelope"},
        {good.dump(), good["room"].get<std::string>()},
    };
    for (const auto& [body, expected] : cases) {
        relay.reply(200, body);
        EXPECT_EQ(outcome([&] { return API::create(relay.url()).room; }), expected) << body;
    }
    const auto& created = relay.seen.back();
    EXPECT_EQ(created.method + " " + created.path + " " + created.body, "POST /v1/rooms {}");
    EXPECT_FALSE(created.has_header("Authorization"));

    const Group group = test::freshGroup(relay.url());
    relay.reply(200, R"({"clips":[],"cursor":9007199254740993,"reset":true})");
    const Batch batch = API::pollClips(group, 9007199254740992);
    EXPECT_EQ(relay.seen.back().target,
              "/v1/rooms/" + group.room + "/clips?after=9007199254740992&wait=20");
    EXPECT_EQ(batch.cursor, 9007199254740993);
    EXPECT_TRUE(batch.reset);
    relay.reply(204);
    EXPECT_EQ(API::readFromStart(group), "");
    EXPECT_EQ(relay.seen.back().target, "/v1/rooms/" + group.room + "/clips?after=0");
    EXPECT_EQ(outcome([&] { API::pollClips(group, 0); }), "json error");
}
