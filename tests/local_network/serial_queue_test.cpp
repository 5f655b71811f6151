#include "serial_queue.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <stdexcept>
#include <vector>

using namespace zephlink;
using namespace std::chrono_literals;

namespace {

// Holds the queue's worker until opened (or 5 seconds have passed).
struct Gate {
    std::promise<void> entered;
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();

    void pass() {
        entered.set_value();
        (void)opened.wait_for(5s);
    }
};

} // namespace

TEST(SerialQueue, RunsJobsOneAtATimeByDueTimeThenSubmissionOrder) {
    std::vector<int> trace; // read once the last job has run
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> onItsThread{true};
    std::promise<void> done;
    SerialQueue queue("test.serial");
    EXPECT_FALSE(queue.current());
    Gate gate;
    queue.async([&] { gate.pass(); });
    gate.entered.get_future().wait();
    const auto step = [&](int n) {
        return [&, n] {
            overlapped = overlapped || ++running > 1;
            onItsThread = onItsThread && queue.current();
            trace.push_back(n);
            --running;
        };
    };
    queue.asyncAfter(400ms, step(100));
    queue.asyncAfter(200ms, step(99));
    queue.asyncAfter(400ms, [&] { done.set_value(); });
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(queue.async(step(i)));
    gate.open.set_value();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::vector<int> expected;
    for (int i = 0; i < 50; ++i)
        expected.push_back(i);
    expected.insert(expected.end(), {99, 100});
    EXPECT_EQ(trace, expected);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(onItsThread);
}

TEST(SerialQueue, ShutdownWaitsForTheRunningJobAndDropsThePendingOnes) {
    std::atomic<int> ran{0};
    auto captured = std::make_shared<int>(0);
    SerialQueue queue("test.serial");
    Gate gate;
    queue.async([&] {
        gate.pass();
        ran += 1;
    });
    queue.async([&, captured] { ran += 10; });
    queue.asyncAfter(10ms, [&, captured] { ran += 100; });
    gate.entered.get_future().wait();
    auto shutdown = std::async(std::launch::async, [&] { queue.shutdown(); });
    EXPECT_EQ(shutdown.wait_for(100ms), std::future_status::timeout) << "waits for the job";
    gate.open.set_value();
    ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(captured.use_count(), 1) << "dropped jobs released what they held";
    EXPECT_FALSE(queue.async([] {}));
    EXPECT_FALSE(queue.asyncAfter(1ms, [] {}));
}

TEST(SerialQueue, SurvivesAJobThatThrowsOrShutsItDown) {
    auto queue = std::make_unique<SerialQueue>("test.serial");
    std::promise<void> shutDown;
    std::atomic<bool> laterRan{false};
    queue->async([] { throw std::runtime_error("job failed"); });
    queue->async([&] {
        queue->shutdown(); // cannot wait for itself
        shutDown.set_value();
    });
    queue->async([&] { laterRan = true; });
    ASSERT_EQ(shutDown.get_future().wait_for(5s), std::future_status::ready);
    queue.reset();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(laterRan);
}
