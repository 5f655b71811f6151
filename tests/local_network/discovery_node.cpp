// One device for discovery_namespaces.sh: LocalDiscovery, one line per event;
// SIGUSR1 stops it, SIGTERM ends it.
#include "local_discovery.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>

using namespace zephlink;

namespace {
volatile std::sig_atomic_t stopWanted = 0;
volatile std::sig_atomic_t quitWanted = 0;
void line(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    for (const int signal : {SIGUSR1, SIGTERM, SIGINT})
        std::signal(signal, [](int s) { (s == SIGUSR1 ? stopWanted : quitWanted) = 1; });
    std::mutex mutex;
    std::deque<std::function<void()>> jobs; // posted by the executor, run below
    LocalDiscovery* running = nullptr;
    LocalDiscovery discovery(
        argv[1], argv[2],
        [&](std::optional<LocalSession> session, std::optional<std::string> server) {
            std::string announced;
            for (const std::string& hostId : running->announcedHosts())
                announced += (announced.empty() ? "" : ",") + hostId;
            line((session && server ? "session host=" + session->hostId + " server=" + *server +
                                          " room=" + session->room +
                                          " devices=" + std::to_string(session->devices.size())
                                    : "none") +
                 " announced=" + announced);
        },
        [&](std::function<void()> job) {
            const std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        });
    running = &discovery;
    discovery.start();
    line(std::string("started hosting=") + (discovery.hosting() ? "yes" : "no"));
    while (quitWanted == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::unique_lock lock(mutex);
        for (auto pending = std::move(jobs); !pending.empty(); pending.pop_front()) {
            lock.unlock();
            pending.front()();
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
