#pragma once

// An HTTP client for the nearby host that sends exactly the bytes given.
#include "netns.h"

#include <nlohmann/json.hpp>
#include <poll.h>
#include <string_view>
#include <vector>

namespace zephlink::test {

struct RawResponse {
    bool answered = false; // false: closed without a byte
    int status = 0;
    std::string head; // up to and including the blank line
    std::string body;
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

class RawConnection {
public:
    // From `source` when given: any 127/8 address counts as another peer.
    explicit RawConnection(const char* source = nullptr, const char* host = "127.0.0.1") {
        const sockaddr_in from = ipv4(source ? source : "0.0.0.0");
        const sockaddr_in to = ipv4(host, 8788);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
            connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            reset();
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    ~RawConnection() { reset(); }

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(std::string_view bytes) {
        for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
            if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        return true;
    }
    RawResponse response(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string raw;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[65536];
        for (pollfd wanted{fd_, POLLIN, 0};;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const ssize_t n = left.count() > 0 && poll(&wanted, 1, int(left.count())) > 0
                                  ? recv(fd_, buffer, sizeof buffer, 0)
                                  : 0;
            if (n <= 0)
                break;
            raw.append(buffer, static_cast<std::size_t>(n));
        }
        RawResponse out;
        out.answered = !raw.empty();
        const std::size_t end = raw.find("\r\n\r\n");
        if (end == std::string::npos)
            return out;
        out.head = raw.substr(0, end + 4);
        out.body = raw.substr(end + 4);
        if (out.head.starts_with("HTTP/1.1 ") && out.head.size() > 12)
            out.status = std::stoi(out.head.substr(9, 3));
        return out;
    }
    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

inline RawResponse transact(std::string_view request, const char* source = nullptr,
                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    RawConnection connection(source);
    return connection.connected() && connection.send(request) ? connection.response(limit)
                                                              : RawResponse{};
}

// A well-formed request; Content-Length is added for a non-empty body.
inline std::string httpRequest(std::string_view method, std::string_view target,
                               const std::vector<std::pair<std::string, std::string>>& headers = {},
                               std::string_view body = {}) {
    std::string out = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (!body.empty())
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + std::string(body);
}

} // namespace zephlink::test
