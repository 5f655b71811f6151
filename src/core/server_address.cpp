#include "server_address.h"

#include "errors.h"
#include "url.h"

#include <array>
#include <charconv>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <optional>
#include <sys/socket.h>

namespace zephlink {
namespace {

[[noreturn]] void refuseShape() {
    throw DazarError(std::string(msg::serverShape));
}

std::optional<long> decimal(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isHttpException(std::string_view lowerHost) {
    return lowerHost == "localhost" || lowerHost == "[::1]" || lowerHost == "::1";
}

} // namespace

bool isPrivateIPv4Host(std::string_view host) {
    const std::string lower = asciiLower(host);
    std::vector<long> numbers;
    std::size_t start = 0;
    while (start <= lower.size()) {
        const std::size_t dot = lower.find('.', start);
        const std::string_view piece = std::string_view(lower).substr(
            start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!piece.empty()) {
            if (const auto number = decimal(piece))
                numbers.push_back(*number);
        }
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (numbers.size() != 4)
        return false;
    for (const long n : numbers) {
        if (n < 0 || n > 255)
            return false;
    }
    const long a = numbers[0];
    const long b = numbers[1];
    return a == 10 || a == 127 || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) ||
           (a == 192 && b == 168);
}

std::string serverURL(std::string_view text) {
    const auto parts = parseUrl(trimmed(text));
    if (!parts || !parts->host || parts->host->empty())
        refuseShape();
    if (parts->user || parts->password || parts->query || parts->fragment)
        refuseShape();
    if (!parts->path.empty() && parts->path != "/")
        refuseShape();
    std::optional<long> port;
    if (parts->port && !parts->port->empty()) {
        port = decimal(*parts->port);
        if (!port || *port < 1 || *port > 65535)
            refuseShape();
    }
    const std::string lowerHost = asciiLower(*parts->host);
    const bool https = parts->scheme == "https";
    const bool http =
        parts->scheme == "http" && (isPrivateIPv4Host(lowerHost) || isHttpException(lowerHost));
    if (!https && !http)
        throw DazarError(std::string(msg::httpsRequired));

    std::string out = *parts->scheme + "://" + *parts->host;
    if (port)
        out += ":" + std::to_string(*port);
    return out;
}

bool isLoopbackServer(std::string_view text) {
    const auto parts = parseUrl(text);
    if (!parts || !parts->host)
        return false;
    const std::string host = asciiLower(*parts->host);
    return host == "localhost" || host == "localhost." || host == "::1" || host == "[::1]" ||
           host.starts_with("127.");
}

std::vector<InterfaceAddress> interfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress item;
        item.hasAddress = entry->ifa_addr != nullptr;
        item.ipv4 = item.hasAddress && entry->ifa_addr->sa_family == AF_INET;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (item.ipv4) {
            std::array<char, 1025> host{};
            if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host.data(),
                            static_cast<socklen_t>(host.size()), nullptr, 0, NI_NUMERICHOST) == 0)
                item.host = host.data();
        }
        out.push_back(std::move(item));
    }
    return out;
}

std::string defaultRelay(const std::vector<InterfaceAddress>& interfaces) {
    for (const InterfaceAddress& entry : interfaces) {
        if (!entry.hasAddress || !entry.ipv4 || entry.loopback || entry.host.empty())
            continue;
        try {
            return serverURL("http://" + entry.host + ":" + std::to_string(kRelayPort));
        } catch (const DazarError&) {
            // Public addresses cannot take plain HTTP; try the next interface.
        }
    }
    return std::string(kLoopbackRelay);
}

std::string defaultRelay() {
    return defaultRelay(interfaceAddresses());
}

} // namespace zephlink
