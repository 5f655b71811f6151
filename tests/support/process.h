#pragma once

// A child whose standard output the test reads; always killed and reaped.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zephlink::test {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments) {
        int out[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (pipe2(out, O_CLOEXEC) != 0 || posix_spawn_file_actions_adddup2(&actions, out[1], 1) ||
            posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (running() && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        close(out_);
    }

    // What was printed up to the next newline, waiting at most `limit`.
    std::string readLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_.find('\n') == std::string::npos && readUntil(deadline)) {
        }
        const auto end = output_.find('\n');
        std::string line = output_.substr(0, end == std::string::npos ? end : end + 1);
        output_.erase(0, line.size());
        return line;
    }
    // The exit status (-1: killed) once the child ended within `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (readUntil(deadline) || (running() && std::chrono::steady_clock::now() < deadline))
            usleep(1000);
        return status_;
    }
    bool running() {
        int status = 0;
        if (!status_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return pid_ > 0 && !status_;
    }
    std::string rest() const { return output_; }

private:
    bool readUntil(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wanted{out_, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = left.count() > 0 && poll(&wanted, 1, int(left.count())) > 0
                              ? read(out_, buffer, sizeof buffer)
                              : 0;
        output_.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
        return n > 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::optional<int> status_;
};

struct ProcessResult {
    int status = -1; // -1: killed or failed to start
    std::string out;
};

inline ProcessResult runProcess(const std::vector<std::string>& arguments,
                                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    ChildProcess child(arguments);
    const auto status = child.wait(limit);
    return {status.value_or(-1), child.rest()};
}

inline std::string program() {
    return ZEPHLINK_PROGRAM;
}

} // namespace zephlink::test
