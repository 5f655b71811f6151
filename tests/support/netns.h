#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zephlink::test {

inline sockaddr_in ipv4(const char* dotted, std::uint16_t port = 0) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (inet_pton(AF_INET, dotted, &out.sin_addr) != 1)
        out.sin_addr.s_addr = htonl(INADDR_NONE);
    return out;
}

// lo up, with the multicast range routed through it.
inline bool bringLoopbackUp() {
    return std::system("ip link set lo up && ip route add 224.0.0.0/4 dev lo") == 0;
}

// One more address on lo, so that a test can speak from outside 127/8.
inline bool addLoopbackAddress(const char* dotted) {
    return std::system(("ip addr add " + std::string(dotted) + "/32 dev lo").c_str()) == 0;
}

// Whether a socket of `type` can bind the port on every interface within `limit`.
inline bool bindableWithin(int type, std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in any = ipv4("0.0.0.0", port);
        const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
        close(fd);
        if (bound || std::chrono::steady_clock::now() >= deadline)
            return bound;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace zephlink::test
