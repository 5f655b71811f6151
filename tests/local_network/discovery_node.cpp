// One device on the nearby network, for tests that run several in network
// namespaces: runs LocalDiscovery (and so a host and its advertisement) and
// prints one line per event.
//
//   discovery_node DEVICE NAME
//
//   started hosting=yes|no        after start (at launch and on SIGUSR2)
//   session host=H server=S room=R devices=N
//   none                          a cycle that found no session
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
volatile std::sig_atomic_t startWanted = 0;
volatile std::sig_atomic_t quitWanted = 0;

void onSignal(int signal) {
    if (signal == SIGUSR1)
        stopWanted = 1;
    else if (signal == SIGUSR2)
        startWanted = 1;
    else
        quitWanted = 1;
}

// The main thread's job queue: the executor posts here, main() runs them.
class MainThread {
public:
    void post(std::function<void()> job) {
        const std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        wake_.notify_one();
    }
    void runFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, limit, [&] { return !jobs_.empty(); });
        while (!jobs_.empty()) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
};

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
    for (const int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) {
        if (sigaction(signal, &action, nullptr) != 0)
            return 2;
    }
    MainThread mainThread;
    const auto print = [](std::optional<LocalSession> session, std::optional<std::string> server) {
        if (!session || !server) {
            line("none");
            return;
        }
        line("session host=" + session->hostId + " server=" + *server + " room=" + session->room +
             " devices=" + std::to_string(session->devices.size()));
    };
    LocalDiscovery discovery(argv[1], argv[2], print, [&mainThread](std::function<void()> job) {
        mainThread.post(std::move(job));
    });
    const auto started = [&] {
        discovery.start();
        line(std::string("started hosting=") + (discovery.hosting() ? "yes" : "no"));
    };
    started();
    while (quitWanted == 0) {
        mainThread.runFor(std::chrono::milliseconds(50));
        if (stopWanted != 0) {
            stopWanted = 0;
            discovery.stop();
            line("stopped");
        }
        if (startWanted != 0) {
            startWanted = 0;
            started();
        }
    }
    discovery.stop();
    line("bye");
    return 0;
}
