#pragma once

#include "records.h"

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace zephlink {

namespace msg {
inline constexpr std::string_view invalidNearbyHost = "Invalid nearby host";
} // namespace msg

inline constexpr std::string_view kTrustedLan = "trusted-lan";
inline constexpr std::size_t kMaxNearbyDevices = 64;
inline constexpr std::size_t kMaxNearbyName = 80; // characters

// "mac", "windows" or "android": the platforms every peer accepts.
bool validNearbyPlatform(std::string_view platform);

// How a device introduces itself to a nearby host.
struct NearbyDevice {
    std::string device;   // 32 lower-case hex characters
    std::string name;     // display name, at most 80 characters
    std::string platform; // "mac", "windows" or "android"

    bool operator==(const NearbyDevice&) const = default;
};

// What a nearby host hands to a device that asks for a session.
struct LocalSession {
    std::int64_t v = 1;
    std::string mode; // "trusted-lan"
    std::string hostId;
    std::string name;
    std::string room;
    std::string token;
    std::string key;
    std::vector<NearbyDevice> devices; // the receiving device included

    // Checks the session and builds the group it grants, addressed at server
    // (the base address the session was fetched from).
    Group group(std::string_view server) const;
};

void to_json(nlohmann::json& j, const NearbyDevice& device);
void from_json(const nlohmann::json& j, NearbyDevice& device);
void from_json(const nlohmann::json& j, LocalSession& session);

} // namespace zephlink
