#include "serial_queue.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <vector>

using namespace zephlink;
using namespace std::chrono_literals;

namespace {

// What the jobs did, in order.
class Trace {
public:
    void add(int step) {
        const std::lock_guard lock(mutex_);
        steps_.push_back(step);
    }
    std::vector<int> steps() const {
        const std::lock_guard lock(mutex_);
        return steps_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> steps_;
};

// Blocks the queue until the test lets it go (or 5 seconds have passed).
struct Gate {
    std::promise<void> entered;
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();

    SerialQueue::Job job() {
        return [this] {
            entered.set_value();
            (void)opened.wait_for(5s);
        };
    }
};

} // namespace

TEST(SerialQueue, RunsJobsOneAtATimeInSubmissionOrder) {
    Trace trace;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::promise<void> done;
    {
        SerialQueue queue("test.serial");
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(queue.async([&, i] {
                if (++running > 1)
                    overlapped = true;
                trace.add(i);
                --running;
            }));
        }
        queue.async([&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    }
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i)
        expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(trace.steps(), expected);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, RunsDelayedJobsByDueTimeAfterTheReadyOnes) {
    Trace trace;
    std::promise<void> done;
    SerialQueue queue("test.serial");
    Gate gate;
    queue.async(gate.job());
    gate.entered.get_future().wait();
    queue.asyncAfter(60ms, [&] { trace.add(3); });
    queue.asyncAfter(30ms, [&] { trace.add(2); });
    queue.asyncAfter(60ms, [&] {
        trace.add(4);
        done.set_value();
    });
    queue.async([&] { trace.add(1); });
    gate.open.set_value();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(trace.steps(), (std::vector<int>{1, 2, 3, 4}));
}

TEST(SerialQueue, ShutdownWaitsForTheRunningJobAndDropsThePendingOnes) {
    Trace trace;
    auto captured = std::make_shared<int>(0);
    SerialQueue queue("test.serial");
    Gate gate;
    queue.async([&] {
        gate.entered.set_value();
        (void)gate.opened.wait_for(5s);
        trace.add(1);
    });
    queue.async([&, captured] { trace.add(2); });
    queue.asyncAfter(10ms, [&, captured] { trace.add(3); });
    gate.entered.get_future().wait();
    auto shutdown = std::async(std::launch::async, [&] { queue.shutdown(); });
    EXPECT_EQ(shutdown.wait_for(100ms), std::future_status::timeout) << "waits for the job";
    gate.open.set_value();
    ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(trace.steps(), (std::vector<int>{1}));
    EXPECT_EQ(captured.use_count(), 1) << "dropped jobs released what they held";
    EXPECT_FALSE(queue.async([&] { trace.add(4); }));
    EXPECT_FALSE(queue.asyncAfter(1ms, [&] { trace.add(5); }));
}

TEST(SerialQueue, DestructionNeverRunsADelayedJob) {
    std::atomic<bool> ran{false};
    {
        SerialQueue queue("test.serial");
        queue.asyncAfter(50ms, [&] { ran = true; });
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ran);
}

TEST(SerialQueue, AJobThatThrowsDoesNotStopTheQueue) {
    std::promise<void> after;
    SerialQueue queue("test.serial");
    queue.async([] { throw std::runtime_error("job failed"); });
    queue.async([&] { after.set_value(); });
    EXPECT_EQ(after.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueue, KnowsItsOwnThread) {
    SerialQueue queue("test.serial");
    EXPECT_FALSE(queue.current());
    std::promise<bool> inside;
    queue.async([&] { inside.set_value(queue.current()); });
    auto answer = inside.get_future();
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(answer.get());
}

TEST(SerialQueue, ShutdownFromItsOwnJobDoesNotDeadlock) {
    auto queue = std::make_unique<SerialQueue>("test.serial");
    std::promise<void> shutDown;
    std::atomic<bool> laterRan{false};
    queue->async([&] {
        queue->shutdown();
        shutDown.set_value();
    });
    queue->async([&] { laterRan = true; });
    ASSERT_EQ(shutDown.get_future().wait_for(5s), std::future_status::ready);
    queue.reset();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(laterRan);
}
