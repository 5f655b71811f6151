// The discovery responder and stopping, over real sockets.
#include "addresses.h"
#include "discovery_datagram.h"
#include "host_fixture.h"
#include "socket.h"

#include <future>
#include <latch>
#include <optional>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using nlohmann::json;

namespace {

using Responder = HostTest;
using HostStop = HostTest;

// A datagram socket of the test, bound to `source` on a port of the system's
// choosing.
class Datagrams {
public:
    explicit Datagrams(const char* source = "127.0.0.1") {
        const sockaddr_in from = address(source, 0);
        bound_ = bind(socket_.fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0;
    }
    bool ready() const { return bound_; }
    bool send(std::string_view datagram, std::string_view to = "127.0.0.1") const {
        const sockaddr_in target = address(to, kDiscoveryPort);
        return sendto(socket_.fd(), datagram.data(), datagram.size(), 0,
                      reinterpret_cast<const sockaddr*>(&target),
                      sizeof target) == static_cast<ssize_t>(datagram.size());
    }
    // The next datagram within `limit`, and the port it came from.
    std::optional<std::pair<std::string, std::uint16_t>>
    receive(std::chrono::milliseconds limit = 2s) const {
        pollfd wanted{socket_.fd(), POLLIN, 0};
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        if (poll(&wanted, 1, static_cast<int>(limit.count())) <= 0)
            return std::nullopt;
        const ssize_t n = recvfrom(socket_.fd(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
        return std::pair{std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
                         ntohs(sender.sin_port)};
    }

private:
    Socket socket_ = ipv4Socket(SOCK_DGRAM);
    bool bound_ = false;
};

std::string discover(const std::string& nonce) {
    return json{{"type", "zephlink.discover"}, {"v", 1}, {"nonce", nonce}}.dump();
}

} // namespace

TEST_F(Responder, AnswersEachRequestToTheSendersPortWithItsIdentity) {
    ASSERT_TRUE(host->responderRunning());
    Datagrams client;
    const std::string nonce = identifier();
    // The same request twice, directly and to the group: no de-duplication.
    ASSERT_TRUE(client.send(discover(nonce)));
    ASSERT_TRUE(client.send(discover(nonce), kDiscoveryGroup));
    for (int i = 0; i < 2; ++i) {
        const auto reply = client.receive();
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->second, kDiscoveryPort);
        EXPECT_EQ(json::parse(reply->first), (json{{"type", "zephlink.here"},
                                                   {"v", 1},
                                                   {"nonce", nonce},
                                                   {"hostId", host->hostId()},
                                                   {"name", "Test host"},
                                                   {"port", 8788}}));
    }
}

TEST_F(Responder, StaysSilentForMalformedOrForeignDatagrams) {
    Datagrams client;
    const std::string nonce = identifier();
    const auto request = [&](const std::string& members) {
        return R"({"type":"zephlink.discover",)" + members + "}";
    };
    std::string exact = discover(nonce);
    exact.insert(1, 1024 - exact.size(), ' ');
    const struct {
        const char* why;
        std::string datagram;
        bool answered = false;
    } cases[] = {
        {"not JSON", "zephlink.discover"},
        {"empty", ""},
        {"1024 bytes", exact, true},
        {"extra members and v 1.0", request(R"("v":1.0,"x":[1],"nonce":")" + nonce + "\""), true},
        {"1025 bytes", " " + exact},
        {"version as text", request(R"("v":"1","nonce":")" + nonce + "\"")},
        {"version 2", request(R"("v":2,"nonce":")" + nonce + "\"")},
        {"upper-case nonce", discover("ABCDEF0123456789ABCDEF0123456789")},
        {"a reply", json{{"type", "zephlink.here"}, {"v", 1}, {"nonce", nonce}}.dump()},
        {"an array", "[" + discover(nonce) + "]"},
        {"invalid UTF-8",
         request(R"("v":1,"x":")" + std::string("\xff") + R"(","nonce":")" + nonce + "\"")},
    };
    // Each case is followed by a good request; the first reply must belong
    // to whichever was answered first.
    for (const auto& c : cases) {
        ASSERT_TRUE(client.send(c.datagram)) << c.why;
        const std::string probe = identifier();
        ASSERT_TRUE(client.send(discover(probe)));
        const auto reply = client.receive();
        ASSERT_TRUE(reply) << c.why;
        EXPECT_EQ(json::parse(reply->first)["nonce"], c.answered ? nonce : probe) << c.why;
        if (c.answered) {
            EXPECT_TRUE(client.receive()) << c.why;
        }
    }
    EXPECT_FALSE(client.receive(300ms)) << "exactly one reply per request";
}

TEST_F(Responder, IgnoresSendersOutsidePrivateNetworks) {
    ASSERT_TRUE(addLoopbackAddress("203.0.113.9", 1));
    ASSERT_TRUE(addLoopbackAddress("169.254.3.3", 2));
    Datagrams outsider("203.0.113.9");
    Datagrams linkLocal("169.254.3.3");
    ASSERT_TRUE(outsider.ready() && linkLocal.ready());
    ASSERT_TRUE(outsider.send(discover(identifier()), "203.0.113.9"));
    ASSERT_TRUE(linkLocal.send(discover(identifier()), "169.254.3.3"));
    EXPECT_TRUE(linkLocal.receive()) << "link-local senders are private";
    EXPECT_FALSE(outsider.receive(500ms));
}

TEST_F(HostStop, HoldsBothPortsUntilStopFreesThemWithinASecondAndIsNotRestarted) {
    EXPECT_FALSE(bindableWithin(SOCK_STREAM, kHostPort, 0ms));
    EXPECT_FALSE(bindableWithin(SOCK_DGRAM, kDiscoveryPort, 0ms));
    const auto second = LocalHost::create(identifier(), "Second");
    EXPECT_FALSE(second->start()) << "the port is taken";
    EXPECT_TRUE(second->waitUntilFinished(0ms)) << "no thread was left behind";

    ASSERT_EQ(transact(kHealth).status, 200);
    const auto start = std::chrono::steady_clock::now();
    host->stop();
    host->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << "stop does not wait";
    EXPECT_TRUE(bindableWithin(SOCK_STREAM, kHostPort, 1s));
    EXPECT_TRUE(bindableWithin(SOCK_DGRAM, kDiscoveryPort, 1s));
    ASSERT_TRUE(host->waitUntilFinished(2s));
    EXPECT_FALSE(host->responderRunning());
    RawConnection connection;
    if (connection.connected()) {
        connection.send(kHealth);
        EXPECT_FALSE(connection.response(2s).answered);
    }
    EXPECT_FALSE(host->start()) << "a stopped host is not restarted";
}

TEST_F(HostStop, AnswersWaitingPollsAndRequestsStillArriving503) {
    auto first = std::async(std::launch::async, [&] { return pollClips("?after=0&wait=20"); });
    auto second = std::async(std::launch::async, [&] { return pollClips("?wait=20"); });
    RawConnection arriving;
    ASSERT_TRUE(arriving.send("GET /health HTTP/1.1\r\n"));
    std::this_thread::sleep_for(300ms);
    host->stop();
    ASSERT_TRUE(arriving.send("\r\n"));
    EXPECT_EQ(arriving.response().status, 503);
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get().status, 503);
    EXPECT_EQ(second.get().status, 503);
}

TEST_F(HostStop, LivesOnWhileItsThreadsRunAndEndsWithThem) {
    const std::weak_ptr<LocalHost> weak = host;
    host.reset();
    EXPECT_EQ(transact(kHealth).status, 200) << "still serving";
    std::shared_ptr<LocalHost> owner = weak.lock();
    ASSERT_TRUE(owner);
    owner->stop();
    EXPECT_TRUE(owner->waitUntilFinished(2s));
    owner.reset();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weak.expired()) << "the last thread let go of the host";
}

TEST(HostStartAndStop, RaceFromTwoThreadsWithoutLeavingAPortOrAThreadBehind) {
    std::vector<std::shared_ptr<LocalHost>> hosts;
    for (int i = 0; i < 300; ++i) {
        const auto host = LocalHost::create(identifier(), "Racing");
        std::latch ready(2);
        std::thread starting([&] {
            ready.arrive_and_wait();
            host->start();
        });
        ready.arrive_and_wait();
        host->stop();
        starting.join();
        ASSERT_TRUE(bindableWithin(SOCK_STREAM, kHostPort, 1s)) << "round " << i;
        hosts.push_back(host);
    }
    for (const auto& host : hosts)
        EXPECT_TRUE(host->waitUntilFinished(2s));
    EXPECT_TRUE(bindableWithin(SOCK_DGRAM, kDiscoveryPort, 0ms));
}
