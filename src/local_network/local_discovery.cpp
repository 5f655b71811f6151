#include "local_discovery.h"

#include "addresses.h"
#include "api.h"
#include "characters.h"
#include "clip.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "socket.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <ifaddrs.h>
#include <net/if.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <set>
#include <sys/socket.h>

namespace zephlink {

using nlohmann::json;

std::string baseAddress(std::string_view dotted) {
    return "http://" + std::string(dotted) + ":" + std::to_string(kHostPort);
}

std::vector<std::string> discoveryTargets(const std::vector<std::string>& interfaceBroadcasts) {
    std::set<std::string> targets{std::string(kDiscoveryGroup), std::string(kBroadcastAll),
                                  std::string(kLoopback)};
    targets.insert(interfaceBroadcasts.begin(), interfaceBroadcasts.end());
    return {targets.begin(), targets.end()};
}

std::vector<std::string> interfaceBroadcasts() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    std::vector<std::string> broadcasts;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_BROADCAST) == 0 || entry->ifa_broadaddr == nullptr ||
            entry->ifa_broadaddr->sa_family != AF_INET)
            continue;
        sockaddr_in broadcast{};
        std::memcpy(&broadcast, entry->ifa_broadaddr, sizeof broadcast);
        std::string dotted = hostString(broadcast);
        if (!dotted.empty())
            broadcasts.push_back(std::move(dotted));
    }
    return broadcasts;
}

HostAddresses discover(std::chrono::milliseconds window) {
    // Not bound: replies come back to the port the system picks.
    const Socket socket = ipv4Socket(SOCK_DGRAM);
    if (!socket.valid() || !setFlag(socket.fd(), SOL_SOCKET, SO_BROADCAST) ||
        !setTimeouts(socket.fd(), kReplyWait))
        return {};
    std::string nonce;
    std::string request;
    try {
        nonce = identifier();
        request = discoveryRequest(nonce);
    } catch (const std::exception&) {
        return {};
    }
    for (const std::string& target : discoveryTargets(interfaceBroadcasts())) {
        const sockaddr_in to = address(target, kDiscoveryPort);
        // A target without a route simply hears nothing.
        (void)::sendto(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    HostAddresses found;
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (true) {
        // One wait for the whole window, woken only by a reply.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd wanted{socket.fd(), POLLIN, 0};
        const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const auto datagram = receivePrivateDatagram(socket.fd());
        if (!datagram)
            continue;
        const auto hostId = replyHostId(datagram->bytes, nonce);
        if (hostId && found.size() < kMaxHostsPerExchange)
            found[*hostId] = baseAddress(hostString(datagram->sender));
    }
    return found;
}

void HostMemory::remember(const HostAddresses& found, std::int64_t now) {
    for (const auto& [hostId, server] : found)
        heard_[hostId] = Heard{server, now};
    std::erase_if(heard_,
                  [now](const auto& entry) { return now - entry.second.at > kHostMemoryMs; });
}

HostAddresses HostMemory::hosts() const {
    HostAddresses hosts;
    for (const auto& [hostId, heard] : heard_)
        hosts.emplace(hostId, heard.server);
    return hosts;
}

std::optional<std::string> probedHostId(std::string_view healthBody) {
    const json health = json::parse(healthBody, nullptr, false);
    if (!health.is_object())
        return std::nullopt;
    const auto autoJoin = health.find("autoJoin");
    const auto hostId = health.find("hostId");
    if (autoJoin == health.end() || !autoJoin->is_boolean() || !autoJoin->get<bool>() ||
        hostId == health.end() || !hostId->is_string() ||
        !validID(hostId->get_ref<const std::string&>()))
        return std::nullopt;
    return hostId->get<std::string>();
}

std::vector<std::pair<std::string, std::string>>
orderedCandidates(const HostAddresses& candidates) {
    // The map is already in plain string order of the identifiers.
    std::vector<std::pair<std::string, std::string>> ordered;
    for (const auto& candidate : candidates) {
        if (ordered.size() == kMaxCandidates)
            break;
        ordered.push_back(candidate);
    }
    return ordered;
}

std::optional<LocalSession> checkedSession(std::string_view body, std::string_view hostId,
                                           std::string_view server) {
    try {
        LocalSession session = json::parse(body).get<LocalSession>();
        if (session.hostId != hostId)
            return std::nullopt;
        (void)session.group(server); // only whether it checks out matters here
        return session;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> sessionRequestBody(std::string_view device, std::string_view name) {
    try {
        return json(NearbyDevice{std::string(device), std::string(name),
                                 std::string(kNearbyPlatform)})
            .dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

struct LocalDiscovery::Shared {
    std::mutex lock;
    bool enabled = false;
    std::int64_t epoch = 0;
    const Callback callback;
    const Executor mainThread;

    Shared(Callback callback_, Executor mainThread_)
        : callback(std::move(callback_)), mainThread(std::move(mainThread_)) {}
};

LocalDiscovery::LocalDiscovery(std::string device, std::string name, Callback callback,
                               Executor mainThread, Options options)
    : device_(std::move(device)), name_(characterPrefix(name, kMaxNearbyName)),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>(std::move(callback), std::move(mainThread))),
      queue_(std::string(kDiscoveryQueueLabel)) {
    if (!options_.clock)
        options_.clock = nowMilliseconds;
    if (options_.interval <= std::chrono::milliseconds::zero())
        options_.interval = kCycleInterval;
    if (!options_.advertiser)
        options_.advertiser = avahiAdvertiser();
    if (!options_.browser)
        options_.browser = avahiBrowser();
    if (!options_.discover)
        options_.discover = [] { return discover(); };
    if (!options_.request)
        options_.request = API::request;
}

LocalDiscovery::~LocalDiscovery() {
    stop();
    queue_.shutdown();
}

void LocalDiscovery::start() {
    std::int64_t epoch = 0;
    {
        const std::lock_guard lock(shared_->lock);
        if (shared_->enabled)
            return;
        shared_->enabled = true;
        epoch = ++shared_->epoch;
    }
    try {
        auto host = LocalHost::create(device_, name_);
        if (host->start())
            host_ = std::move(host);
    } catch (const std::exception&) {
        // No randomness for a group: this device is a pure client.
    }
    if (host_) {
        try {
            bonjour_ = options_.advertiser->publish(hostService(name_, device_));
        } catch (const std::exception&) {
            bonjour_.reset(); // the host runs unadvertised
        }
    }
    try {
        announcements_ = options_.browser->browse();
    } catch (const std::exception&) {
        announcements_.reset(); // nothing to compare discovery with
    }
    queue_.async([this, epoch] { tick(epoch); });
}

std::set<std::string> LocalDiscovery::announcedHosts() const {
    std::set<std::string> others;
    if (announcements_)
        others = announcements_->hostIds();
    others.erase(device_);
    return others;
}

void LocalDiscovery::stop() {
    {
        const std::lock_guard lock(shared_->lock);
        shared_->enabled = false;
        ++shared_->epoch;
    }
    if (bonjour_) {
        bonjour_->withdraw();
        bonjour_.reset();
    }
    announcements_.reset();
    if (host_) {
        host_->stop();
        host_.reset();
    }
}

bool LocalDiscovery::current(std::int64_t epoch) const {
    const std::lock_guard lock(shared_->lock);
    return shared_->enabled && shared_->epoch == epoch;
}

void LocalDiscovery::tick(std::int64_t epoch) {
    if (!current(epoch))
        return; // the chain of an earlier start ends here
    const HostAddresses found = options_.discover();
    recent_.remember(found, options_.clock()); // the time after the exchange
    HostAddresses candidates = recent_.hosts();
    try {
        const std::string health = options_.request(kHostServer, "/health", std::nullopt, "GET",
                                                    std::nullopt, kProbeTimeoutSeconds);
        // The host on this machine is reached over loopback, whatever
        // address it answered the datagram from.
        if (const auto hostId = probedHostId(health))
            candidates[*hostId] = std::string(kHostServer);
    } catch (const std::exception&) {
        // No host here, or not one that takes devices: nothing to add.
    }
    bool stale = false;
    Outcome outcome = firstSession(candidates, epoch, stale);
    if (stale || !current(epoch))
        return;
    deliver(epoch, std::move(outcome));
    queue_.asyncAfter(options_.interval, [this, epoch] { tick(epoch); });
}

LocalDiscovery::Outcome LocalDiscovery::firstSession(const HostAddresses& candidates,
                                                     std::int64_t epoch, bool& stale) {
    const std::optional<std::string> body = sessionRequestBody(device_, name_);
    for (const auto& [hostId, server] : orderedCandidates(candidates)) {
        if (!current(epoch)) {
            stale = true;
            return {};
        }
        std::string answer;
        try {
            answer = options_.request(server, kSessionPath, std::nullopt, "POST", body,
                                      kSessionTimeoutSeconds);
        } catch (const std::exception&) {
            continue;
        }
        if (auto session = checkedSession(answer, hostId, server))
            return {std::move(session), server};
    }
    return {};
}

void LocalDiscovery::deliver(std::int64_t epoch, Outcome outcome) {
    const std::shared_ptr<Shared> shared = shared_;
    if (!shared->mainThread)
        return;
    try {
        // The job holds the shared part only: it may run after this object
        // is gone, and then finds discovery disabled.
        shared->mainThread([shared, epoch, outcome = std::move(outcome)]() mutable {
            {
                const std::lock_guard lock(shared->lock);
                if (!shared->enabled || shared->epoch != epoch)
                    return;
            }
            if (!shared->callback)
                return;
            try {
                shared->callback(std::move(outcome.first), std::move(outcome.second));
            } catch (...) {
                // Nothing may escape into the owner's event loop.
            }
        });
    } catch (const std::exception&) {
        // An executor that cannot take the job loses this cycle's outcome
        // only; the next cycle still comes.
    }
}

} // namespace zephlink
