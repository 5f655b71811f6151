#include "options.h"

#include <charconv>
#include <functional>
#include <map>

namespace zephlink::relay {

namespace {

constexpr const char* kUsage = R"(Usage: zephlink-relay [OPTION]...
Relays sealed Zephlink clips between the devices of each room.

  --listen ADDRESS:PORT       where to serve (default 0.0.0.0:8787; [::]:8787 for IPv6)
  --redis URL                 keep rooms in Redis (redis://[:PASSWORD@]HOST[:PORT][/DB]),
                              so that several relays serve the same rooms;
                              without it rooms live in this process only
  --metrics ADDRESS:PORT      serve Prometheus metrics at /metrics there
  --trust-proxy ADDRESS       a reverse proxy whose X-Forwarded-For names the client
                              (repeat for several)
  --threads N                 threads answering requests (default 2)
  --max-clips N               clips kept per room (default 100)
  --retention SECONDS         how long a clip is kept (default 900)
  --room-idle SECONDS         a room unused this long is forgotten (default 2592000)
  --max-body BYTES            largest request body (default 60000)
  --request-timeout SECONDS   time to send one request, idle keep-alive included (default 15)
  --requests-per-minute N     per client address (default 600)
  --rooms-per-hour N          rooms created per client address (default 60)
  --polls-per-address N       polls held at once per client address (default 100)
  --max-polls N               polls held at once in all (default 20000)
  --connections-per-address N connections open at once per client address (default 256)
  --max-rooms N               rooms kept in memory (default 100000)
  --max-stored-mib N          memory for rooms and clips (default 512)
  --help, --version
)";

template <typename T> bool number(const std::string& text, T& out, T minimum, T maximum) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum)
        return false;
    out = value;
    return true;
}

} // namespace

std::optional<Endpoint> parseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    const bool bracketed = host.front() == '[';
    if (bracketed) {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    }
    const auto address = normalAddress(host);
    if (!address || (address->find(':') != std::string::npos) != bracketed)
        return std::nullopt;
    Endpoint endpoint{host, 0};
    if (!number<std::uint16_t>(text.substr(colon + 1), endpoint.port, 0, 65535))
        return std::nullopt;
    return endpoint;
}

std::variant<Options, Help, std::string> parseOptions(const std::vector<std::string>& arguments) {
    Options options;
    constexpr std::size_t kBig = std::size_t{1} << 40;
    constexpr std::int64_t kYear = 366LL * 24 * 3600;
    using Setter = std::function<bool(const std::string&)>;
    const auto size = [](std::size_t& field, std::size_t minimum) {
        return [&field, minimum](const std::string& v) { return number(v, field, minimum, kBig); };
    };
    const auto count = [](std::int64_t& field, std::int64_t minimum, std::int64_t maximum) {
        return [&field, minimum, maximum](const std::string& v) {
            return number(v, field, minimum, maximum);
        };
    };
    std::int64_t retentionSeconds = options.rooms.retentionMs / 1000;
    const std::map<std::string, Setter> setters = {
        {"--listen",
         [&](const std::string& v) {
             const auto endpoint = parseEndpoint(v);
             options.listen = endpoint.value_or(options.listen);
             return endpoint.has_value();
         }},
        {"--metrics",
         [&](const std::string& v) {
             options.metrics = parseEndpoint(v);
             return options.metrics.has_value();
         }},
        {"--redis",
         [&](const std::string& v) {
             options.redis = v;
             return v.starts_with("redis://");
         }},
        {"--trust-proxy",
         [&](const std::string& v) {
             const auto address = normalAddress(v);
             if (address)
                 options.trustedProxies.push_back(*address);
             return address.has_value();
         }},
        {"--threads", [&](const std::string& v) { return number(v, options.threads, 1u, 64u); }},
        {"--max-clips", size(options.rooms.maxClips, 1)},
        {"--retention", count(retentionSeconds, 1, kYear)},
        {"--room-idle", count(options.rooms.idleSeconds, 1, 10 * kYear)},
        {"--max-body", size(options.maxBody, 1024)},
        {"--request-timeout", count(options.requestTimeout, 1, 3600)},
        {"--requests-per-minute", count(options.limits.requestsPerMinute, 1, INT64_MAX)},
        {"--rooms-per-hour", count(options.limits.roomsPerHour, 1, INT64_MAX)},
        {"--polls-per-address", size(options.limits.pollsPerAddress, 1)},
        {"--max-polls", size(options.limits.maxPolls, 1)},
        {"--connections-per-address", size(options.limits.connectionsPerAddress, 1)},
        {"--max-rooms", size(options.maxRooms, 1)},
        {"--max-stored-mib", size(options.maxStoredMiB, 1)},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h")
            return Help{kUsage};
        if (name == "--version")
            return Help{"zephlink-relay " ZEPHLINK_VERSION "\n"};
        const auto setter = setters.find(name);
        if (setter == setters.end())
            return "unknown option " + name + " (see --help)";
        if (i + 1 >= arguments.size())
            return name + " needs a value";
        if (!setter->second(arguments[++i]))
            return "invalid value for " + name; // not repeated: it may hold a secret
    }
    options.rooms.retentionMs = retentionSeconds * 1000;
    return options;
}

} // namespace zephlink::relay
