#pragma once

#include "local_session.h"
#include "wall_clock.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

inline constexpr std::int64_t kDeviceHeartbeatMs = 20000;

// The device a session request introduces, when the host accepts it: a
// valid identifier, a name of 1 to 80 characters and a known platform.
std::optional<NearbyDevice> sessionDevice(std::string_view body);

// The devices that asked for a session, at most 64, each forgotten 20
// seconds after its last request. Not locked: the host serialises calls.
class DeviceRegistry {
public:
    explicit DeviceRegistry(WallClock clock);

    // Forgets the devices silent for more than 20 seconds.
    void prune();
    // Registers or refreshes the device; false when the registry is full.
    bool see(const NearbyDevice& device);
    std::vector<NearbyDevice> devices() const;

private:
    struct Entry {
        NearbyDevice device;
        std::int64_t lastSeen = 0; // ms
    };
    WallClock clock_;
    std::map<std::string, Entry> entries_;
};

} // namespace zephlink
