// One device on the nearby network, for the namespace tests: runs
// LocalDiscovery (and so a host and its advertisement) and prints one line
// per event.
//
//   discovery_node DEVICE NAME
//
//   started hosting=yes|no        after start
//   session host=H server=S room=R devices=N announced=I,J
//   none announced=I,J            a cycle that found no session
//                                 (announced: other hosts seen over mDNS)
//   stopped                       after stop (on SIGUSR1)
//   bye                           after SIGTERM or SIGINT, on the way out
#include "local_discovery.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>

using namespace zephlink;

namespace {

volatile std::sig_atomic_t stopWanted = 0;
volatile std::sig_atomic_t quitWanted = 0;

void onSignal(int signal) {
    (signal == SIGUSR1 ? stopWanted : quitWanted) = 1;
}

void line(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: discovery_node DEVICE NAME\n", stderr);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (const int signal : {SIGUSR1, SIGTERM, SIGINT}) {
        if (sigaction(signal, &action, nullptr) != 0)
            return 2;
    }
    // The main thread's job queue: the executor posts here, the loop below runs them.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    LocalDiscovery* running = nullptr;
    const auto print = [&running](std::optional<LocalSession> session,
                                  std::optional<std::string> server) {
        std::string announced;
        for (const std::string& hostId : running->announcedHosts())
            announced += (announced.empty() ? "" : ",") + hostId;
        line((!session || !server ? "none"
                                  : "session host=" + session->hostId + " server=" + *server +
                                        " room=" + session->room +
                                        " devices=" + std::to_string(session->devices.size())) +
             " announced=" + announced);
    };
    LocalDiscovery discovery(argv[1], argv[2], print, [&](std::function<void()> job) {
        const std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
        wake.notify_one();
    });
    running = &discovery;
    discovery.start();
    line(std::string("started hosting=") + (discovery.hosting() ? "yes" : "no"));
    while (quitWanted == 0) {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return !jobs.empty(); });
        while (!jobs.empty()) {
            auto job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
        lock.unlock();
        if (stopWanted != 0) {
            stopWanted = 0;
            discovery.stop();
            line("stopped");
        }
    }
    discovery.stop();
    line("bye");
    return 0;
}
