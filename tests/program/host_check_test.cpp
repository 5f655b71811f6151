#include "process.h"
#include "raw_http.h"

#include <gtest/gtest.h>
#include <thread>

using namespace zephlink;
using namespace std::chrono_literals;

TEST(HostCheck, ServesForTheGivenSecondsHoldingItsPortsThenFreesThem) {
    const std::string ready = "READY: native local host on 8788/8789\n";
    test::ChildProcess check({test::program(), "--local-host-check", "1.5"});
    ASSERT_EQ(check.readLine(5s), ready) << "printed and flushed before the wait";
    const auto started = std::chrono::steady_clock::now();
    const test::RawResponse health = test::transact("GET /health HTTP/1.1\r\n\r\n");
    ASSERT_EQ(health.status, 200);
    EXPECT_TRUE(health.json()["autoJoin"].get<bool>());
    const test::ProcessResult taken =
        test::runProcess({test::program(), "--local-host-check", "1"});
    EXPECT_EQ(std::to_string(taken.status) + taken.out, "1Native local host unavailable\n");
    EXPECT_EQ(check.wait(10s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1200ms);
    EXPECT_EQ(check.rest(), "") << "exactly one line";
    const test::ProcessResult first = test::runProcess(
        {test::program(), "--crypto-check", "--local-host-check", "--relay-check", "0.2"});
    EXPECT_EQ(std::to_string(first.status) + first.out, "0" + ready) << "the host check is first";
    test::ChildProcess fallback({test::program(), "--local-host-check", "soon"});
    ASSERT_EQ(fallback.readLine(5s), ready);
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(fallback.running()) << "no number: thirty seconds";
}
