#pragma once

// What one client address may do: requests a minute, rooms an hour, polls
// held and connections open at once, plus the relay's total of held polls.
// The defaults let a household of a dozen devices behind one address work.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zephlink::relay {

struct LimitSettings {
    std::int64_t requestsPerMinute = 600;
    std::int64_t roomsPerHour = 60;
    std::size_t pollsPerAddress = 100;
    std::size_t maxPolls = 20000;
    std::size_t connectionsPerAddress = 256;
    std::size_t maxAddresses = 100000; // addresses tracked at once
};

class Limits {
public:
    using Clock = std::chrono::steady_clock;

    explicit Limits(LimitSettings settings) : settings_(settings) {}

    // 0 when admitted, else the status to answer: 429 over the address's
    // allowance, 503 when the relay cannot track another address.
    int admitRequest(const std::string& address);
    int admitRoom(const std::string& address);
    int holdPoll(const std::string& address);
    void releasePoll(const std::string& address);
    bool openConnection(const std::string& address);
    void closeConnection(const std::string& address);

    std::size_t heldPolls() const;
    std::size_t connections() const;
    // Forgets addresses with nothing open and no window running.
    void sweep();

private:
    struct Entry {
        Clock::time_point minuteStart;
        std::int64_t requests = 0;
        Clock::time_point hourStart;
        std::int64_t rooms = 0;
        std::size_t polls = 0;
        std::size_t connections = 0;
    };

    Entry* entry(const std::string& address, Clock::time_point now);
    void forgetIfIdle(const std::string& address);
    static bool idle(const Entry& entry, Clock::time_point now);

    const LimitSettings settings_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::size_t polls_ = 0;
    std::size_t connections_ = 0;
};

// The address a request comes from: the peer, or, when the peer is one of
// the trusted proxies, the last address in X-Forwarded-For that is not.
std::string clientAddress(const std::string& peer, std::optional<std::string_view> forwardedFor,
                          const std::vector<std::string>& trustedProxies);

// An IP address in its usual text form (IPv4 inside IPv6 as plain IPv4), or
// nullopt when the text is not an IP address.
std::optional<std::string> normalAddress(std::string_view text);

} // namespace zephlink::relay
