#pragma once

// A child process whose output the test reads; always killed and reaped.
#include <algorithm>
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
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        fds_[0] = {out[0], POLLIN, 0};
        fds_[1] = {err[0], POLLIN, 0};
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const pollfd& p : fds_)
            if (p.fd >= 0)
                close(p.fd);
    }

    // What was printed up to the next newline, waiting at most `limit`.
    std::string readLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_.find('\n') == std::string::npos && readSome(left(deadline)) > 0) {
        }
        const auto end = out_.find('\n');
        std::string line = out_.substr(0, end == std::string::npos ? end : end + 1);
        out_.erase(0, line.size());
        return line;
    }
    // The exit status once the child ended within `limit` (-1: killed); its
    // output is read meanwhile.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (running()) {
            if (left(deadline) <= 0)
                return std::nullopt;
            if (readSome(std::min(left(deadline), 20)) < 0)
                usleep(20000);
        }
        while (readSome(0) > 0) {
        }
        return status_;
    }
    bool running() {
        int status = 0;
        if (!status_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return pid_ > 0 && !status_;
    }
    std::string rest() const { return out_; }
    std::string errors() const { return err_; }

private:
    static int left(std::chrono::steady_clock::time_point deadline) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    }
    // Reads what arrives within `ms`: >0 read something, 0 nothing, <0 both pipes closed.
    int readSome(int ms) {
        if (fds_[0].fd < 0 && fds_[1].fd < 0)
            return -1;
        if (poll(fds_, 2, std::max(ms, 0)) <= 0)
            return 0;
        for (pollfd& p : fds_) {
            char buffer[4096];
            const ssize_t n = p.revents != 0 ? read(p.fd, buffer, sizeof buffer) : 1;
            if (n <= 0) {
                close(p.fd);
                p.fd = -1;
            } else if (p.revents != 0) {
                (&p == fds_ ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            }
        }
        return 1;
    }

    pid_t pid_ = -1;
    pollfd fds_[2] = {{-1, 0, 0}, {-1, 0, 0}};
    std::string out_, err_;
    std::optional<int> status_;
};

struct ProcessResult {
    int status = -1; // exit status, or -1 when killed or failed to start
    std::string out;
    std::string err;
};

inline ProcessResult runProcess(const std::vector<std::string>& arguments,
                                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    ChildProcess child(arguments);
    const auto status = child.wait(limit);
    return {status.value_or(-1), child.rest(), child.errors()};
}

inline std::string program() {
    return ZEPHLINK_PROGRAM;
}

} // namespace zephlink::test
