#include "discovery_datagram.h"

#include "encoding.h"
#include "records.h"

#include <nlohmann/json.hpp>

namespace zephlink {

using nlohmann::json;

namespace {

std::optional<json> datagramObject(std::string_view datagram) {
    if (datagram.empty() || datagram.size() > kMaxDatagramBytes)
        return std::nullopt;
    json object = json::parse(datagram, nullptr, false);
    if (!object.is_object())
        return std::nullopt;
    return object;
}

bool hasString(const json& object, const char* name, std::string_view expected) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() &&
           found->get_ref<const std::string&>() == expected;
}

bool hasNumber(const json& object, const char* name, std::int64_t expected) {
    const auto found = object.find(name);
    return found != object.end() && json_member::isInteger(*found) &&
           json_member::asInteger(*found) == expected;
}

std::optional<std::string> identifierMember(const json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string() ||
        !validID(found->get_ref<const std::string&>()))
        return std::nullopt;
    return found->get<std::string>();
}

} // namespace

std::string discoveryRequest(std::string_view nonce) {
    return json{{"type", kDiscoverType}, {"v", 1}, {"nonce", nonce}}.dump();
}

std::optional<std::string> requestNonce(std::string_view datagram) {
    const auto object = datagramObject(datagram);
    if (!object || !hasString(*object, "type", kDiscoverType) || !hasNumber(*object, "v", 1))
        return std::nullopt;
    return identifierMember(*object, "nonce");
}

std::optional<std::string> discoveryReply(std::string_view nonce, std::string_view hostId,
                                          std::string_view name) {
    try {
        return json{{"type", kHereType}, {"v", 1},       {"nonce", nonce},
                    {"hostId", hostId},  {"name", name}, {"port", kHostPort}}
            .dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> replyHostId(std::string_view datagram, std::string_view nonce) {
    const auto object = datagramObject(datagram);
    if (!object || !hasString(*object, "type", kHereType) || !hasNumber(*object, "v", 1) ||
        !hasString(*object, "nonce", nonce) || !hasNumber(*object, "port", kHostPort))
        return std::nullopt;
    return identifierMember(*object, "hostId");
}

} // namespace zephlink
