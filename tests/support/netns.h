#pragma once

// Network set-up inside a test process's own network namespace.
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zephlink::test {

inline sockaddr_in ipv4(const char* dotted) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    if (inet_pton(AF_INET, dotted, &out.sin_addr) != 1)
        out.sin_addr.s_addr = htonl(INADDR_NONE);
    return out;
}

// Brings lo up with multicast on and routes the multicast range through it,
// so that datagrams to the discovery group can be sent and received.
inline bool bringLoopbackUp() {
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags =
        static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING | IFF_MULTICAST);
    ok = ok && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    rtentry route{};
    const sockaddr_in destination = ipv4("224.0.0.0");
    const sockaddr_in mask = ipv4("240.0.0.0");
    std::memcpy(&route.rt_dst, &destination, sizeof destination);
    std::memcpy(&route.rt_genmask, &mask, sizeof mask);
    char device[] = "lo";
    route.rt_dev = device;
    route.rt_flags = RTF_UP;
    ok = ok && ioctl(control, SIOCADDRT, &route) == 0;
    close(control);
    return ok;
}

// Gives lo one more address (as the alias lo:label), so that a test can
// speak from an address outside 127/8.
inline bool addLoopbackAddress(const char* dotted, int label) {
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0)
        return false;
    ifreq request{};
    const std::string name = "lo:" + std::to_string(label);
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const sockaddr_in address = ipv4(dotted);
    std::memcpy(&request.ifr_addr, &address, sizeof address);
    bool ok = ioctl(control, SIOCSIFADDR, &request) == 0;
    const sockaddr_in mask = ipv4("255.255.255.255");
    std::memcpy(&request.ifr_netmask, &mask, sizeof mask);
    ok = ok && ioctl(control, SIOCSIFNETMASK, &request) == 0;
    close(control);
    return ok;
}

// Whether a socket of `type` can bind the port on every interface, tried for
// at most `limit`; a stream socket binds the way a new host would.
inline bool bindableWithin(int type, std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any = ipv4("0.0.0.0");
        any.sin_port = htons(port);
        const bool bound =
            fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
        if (fd >= 0)
            close(fd);
        if (bound || std::chrono::steady_clock::now() >= deadline)
            return bound;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace zephlink::test
