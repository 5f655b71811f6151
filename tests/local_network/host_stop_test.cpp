#include "discovery_datagram.h"
#include "host_fixture.h"

#include <future>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;

namespace {

using HostStop = HostTest;

// True when a socket of `type` can bind the port on every interface, tried
// until `limit` has passed. TCP binds the way a new host would.
bool bindsWithin(int type, std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const int one = 1;
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any = ipv4("0.0.0.0");
        any.sin_port = htons(port);
        const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
        close(fd);
        if (bound)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

} // namespace

TEST_F(HostStop, HoldsBothPortsWhileRunning) {
    EXPECT_FALSE(bindsWithin(SOCK_STREAM, kHostPort, 0ms));
    EXPECT_FALSE(bindsWithin(SOCK_DGRAM, kDiscoveryPort, 0ms));
}

TEST_F(HostStop, ReleasesBothPortsWithinASecond) {
    ASSERT_EQ(transact("GET /health HTTP/1.1\r\n\r\n").status, 200);
    const auto start = std::chrono::steady_clock::now();
    host->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << "stop does not wait";
    EXPECT_TRUE(bindsWithin(SOCK_STREAM, kHostPort, 1s));
    EXPECT_TRUE(bindsWithin(SOCK_DGRAM, kDiscoveryPort, 1s));
    EXPECT_TRUE(host->waitUntilFinished(2s));
    EXPECT_FALSE(host->responderRunning());
}

TEST_F(HostStop, AnswersWaitingPolls503) {
    auto first = std::async(std::launch::async, [&] { return pollClips("?after=0&wait=20"); });
    auto second = std::async(std::launch::async, [&] { return pollClips("?wait=20"); });
    std::this_thread::sleep_for(300ms);
    host->stop();
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get().status, 503);
    EXPECT_EQ(second.get().status, 503);
}

TEST_F(HostStop, Answers503ToARequestThatWasStillArriving) {
    RawConnection connection;
    ASSERT_TRUE(connection.send("GET /health HTTP/1.1\r\n"));
    std::this_thread::sleep_for(100ms);
    host->stop();
    ASSERT_TRUE(connection.send("\r\n"));
    EXPECT_EQ(connection.response().status, 503);
}

TEST_F(HostStop, TakesNoNewConnections) {
    host->stop();
    ASSERT_TRUE(host->waitUntilFinished(2s));
    RawConnection connection;
    if (connection.connected()) {
        connection.send("GET /health HTTP/1.1\r\n\r\n");
        EXPECT_FALSE(connection.response(2s).answered);
    }
    EXPECT_FALSE(host->start()) << "a host is not restarted";
}

TEST_F(HostStop, StopsTwiceWithoutHarm) {
    host->stop();
    host->stop();
    EXPECT_TRUE(host->waitUntilFinished(2s));
}

TEST_F(HostStop, ASecondHostCannotStartOnTheSamePort) {
    const auto second = LocalHost::create(identifier(), "Second");
    EXPECT_FALSE(second->start());
    EXPECT_TRUE(second->waitUntilFinished(0ms)) << "no thread was left behind";
}

TEST_F(HostStop, LivesOnWhileItsThreadsRunAndEndsWithThem) {
    const std::weak_ptr<LocalHost> weak = host;
    host.reset();
    EXPECT_EQ(transact("GET /health HTTP/1.1\r\n\r\n").status, 200) << "still serving";
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
