// The test relay as a process, for scripts: real rooms on the address and
// port asked for. Prints the port on one line once it accepts connections,
// then one line per request answered ("METHOD TARGET STATUS"), and serves
// until SIGTERM, SIGINT or SIGHUP.
#include "test_relay.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <string>
#include <string_view>

namespace {

constexpr int kMaxPort = 65535;

struct Options {
    std::string address = "127.0.0.1";
    int port = 0;
};

bool parsePort(std::string_view text, int& port) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, port);
    return error == std::errc() && at == end && port >= 0 && port <= kMaxPort;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string_view value = argv[++i];
        if (argument == "--address")
            options.address = std::string(value);
        else if (argument == "--port") {
            if (!parsePort(value, options.port))
                return false;
        } else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--address ADDRESS] [--port PORT]\n", argv[0]);
        return 2;
    }
    // Blocked before the relay starts its threads, so that only sigwait sees them.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &stopping, nullptr) != 0) {
        std::perror("pthread_sigmask");
        return 1;
    }
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        std::perror("signal");
        return 1;
    }
    // Outlives the relay, whose threads may still be answering while it stops.
    std::mutex output;
    try {
        zephlink::test::TestRelay relay(options.address, options.port);
        relay.rewrite([&output](const zephlink::test::RecordedRequest& request,
                                zephlink::test::Answer& answer) {
            const std::lock_guard lock(output);
            std::printf("%s %s %d\n", request.method.c_str(), request.target.c_str(),
                        answer.status);
            std::fflush(stdout);
        });
        {
            const std::lock_guard lock(output);
            std::printf("%d\n", relay.port());
            std::fflush(stdout);
        }
        int received = 0;
        if (sigwait(&stopping, &received) != 0) {
            std::perror("sigwait");
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay: %s\n", error.what());
        return 1;
    }
    return 0;
}
