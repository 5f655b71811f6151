#pragma once

#include "client_limits.h"
#include "room_store.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zephlink::relay {

struct Endpoint {
    std::string address; // numeric IPv4 or IPv6
    std::uint16_t port = 0;
};

struct Options {
    Endpoint listen{"0.0.0.0", 8787};
    std::optional<Endpoint> metrics;
    std::optional<std::string> redis; // redis://[:password@]host[:port][/db]
    std::vector<std::string> trustedProxies;
    unsigned threads = 2;
    std::size_t maxBody = 60000;
    std::int64_t requestTimeout = 15; // seconds to send a request, idle time included
    std::size_t maxRooms = 100000;    // in memory
    std::size_t maxStoredMiB = 512;   // in memory
    RoomLimits rooms;
    LimitSettings limits;
};

struct Help {
    std::string text;
};

// The options, the help or version text to print, or an error message.
std::variant<Options, Help, std::string> parseOptions(const std::vector<std::string>& arguments);

// "host:port" with a numeric IPv4 host, or "[v6]:port".
std::optional<Endpoint> parseEndpoint(const std::string& text);

} // namespace zephlink::relay
