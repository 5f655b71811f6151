#include "local_session.h"

#include "characters.h"
#include "encoding.h"
#include "errors.h"

#include <nlohmann/json.hpp>

namespace zephlink {

using nlohmann::json;

bool validNearbyPlatform(std::string_view platform) {
    return platform == "mac" || platform == "windows" || platform == "android";
}

Group LocalSession::group(std::string_view server) const {
    const auto refuse = [] { throw DazarError(std::string(msg::invalidNearbyHost)); };
    if (v != 1 || mode != kTrustedLan || !validID(hostId) || devices.size() > kMaxNearbyDevices)
        refuse();
    for (const NearbyDevice& entry : devices) {
        if (!validID(entry.device) || characterCount(entry.name) > kMaxNearbyName ||
            !validNearbyPlatform(entry.platform))
            refuse();
    }
    // The validating constructor checks server, room, token and key in this
    // order and raises their own messages.
    return Group::make(server, room, token, key);
}

void to_json(json& j, const NearbyDevice& device) {
    j = json{{"device", device.device}, {"name", device.name}, {"platform", device.platform}};
}

void from_json(const json& j, NearbyDevice& device) {
    device.device = json_member::string(j, "device");
    device.name = json_member::string(j, "name");
    device.platform = json_member::string(j, "platform");
}

void from_json(const json& j, LocalSession& session) {
    session.v = json_member::integer(j, "v");
    session.mode = json_member::string(j, "mode");
    session.hostId = json_member::string(j, "hostId");
    session.name = json_member::string(j, "name");
    session.room = json_member::string(j, "room");
    session.token = json_member::string(j, "token");
    session.key = json_member::string(j, "key");
    const json& devices = json_member::required(j, "devices");
    if (!devices.is_array())
        throw json::type_error::create(
            302, std::string("member 'devices' must be an array, but is ") + devices.type_name(),
            &devices);
    session.devices = devices.get<std::vector<NearbyDevice>>();
}

} // namespace zephlink
