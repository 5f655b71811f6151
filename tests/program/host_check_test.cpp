#include "child_process.h"
#include "process.h"
#include "raw_http.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

using namespace zephlink;
using namespace std::chrono_literals;

namespace {

constexpr const char* kReady = "READY: native local host on 8788/8789\n";

bool portBindable(int type, std::uint16_t port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (type == SOCK_STREAM)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any = test::ipv4("0.0.0.0");
    any.sin_port = htons(port);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    close(fd);
    return bound;
}

} // namespace

TEST(HostCheck, ServesForTheGivenSecondsThenStopsAndExitsZero) {
    test::ChildProcess check({test::program(), "--local-host-check", "2"});
    ASSERT_TRUE(check.started());
    ASSERT_EQ(check.readLine(5s), kReady) << "printed and flushed before the wait";
    const auto ready = std::chrono::steady_clock::now();
    const test::RawResponse health = test::transact("GET /health HTTP/1.1\r\n\r\n");
    ASSERT_EQ(health.status, 200);
    EXPECT_TRUE(health.json()["autoJoin"].get<bool>());
    const auto status = check.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - ready, 1500ms);
    EXPECT_EQ(check.rest(), "") << "exactly one line";
    EXPECT_TRUE(portBindable(SOCK_STREAM, 8788));
    EXPECT_TRUE(portBindable(SOCK_DGRAM, 8789));
}

TEST(HostCheck, RunsThirtySecondsWhenTheLastArgumentIsNoNumber) {
    for (const char* last : {"--local-host-check", "soon"}) {
        test::ChildProcess check({test::program(), "--local-host-check", last});
        ASSERT_EQ(check.readLine(5s), kReady) << last;
        std::this_thread::sleep_for(3s);
        EXPECT_TRUE(check.running()) << last;
        EXPECT_EQ(test::transact("GET /health HTTP/1.1\r\n\r\n").status, 200) << last;
    }
}

TEST(HostCheck, AcceptsFractionalSeconds) {
    const auto result = test::runProcess({test::program(), "--local-host-check", "0.5"}, 10s);
    EXPECT_EQ(result.out, kReady);
    EXPECT_EQ(result.status, 0);
}

TEST(HostCheck, ReportsTheHostUnavailableWhenThePortIsTaken) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = test::ipv4("0.0.0.0");
    any.sin_port = htons(8788);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    const auto result = test::runProcess({test::program(), "--local-host-check", "1"}, 10s);
    close(taken);
    EXPECT_EQ(result.out, "Native local host unavailable\n");
    EXPECT_EQ(result.status, 1);
}

TEST(HostCheck, ComesFirstInTheSwitchTable) {
    const auto result = test::runProcess(
        {test::program(), "--crypto-check", "--local-host-check", "--relay-check", "0.2"}, 10s);
    EXPECT_EQ(result.out, kReady);
    EXPECT_EQ(result.status, 0);
}
