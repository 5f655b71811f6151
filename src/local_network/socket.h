#pragma once

#include <chrono>
#include <cstddef>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zephlink {

// Owns one socket descriptor and closes it exactly once.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// An IPv4 socket of the given type (SOCK_STREAM, SOCK_DGRAM), close-on-exec.
Socket ipv4Socket(int type);

bool setFlag(int fd, int level, int option);
bool setTimeouts(int fd, std::chrono::microseconds timeout);

// recv that retries on EINTR: >0 bytes, 0 when the peer closed, <0 on error
// or time-out.
ssize_t receiveSome(int fd, char* into, std::size_t most);

// One discovery datagram: at most 1024 bytes, from a private IPv4 sender.
struct Datagram {
    std::string bytes;
    sockaddr_in sender{};
};

// Receives one datagram; nullopt for a time-out, an error, an empty or
// oversized datagram, or a sender that is not on a private network.
std::optional<Datagram> receivePrivateDatagram(int fd);

} // namespace zephlink
