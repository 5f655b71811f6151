#include "client_limits.h"

#include <algorithm>
#include <arpa/inet.h>

namespace zephlink::relay {

namespace {

constexpr auto kMinute = std::chrono::minutes(1);
constexpr auto kHour = std::chrono::hours(1);

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

bool Limits::idle(const Entry& entry, Clock::time_point now) {
    return entry.polls == 0 && entry.connections == 0 && now - entry.minuteStart >= kMinute &&
           now - entry.hourStart >= kHour;
}

Limits::Entry* Limits::entry(const std::string& address, Clock::time_point now) {
    if (const auto at = entries_.find(address); at != entries_.end())
        return &at->second;
    if (entries_.size() >= settings_.maxAddresses) {
        std::erase_if(entries_, [&](const auto& item) { return idle(item.second, now); });
        if (entries_.size() >= settings_.maxAddresses)
            return nullptr;
    }
    // Windows that have never opened start out expired.
    const Entry fresh{now - kHour, 0, now - kHour, 0, 0, 0};
    return &entries_.emplace(address, fresh).first->second;
}

void Limits::forgetIfIdle(const std::string& address) {
    const auto at = entries_.find(address);
    if (at != entries_.end() && idle(at->second, Clock::now()))
        entries_.erase(at);
}

int Limits::admitRequest(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    Entry* found = entry(address, now);
    if (found == nullptr)
        return 503;
    if (now - found->minuteStart >= kMinute) {
        found->minuteStart = now;
        found->requests = 0;
    }
    if (found->requests >= settings_.requestsPerMinute)
        return 429;
    ++found->requests;
    return 0;
}

int Limits::admitRoom(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    Entry* found = entry(address, now);
    if (found == nullptr)
        return 503;
    if (now - found->hourStart >= kHour) {
        found->hourStart = now;
        found->rooms = 0;
    }
    if (found->rooms >= settings_.roomsPerHour)
        return 429;
    ++found->rooms;
    return 0;
}

int Limits::holdPoll(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (polls_ >= settings_.maxPolls)
        return 503;
    Entry* found = entry(address, Clock::now());
    if (found == nullptr)
        return 503;
    if (found->polls >= settings_.pollsPerAddress)
        return 429;
    ++found->polls;
    ++polls_;
    return 0;
}

void Limits::releasePoll(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (const auto at = entries_.find(address); at != entries_.end() && at->second.polls > 0) {
        --at->second.polls;
        --polls_;
        forgetIfIdle(address);
    }
}

bool Limits::openConnection(const std::string& address) {
    std::lock_guard lock(mutex_);
    Entry* found = entry(address, Clock::now());
    if (found == nullptr || found->connections >= settings_.connectionsPerAddress)
        return false;
    ++found->connections;
    ++connections_;
    return true;
}

void Limits::closeConnection(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (const auto at = entries_.find(address);
        at != entries_.end() && at->second.connections > 0) {
        --at->second.connections;
        --connections_;
        forgetIfIdle(address);
    }
}

std::size_t Limits::heldPolls() const {
    std::lock_guard lock(mutex_);
    return polls_;
}

std::size_t Limits::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

void Limits::sweep() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    std::erase_if(entries_, [&](const auto& item) { return idle(item.second, now); });
}

std::optional<std::string> normalAddress(std::string_view text) {
    const std::string copy(text);
    in_addr v4{};
    in6_addr v6{};
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    if (inet_pton(AF_INET6, copy.c_str(), &v6) != 1)
        return std::nullopt;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::copy_n(v6.s6_addr + 12, 4, reinterpret_cast<unsigned char*>(&v4));
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    }
    return inet_ntop(AF_INET6, &v6, out, sizeof out);
}

std::string clientAddress(const std::string& peer, std::optional<std::string_view> forwardedFor,
                          const std::vector<std::string>& trustedProxies) {
    const auto trusted = [&](const std::string& address) {
        return std::find(trustedProxies.begin(), trustedProxies.end(), address) !=
               trustedProxies.end();
    };
    if (!forwardedFor || !trusted(peer))
        return peer;
    // Each proxy appends the address it was reached from: read from the
    // right, and stop at the first hop no trusted proxy vouches for.
    std::string_view rest = *forwardedFor;
    while (!rest.empty()) {
        const auto comma = rest.rfind(',');
        const std::string_view piece =
            trim(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        const auto address = normalAddress(piece);
        if (!address)
            return peer; // a hop we cannot read: count the proxy itself
        if (!trusted(*address))
            return *address;
    }
    return peer;
}

} // namespace zephlink::relay
