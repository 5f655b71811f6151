#include "device_registry.h"

#include "characters.h"
#include "encoding.h"

#include <nlohmann/json.hpp>

namespace zephlink {

std::optional<NearbyDevice> sessionDevice(std::string_view body) {
    NearbyDevice device;
    try {
        device = nlohmann::json::parse(body).get<NearbyDevice>();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    if (!validID(device.device) || device.name.empty() ||
        characterCount(device.name) > kMaxNearbyName || !validNearbyPlatform(device.platform))
        return std::nullopt;
    return device;
}

DeviceRegistry::DeviceRegistry(WallClock clock) : clock_(std::move(clock)) {}

void DeviceRegistry::prune() {
    const std::int64_t now = clock_();
    std::erase_if(entries_, [&](const auto& entry) {
        return now - entry.second.lastSeen > kDeviceHeartbeatMs;
    });
}

bool DeviceRegistry::see(const NearbyDevice& device) {
    const auto known = entries_.find(device.device);
    if (known == entries_.end() && entries_.size() >= kMaxNearbyDevices)
        return false;
    entries_.insert_or_assign(device.device, Entry{device, clock_()});
    return true;
}

std::vector<NearbyDevice> DeviceRegistry::devices() const {
    std::vector<NearbyDevice> out;
    out.reserve(entries_.size());
    for (const auto& [id, entry] : entries_)
        out.push_back(entry.device);
    return out;
}

} // namespace zephlink
