#pragma once

#include "bonjour.h"
#include "local_host.h"
#include "local_session.h"
#include "serial_queue.h"
#include "wall_clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zephlink {

inline constexpr std::string_view kDiscoveryQueueLabel = "app.zephlink.discovery";
inline constexpr std::chrono::seconds kCycleInterval{4};
inline constexpr std::int64_t kHostMemoryMs = 13000;
inline constexpr std::chrono::milliseconds kReplyWindow{800};
inline constexpr std::chrono::milliseconds kReplyWait{200};
inline constexpr std::size_t kMaxHostsPerExchange = 64;
inline constexpr std::size_t kMaxCandidates = 16;
inline constexpr double kProbeTimeoutSeconds = 1.0;
inline constexpr double kSessionTimeoutSeconds = 1.5;
inline constexpr std::string_view kBroadcastAll = "255.255.255.255";
inline constexpr std::string_view kLoopback = "127.0.0.1";
// Peers accept only their own platform names; a Linux desktop speaks as "mac".
inline constexpr std::string_view kNearbyPlatform = "mac";

// Host identifier → base address ("http://" + dotted IPv4 + ":8788").
using HostAddresses = std::map<std::string, std::string>;

// The base address of a host heard at a dotted IPv4 address.
std::string baseAddress(std::string_view dotted);

// Where a discovery request goes: the discovery group, the limited broadcast
// address, the loopback address and the broadcast address of every
// interface, without repeats.
std::vector<std::string> discoveryTargets(const std::vector<std::string>& interfaceBroadcasts);

// The broadcast addresses of the interfaces with an IPv4 address and the
// broadcast flag; empty when the interface list cannot be read.
std::vector<std::string> interfaceBroadcasts();

// One datagram exchange: sends a discovery request to every target and
// collects for `window` the replies from private addresses that answer this
// request's nonce. At most 64 hosts; empty when anything fails on the way.
HostAddresses discover(std::chrono::milliseconds window = kReplyWindow);

// The hosts heard within the last 13 seconds, with their latest address.
class HostMemory {
public:
    // Records the hosts of one exchange at `now` and forgets those last
    // heard more than 13 seconds before it.
    void remember(const HostAddresses& found, std::int64_t now);
    HostAddresses hosts() const;
    std::size_t size() const { return heard_.size(); }

private:
    struct Heard {
        std::string server;
        std::int64_t at = 0; // ms
    };
    std::map<std::string, Heard> heard_;
};

// The identifier of the host on this machine when a health answer says it
// takes devices automatically.
std::optional<std::string> probedHostId(std::string_view healthBody);

// The first 16 candidates in ascending identifier order.
std::vector<std::pair<std::string, std::string>> orderedCandidates(const HostAddresses& candidates);

// The session a host answered, when it decodes, names the host that was
// asked and grants a group at server.
std::optional<LocalSession> checkedSession(std::string_view body, std::string_view hostId,
                                           std::string_view server);

// The session request body: this device as a NearbyDevice of platform "mac";
// nullopt when it cannot be written as JSON.
std::optional<std::string> sessionRequestBody(std::string_view device, std::string_view name);

// API::request's shape.
using DiscoveryRequest = std::function<std::string(
    std::string_view server, std::string_view path, std::optional<std::string> token,
    std::string_view method, std::optional<std::string> body, double timeoutSeconds)>;

// Seams for tests; every empty member means the program's own behaviour.
struct LocalDiscoveryOptions {
    WallClock clock;                         // nowMilliseconds
    std::chrono::milliseconds interval{};    // kCycleInterval when zero
    std::shared_ptr<Advertiser> advertiser;  // avahiAdvertiser()
    std::shared_ptr<Browser> browser;        // avahiBrowser()
    std::function<HostAddresses()> discover; // the datagram exchange above
    DiscoveryRequest request;                // API::request
};

// Finds nearby hosts and fetches a session from the first that gives a sound
// one, every four seconds, while running this device's own host and its
// advertisement. start() and stop() belong to one thread, the "main thread";
// the callback reaches that thread through the executor given at creation,
// never after stop() has returned there.
class LocalDiscovery {
public:
    using Callback = std::function<void(std::optional<LocalSession>, std::optional<std::string>)>;
    // Runs a function on the main thread, later.
    using Executor = std::function<void(std::function<void()>)>;
    using Request = DiscoveryRequest;
    using Options = LocalDiscoveryOptions;

    LocalDiscovery(std::string device, std::string name, Callback callback, Executor mainThread,
                   Options options = {});
    // Stops, then waits for a cycle in flight to end (at most one request's
    // time-out); no callback is delivered afterwards.
    ~LocalDiscovery();
    LocalDiscovery(const LocalDiscovery&) = delete;
    LocalDiscovery& operator=(const LocalDiscovery&) = delete;

    // Starts this device's host (when it can), advertises it and begins the
    // cycles. A second start() while running does nothing.
    void start();
    // Ends the cycles, withdraws the advertisement and stops the host. Does
    // not wait for a cycle in flight: it dies quietly.
    void stop();

    // Whether this device's own host runs (it could be started).
    bool hosting() const { return host_ != nullptr; }
    // The other hosts announced over mDNS while running, whether or not
    // discovery reaches them.
    std::set<std::string> announcedHosts() const;

private:
    struct Shared;
    using Outcome = std::pair<std::optional<LocalSession>, std::optional<std::string>>;

    void tick(std::int64_t epoch);
    bool current(std::int64_t epoch) const;
    Outcome firstSession(const HostAddresses& candidates, std::int64_t epoch, bool& stale);
    void deliver(std::int64_t epoch, Outcome outcome);

    const std::string device_;
    const std::string name_;
    Options options_;
    std::shared_ptr<Shared> shared_; // shared with the callbacks in flight
    std::shared_ptr<LocalHost> host_;
    std::unique_ptr<Advertisement> bonjour_;
    std::unique_ptr<Announcements> announcements_;
    HostMemory recent_; // only on the queue
    // Last: it goes first, so no cycle outlives the members it uses.
    SerialQueue queue_;
};

} // namespace zephlink
