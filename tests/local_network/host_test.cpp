#include "clip.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "local_host.h"
#include "local_session.h"
#include "raw_http.h"
#include "socket.h"

#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kHealth = "GET /health HTTP/1.1\r\n\r\n";

Envelope envelopeAt(std::int64_t at, std::size_t bytes = 48) {
    return {1, identifier(), identifier(), at, encode64(random(12)), encode64(random(bytes))};
}

json device(const std::string& name = "Phone", const std::string& id = identifier()) {
    return {{"device", id}, {"name", name}, {"platform", "android"}};
}

std::string head(int status, std::size_t bodyBytes) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Response\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(bodyBytes) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
}

std::string health(const std::string& headers, const std::string& body = "") {
    return "GET /health HTTP/1.1\r\n" + headers + "\r\n\r\n" + body;
}

std::string batch(const json& clips, std::int64_t cursor, bool reset) {
    return json{{"clips", clips}, {"cursor", cursor}, {"reset", reset}}.dump();
}

// A started host whose wall clock stands still until the test moves it.
class Host : public ::testing::Test {
protected:
    std::shared_ptr<std::atomic<std::int64_t>> clock =
        std::make_shared<std::atomic<std::int64_t>>(nowMilliseconds());
    std::shared_ptr<LocalHost> host = LocalHost::create(
        identifier(), "Test host", LocalHost::Options{[c = clock] { return c->load(); }});

    void SetUp() override { ASSERT_TRUE(host->start()); }
    void TearDown() override {
        if (host) {
            host->stop();
            EXPECT_TRUE(host->waitUntilFinished(5s));
        }
    }
    void advance(std::chrono::milliseconds by) { *clock += by.count(); }
    RawResponse get(const std::string& query) {
        return transact(httpRequest("GET", clipsPath() + query, {bearer()}), nullptr, 30s);
    }
    std::string clipsPath() const { return "/v1/rooms/" + host->group().room + "/clips"; }
    std::pair<std::string, std::string> bearer() const {
        return {"Authorization", "Bearer " + host->group().token};
    }
    RawResponse post(const Envelope& e) {
        return transact(httpRequest("POST", clipsPath(), {bearer()}, json(e).dump()));
    }
    RawResponse session(const json& body) {
        return transact(httpRequest("POST", "/v1/local-session", {}, body.dump()));
    }
    Envelope fresh() const { return envelopeAt(clock->load()); }
};

} // namespace

TEST_F(Host, FramesRoutesAndAdmitsRequestsByTheRules) {
    const RawResponse ok = transact(kHealth);
    EXPECT_EQ(ok.head, head(200, ok.body.size()));
    EXPECT_EQ(
        ok.json(),
        (json{{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", host->hostId()}}));
    std::string padded = device().dump();
    padded.insert(1, 1024 - padded.size(), ' ');
    const std::string start = "GET /health HTTP/1.1\r\nX-Pad: ";
    const std::string token = host->group().token;
    const struct {
        std::string request;
        int status; // 0: closed without a word
    } cases[] = {
        {"GET  /health HTTP/1.1\r\n\r\n", 200},
        {"GET /health\r\n\r\n", 400},
        {"GET /health HTTP/1.0\r\n\r\n", 400},
        {health("Host h"), 400},
        {health("Host: a\r\nHOST: a"), 400},
        {health("X-A: \xff"), 400},
        {start + std::string(8192 - start.size(), 'p') + "\r\n\r\n", 200},
        {start + std::string(8193 - start.size(), 'p') + "\r\n\r\n", 400},
        {health("ORIGIN: x"), 403},
        {"POST /v1/local-session HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 403},
        {health("Content-Length: \t+5 ", "hello"), 200},
        {health("Content-Length: -1"), 413},
        {health("Content-Length: 99999999999999999999"), 413},
        {health("Content-Length: 60001"), 413},
        {httpRequest("POST", "/v1/local-session", {}, std::string(1025, '{')), 413},
        {httpRequest("POST", "/v1/local-session", {}, padded), 200},
        {health("Content-Length: 1025", std::string(1025, ' ')), 200},
        {"POST /v1/local-session HTTP/1.1\r\nContent-Length: 1\r\n\r\n{}", 400},
        {health("Host: h", "x"), 400},
        {httpRequest("GET", "/health?x=1"), 401},
        {httpRequest("POST", "/health"), 401},
        {httpRequest("GET", clipsPath(), {{"Authorization", "Bearer " + token.substr(1)}}), 401},
        {httpRequest("GET", "/v1/rooms/" + identifier() + "/clips", {bearer()}), 401},
        {httpRequest("GET", clipsPath() + "/1", {bearer()}), 401},
        {httpRequest("GET", clipsPath(), {{"Authorization", "\t Bearer " + token + " \t"}}), 200},
        {httpRequest("PUT", clipsPath(), {bearer()}), 405},
    };
    for (const auto& c : cases) {
        const RawResponse response = transact(c.request, nullptr, 5s);
        EXPECT_EQ(response.status, c.status) << c.request.substr(0, 80);
        if (c.status >= 400) {
            EXPECT_EQ(response.head + response.body, head(c.status, 0)) << c.request;
        }
    }
    // The answer reaches a peer that goes on sending after a refusal.
    RawConnection flood;
    ASSERT_TRUE(flood.send("POST /x HTTP/1.1\r\nContent-Length: 70000\r\n\r\n"));
    std::thread sender([&] { flood.send(std::string(70000, 'x')); });
    EXPECT_EQ(flood.response().status, 413);
    sender.join();
    RawConnection silent; // dropped after three seconds
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(silent.response(8s).answered);
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_TRUE(took >= 2500ms && took < 7s);
}

TEST_F(Host, HandsItsGroupToSoundDevicesUpTo64) {
    const std::string me = identifier();
    const std::string flag = "\U0001F1E9\U0001F1EA";
    std::string flags, joined;
    for (int i = 0; i < 80; ++i)
        flags += flag, joined += "a\u200Db";
    const RawResponse granted = session(device(flags, me));
    ASSERT_EQ(granted.status, 200);
    const auto answer = granted.json().get<LocalSession>();
    EXPECT_EQ(answer.mode, "trusted-lan");
    EXPECT_EQ(answer.hostId, host->hostId());
    EXPECT_EQ(answer.name, "Test host");
    EXPECT_EQ(answer.devices, (std::vector<NearbyDevice>{{me, flags, "android"}}));
    EXPECT_EQ(answer.group("http://127.0.0.1:8788"), host->group());
    for (const json& refused : std::vector<json>{
             device("x", std::string(32, 'A')), device(std::string(81, 'n')), device(flags + flag),
             device(joined), json{{"device", me}, {"name", "x"}, {"platform", "linux"}},
             json{{"device", me}, {"name", "x"}}})
        EXPECT_EQ(session(refused).status, 400) << refused;
    advance(10s);
    for (int i = 0; i < 63; ++i)
        ASSERT_EQ(session(device()).status, 200) << i;
    EXPECT_EQ(session(device()).status, 400) << "a 65th device";
    advance(10s);
    EXPECT_EQ(session(device("again", me)).status, 200) << "a registered device may refresh";
    advance(10s);
    EXPECT_EQ(session(device()).status, 400) << "silent for exactly 20 seconds";
    advance(1ms);
    const RawResponse late = session(device());
    ASSERT_EQ(late.status, 200);
    EXPECT_EQ(late.json()["devices"].size(), 2u) << "the refreshed one and the newcomer";
}

TEST_F(Host, StoresClipsAndAnswersPolls) {
    // 40 clips make 81 pieces: more than one scatter-gather send takes.
    json clips = json::array();
    std::vector<Envelope> posted;
    for (std::int64_t seq = 1; seq <= 40; ++seq) {
        posted.push_back(seq == 2 ? envelopeAt(clock->load(), 40976) : fresh());
        const RawResponse response = post(posted.back());
        ASSERT_EQ(response.status, 201);
        EXPECT_EQ(response.json(), (json{{"seq", seq}}));
        clips.push_back({{"seq", seq}, {"envelope", posted.back()}});
    }
    EXPECT_EQ(get("?after=0").body, batch(clips, 40, false));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(get("?after=38&wait=20").body, batch(json::array({clips[38], clips[39]}), 40, false));
    EXPECT_EQ(get("?after=99&wait=20").body, batch(clips, 40, true)) << "the host is behind";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "answered at once";
    Envelope conflicting = fresh();
    conflicting.id = posted[0].id;
    EXPECT_EQ(post(envelopeAt(clock->load(), 40977)).status, 400);

    auto waiting = std::async(std::launch::async, [&] { return get("?after=40&wait=15"); });
    std::this_thread::sleep_for(300ms);
    for (const auto& [e, status] : {std::pair{posted[0], 200}, {conflicting, 409}}) {
        const RawResponse response = post(e);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.json(), (json{{"seq", 1}})) << "the stored clip's seq";
    }
    EXPECT_EQ(get("?after=40&wait=1").body, batch(json::array(), 40, false));
    EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout) << "a repeat ended the wait";
    const Envelope next = fresh();
    ASSERT_EQ(post(next).status, 201);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().body,
              batch(json::array({json{{"seq", 41}, {"envelope", next}}}), 41, false));

    for (const auto& [query, status] :
         std::vector<std::pair<std::string, int>>{{"?after", 200},
                                                  {"?after=9223372036854775807", 200},
                                                  {"?wait=21", 400},
                                                  {"?after=-1", 400},
                                                  {"?after=1&after=1", 400},
                                                  {"?after=0&wait=0&x", 400},
                                                  {"?after=%zz", 400}})
        EXPECT_EQ(get(query).status, status) << query;
    advance(900001ms);
    EXPECT_EQ(get("?after=1").body, batch(json::array(), 41, true)) << "expired clips are gone";
}

TEST_F(Host, LimitsPeersByAddressCountAndRate) {
    const std::pair<const char*, bool> peers[] = {
        {"169.254.7.7", true}, {"192.168.50.1", true}, {"172.32.0.1", false}, {"8.8.8.8", false}};
    for (const auto& [address, served] : peers) {
        ASSERT_TRUE(addLoopbackAddress(address));
        RawConnection connection(address, address);
        ASSERT_TRUE(connection.connected()) << address;
        connection.send(kHealth); // may fail: the host has closed already
        EXPECT_EQ(connection.response(5s).status, served ? 200 : 0) << address;
    }
    for (int i = 2; i < 256; ++i)
        ASSERT_EQ(transact(kHealth, ("127.0.1." + std::to_string(i)).c_str()).status, 200) << i;
    EXPECT_EQ(transact(kHealth, "127.0.2.1").status, 503) << "a 257th peer";
    EXPECT_EQ(transact(kHealth, "127.0.1.77").status, 200) << "tracked peers are still served";
    advance(60s);
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(transact(kHealth, "127.0.0.9").status, 200) << i;
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 429);
    EXPECT_EQ(transact(kHealth, "127.0.0.10").status, 200) << "another address, another window";
    EXPECT_EQ(transact("GET /health HTTP/1.0\r\n\r\n", "127.0.0.9").status, 400)
        << "reading comes before admission";
    advance(59999ms);
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 429);
    advance(1ms);
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 200) << "a new window";

    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 32; ++i) {
        slow.push_back(std::make_unique<RawConnection>());
        ASSERT_TRUE(slow.back()->send("GET /health HTTP/1.1\r\n")); // never finished
    }
    EXPECT_FALSE(transact(kHealth, nullptr, 2s).answered) << "a 33rd connection waits";
    slow.front()->reset();
    RawResponse next; // the slot comes back a moment after the close
    for (const auto until = std::chrono::steady_clock::now() + 2s;
         !next.answered && std::chrono::steady_clock::now() < until;)
        next = transact(kHealth, nullptr, 2s);
    EXPECT_EQ(next.status, 200);
}

TEST_F(Host, WaitsOutOfDescriptorsWithoutSpinning) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = dup(0);
    close(probe);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(probe + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd = dup(0); fd >= 0; fd = dup(0))
        filler.push_back(fd);
    close(filler.back());
    filler.pop_back();
    RawConnection connection; // takes the last descriptor: the host cannot accept it
    const auto cpu = [] { return std::clock(); };
    const auto before = cpu();
    std::this_thread::sleep_for(1500ms);
    const auto used = (cpu() - before) * 1000000L / CLOCKS_PER_SEC;
    for (const int fd : filler)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_LT(used, 100000) << "the accept loop spun";
    ASSERT_TRUE(connection.send(kHealth));
    EXPECT_EQ(connection.response(5s).status, 200);
}

TEST_F(Host, AnswersDiscoveryRequestsFromPrivateSenders) {
    ASSERT_TRUE(host->responderRunning());
    ASSERT_TRUE(addLoopbackAddress("203.0.113.9") && addLoopbackAddress("169.254.3.3"));
    std::map<std::string, Socket> from;
    for (const char* source : {"127.0.0.1", "203.0.113.9", "169.254.3.3"}) {
        from[source] = ipv4Socket(SOCK_DGRAM);
        const sockaddr_in at = ipv4(source);
        ASSERT_EQ(bind(from[source].fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    }
    const auto send = [&](const std::string& datagram, std::string source = "127.0.0.1",
                          const std::string& to = "127.0.0.1") {
        const sockaddr_in target = ipv4(to.c_str(), kDiscoveryPort);
        sendto(from[source].fd(), datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target);
    };
    const auto receive = [&](const std::string& at = "127.0.0.1", int ms = 2000) {
        pollfd wanted{from[at].fd(), POLLIN, 0};
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        if (::poll(&wanted, 1, ms) <= 0)
            return std::optional<json>();
        const ssize_t n = recvfrom(from[at].fd(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
        EXPECT_EQ(ntohs(sender.sin_port), kDiscoveryPort);
        return std::optional(json::parse(std::string(buffer, std::size_t(std::max(n, 0L)))));
    };
    const auto discover = [](const std::string& nonce) {
        return json{{"type", "zephlink.discover"}, {"v", 1}, {"nonce", nonce}}.dump();
    };
    const std::string nonce = identifier();
    send(discover(nonce)); // twice, directly and to the group: no de-duplication
    send(discover(nonce), "127.0.0.1", std::string(kDiscoveryGroup));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(receive(), (json{{"type", "zephlink.here"},
                                   {"v", 1},
                                   {"nonce", nonce},
                                   {"hostId", host->hostId()},
                                   {"name", "Test host"},
                                   {"port", 8788}}));
    std::string exact = discover(nonce);
    exact.insert(1, 1024 - exact.size(), ' ');
    const auto request = [&](const std::string& members) {
        return R"({"type":"zephlink.discover",)" + members + R"(,"nonce":")" + nonce + "\"}";
    };
    // Each case is followed by a good request: the first reply tells which was answered.
    for (const auto& [datagram, answered] : std::vector<std::pair<std::string, bool>>{
             {exact, true},
             {request(R"("v":1.0,"x":[1])"), true},
             {" " + exact, false},
             {request(R"("v":"1")"), false},
             {request(R"("v":2)"), false},
             {discover("ABCDEF0123456789ABCDEF0123456789"), false},
             {json{{"type", "zephlink.here"}, {"v", 1}, {"nonce", nonce}}.dump(), false},
             {request("\"v\":1,\"x\":\"\xff\""), false}}) {
        send(datagram);
        const std::string probe = identifier();
        send(discover(probe));
        const auto reply = receive();
        ASSERT_TRUE(reply) << datagram;
        EXPECT_EQ((*reply)["nonce"], answered ? nonce : probe) << datagram;
        EXPECT_TRUE(!answered || receive()) << datagram;
    }
    EXPECT_FALSE(receive("127.0.0.1", 300)) << "exactly one reply per request";
    send(discover(nonce), "203.0.113.9", "203.0.113.9");
    send(discover(nonce), "169.254.3.3", "169.254.3.3");
    EXPECT_TRUE(receive("169.254.3.3")) << "link-local senders are private";
    EXPECT_FALSE(receive("203.0.113.9", 500));
}

TEST_F(Host, StopsAtOnceFreeingPortsAndAnsweringWaiters503) {
    EXPECT_FALSE(bindableWithin(SOCK_STREAM, kHostPort, 0ms));
    EXPECT_FALSE(bindableWithin(SOCK_DGRAM, kDiscoveryPort, 0ms));
    const auto second = LocalHost::create(identifier(), "Second");
    EXPECT_FALSE(second->start()) << "the port is taken";
    EXPECT_TRUE(second->waitUntilFinished(0ms)) << "no thread was left behind";

    const std::string request = httpRequest("GET", clipsPath() + "?wait=20", {bearer()});
    auto waiting = std::async(std::launch::async, [&] { return transact(request, nullptr, 30s); });
    RawConnection arriving;
    ASSERT_TRUE(arriving.send("GET /health HTTP/1.1\r\n"));
    std::this_thread::sleep_for(300ms);
    const std::weak_ptr<LocalHost> weak = host;
    host.reset();
    EXPECT_EQ(transact(kHealth).status, 200) << "lives on while its threads run";
    std::shared_ptr<LocalHost> owner = weak.lock();
    ASSERT_TRUE(owner);
    const auto start = std::chrono::steady_clock::now();
    owner->stop();
    owner->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << "stop does not wait";
    ASSERT_TRUE(arriving.send("\r\n"));
    EXPECT_EQ(arriving.response().status, 503);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get().status, 503);
    EXPECT_TRUE(bindableWithin(SOCK_STREAM, kHostPort, 1s));
    EXPECT_TRUE(bindableWithin(SOCK_DGRAM, kDiscoveryPort, 1s));
    ASSERT_TRUE(owner->waitUntilFinished(2s));
    EXPECT_FALSE(owner->responderRunning());
    EXPECT_FALSE(owner->start()) << "a stopped host is not restarted";
    owner.reset();
    for (const auto until = std::chrono::steady_clock::now() + 2s;
         !weak.expired() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weak.expired()) << "the last thread let go of the host";
}
