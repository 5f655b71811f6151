#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zephlink {

inline constexpr std::string_view kServiceDomain = "local.";
inline constexpr std::string_view kServiceType = "_zephlink._tcp.";
inline constexpr std::string_view kServiceNamePrefix = "Zephlink ";
inline constexpr std::size_t kServiceNameCharacters = 40;
// A service name is one DNS label (RFC 6763, section 4.1.1).
inline constexpr std::size_t kMaxServiceNameBytes = 63;

// One DNS-SD service as published.
struct ServiceRecord {
    std::string domain;
    std::string type;
    std::string name;
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt; // key and UTF-8 value, in order

    bool operator==(const ServiceRecord&) const = default;
};

// "Zephlink " and the first 40 characters of the device name. A name whose
// UTF-8 would not fit one DNS label loses whole characters from its end
// until it does; otherwise it could not be published at all.
std::string serviceName(std::string_view deviceName);

// The advertisement of this device's nearby host.
ServiceRecord hostService(std::string_view deviceName, std::string_view hostId);

// A published service; withdrawn by withdraw() or at the latest when
// destroyed.
class Advertisement {
public:
    virtual ~Advertisement() = default;
    virtual void withdraw() = 0;
};

class Advertiser {
public:
    virtual ~Advertiser() = default;
    // The advertisement, or nullptr when the service cannot be published
    // here (no mDNS responder to reach). Nothing is reported either way.
    virtual std::unique_ptr<Advertisement> publish(const ServiceRecord& service) = 0;
};

// The Zephlink hosts announced on the network, kept up to date off the
// caller's thread until destroyed.
class Announcements {
public:
    virtual ~Announcements() = default;
    // The "hostId" of every "_zephlink._tcp." service seen now, this
    // device's own among them.
    virtual std::set<std::string> hostIds() const = 0;
};

class Browser {
public:
    virtual ~Browser() = default;
    // nullptr when there is no mDNS responder to ask.
    virtual std::unique_ptr<Announcements> browse() = 0;
};

// Browses through avahi-daemon, as avahiAdvertiser() publishes. At most 64
// services are remembered and 8 resolved at a time: the network may hold
// any number of them.
std::shared_ptr<Browser> avahiBrowser();

// Publishes through avahi-daemon on the D-Bus system bus. A daemon that
// starts later, or starts again, gets the service then; a name taken by
// another service on the network is replaced by Avahi's alternative name.
std::shared_ptr<Advertiser> avahiAdvertiser();

} // namespace zephlink
