#pragma once

// A loopback port, bound but never listening: connecting is refused.
#include "netns.h"

#include <stdexcept>

namespace zephlink::test {

class ClosedPort {
public:
    ClosedPort() {
        sockaddr_in address = ipv4("127.0.0.1");
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot bind a loopback port");
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() { close(fd_); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
};

} // namespace zephlink::test
