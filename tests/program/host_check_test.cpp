#include "child_process.h"
#include "program_run.h"
#include "raw_http.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

using namespace zephlink;
using namespace std::chrono_literals;
using test::Outcome;

namespace {

constexpr const char* kReady = "READY: native local host on 8788/8789\n";

int boundSocket(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in any = test::ipv4("0.0.0.0");
    any.sin_port = htons(type == SOCK_STREAM ? 8788 : 8789);
    const int one = 1; // past TIME_WAIT; a UDP socket must not share the port
    if (type == SOCK_STREAM)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(HostCheck, ServesForTheGivenFractionalSecondsThenFreesItsPortsAndExitsZero) {
    test::ChildProcess check({test::program(), "--local-host-check", "1.5"});
    ASSERT_EQ(check.readLine(5s), kReady) << "printed and flushed before the wait";
    const auto ready = std::chrono::steady_clock::now();
    const test::RawResponse health = test::transact("GET /health HTTP/1.1\r\n\r\n");
    ASSERT_EQ(health.status, 200);
    EXPECT_TRUE(health.json()["autoJoin"].get<bool>());
    const auto status = check.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - ready, 1200ms);
    EXPECT_EQ(check.rest(), "") << "exactly one line";
    for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
        const int fd = boundSocket(type);
        EXPECT_GE(fd, 0) << type;
        close(fd);
    }
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

TEST(HostCheck, ComesFirstInTheSwitchTableAndFailsWhenThePortIsTaken) {
    EXPECT_EQ(test::run({"--crypto-check", "--local-host-check", "--relay-check", "0.2"}),
              (Outcome{kReady, 0}));
    const int taken = boundSocket(SOCK_STREAM);
    ASSERT_EQ(listen(taken, 1), 0);
    EXPECT_EQ(test::run({"--local-host-check", "1"}),
              (Outcome{"Native local host unavailable\n", 1}));
    close(taken);
}
