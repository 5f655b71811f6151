#include "serial_queue.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <utility>

namespace zephlink {

namespace {
// Linux keeps 15 bytes of a thread name, plus the terminating zero.
constexpr std::size_t kThreadNameBytes = 15;
} // namespace

// Shared with the worker, so that a worker left running by a shutdown from
// inside a job never touches a destroyed queue.
struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    // Equal keys keep their insertion order, which makes equal due times FIFO.
    std::multimap<Clock::time_point, Job> jobs;
    bool stopping = false;
    std::thread::id worker;
};

void SerialQueue::run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (!state->stopping) {
        if (state->jobs.empty()) {
            state->wake.wait(lock);
            continue;
        }
        const auto first = state->jobs.begin();
        // A copy: shutdown may drop the job while the worker waits.
        const Clock::time_point due = first->first;
        if (due > Clock::now()) {
            state->wake.wait_until(lock, due);
            continue;
        }
        Job job = std::move(first->second);
        state->jobs.erase(first);
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job's failure is its own; the queue carries on.
        }
        job = nullptr; // what the job captured goes before the lock is taken
        lock.lock();
    }
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    shutdown();
}

bool SerialQueue::async(Job job) {
    return asyncAfter(Clock::duration::zero(), std::move(job));
}

bool SerialQueue::asyncAfter(Clock::duration delay, Job job) {
    const auto due = Clock::now() + delay;
    const std::lock_guard lock(state_->mutex);
    if (state_->stopping)
        return false;
    if (!worker_.joinable()) {
        std::string name = label_.substr(label_.rfind('.') + 1).substr(0, kThreadNameBytes);
        try {
            worker_ = std::thread([state = state_, name = std::move(name)] {
                // Only a name for debuggers; a refusal changes nothing.
                (void)pthread_setname_np(pthread_self(), name.c_str());
                run(state);
            });
        } catch (const std::system_error&) {
            return false;
        }
        state_->worker = worker_.get_id();
    }
    state_->jobs.emplace(due, std::move(job));
    state_->wake.notify_one();
    return true;
}

void SerialQueue::shutdown() {
    std::multimap<Clock::time_point, Job> dropped;
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        dropped.swap(state_->jobs);
        state_->wake.notify_all();
    }
    dropped.clear();
    if (!worker_.joinable())
        return;
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();
    else
        worker_.join();
}

bool SerialQueue::current() const {
    const std::lock_guard lock(state_->mutex);
    return state_->worker == std::this_thread::get_id();
}

} // namespace zephlink
