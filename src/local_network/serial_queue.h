#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace zephlink {

// One worker thread that runs jobs one at a time, in the order of their due
// time (jobs due at the same moment in the order they were submitted). The
// worker starts with the first job. After shutdown, and after destruction, no
// job starts any more.
class SerialQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    // The label names the worker thread (its last dot-separated part, as the
    // kernel keeps only 15 bytes of a thread name).
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Both return false, dropping the job, once the queue is shut down or
    // when no worker thread could be started.
    bool async(Job job);
    bool asyncAfter(Clock::duration delay, Job job);

    // Drops the pending jobs, lets a running job finish and joins the worker.
    // Called from a job, it cannot wait for itself: the worker then ends
    // after that job.
    void shutdown();

    // True on the worker thread.
    bool current() const;

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    const std::string label_;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

} // namespace zephlink
