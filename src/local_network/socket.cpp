#include "socket.h"

#include "addresses.h"
#include "discovery_datagram.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zephlink {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::reset() {
    if (fd_ >= 0)
        ::close(fd_); // nothing useful can be done about a failed close
    fd_ = -1;
}

Socket ipv4Socket(int type) {
    return Socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

bool setFlag(int fd, int level, int option) {
    const int one = 1;
    return ::setsockopt(fd, level, option, &one, sizeof one) == 0;
}

bool setTimeouts(int fd, std::chrono::microseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    const bool receive = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
    const bool send = ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) == 0;
    return receive && send;
}

ssize_t receiveSome(int fd, char* into, std::size_t most) {
    while (true) {
        const ssize_t got = ::recv(fd, into, most, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got;
    }
}

std::optional<Datagram> receivePrivateDatagram(int fd) {
    // One byte more than the limit, so that an oversized datagram shows.
    char buffer[kMaxDatagramBytes + 1];
    Datagram datagram;
    socklen_t length = sizeof datagram.sender;
    const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&datagram.sender), &length);
    if (got < 1 || static_cast<std::size_t>(got) > kMaxDatagramBytes)
        return std::nullopt;
    if (!privateAddress(hostString(datagram.sender)))
        return std::nullopt;
    datagram.bytes.assign(buffer, static_cast<std::size_t>(got));
    return datagram;
}

} // namespace zephlink
