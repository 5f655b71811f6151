// The validating Group constructor and the invitation link in both directions.
#include "encoding.h"
#include "errors.h"
#include "records.h"
#include "server_address.h"
#include "url.h"

#include <set>

namespace zephlink {
namespace {

constexpr std::string_view kInvalidInvitation = "Invalid Zephlink invitation";
constexpr std::string_view kReceivingDevice =
    "That address points to the receiving device itself. Use your Mac’s LAN address from the "
    "relay terminal.";

[[noreturn]] void refuseInvitation() {
    throw DazarError(std::string(kInvalidInvitation));
}

} // namespace

Group Group::make(std::string_view server, std::string_view room, std::string_view token,
                  std::string_view key) {
    Group group;
    group.server = serverURL(server);
    if (!validID(room))
        throw DazarError(std::string(msg::invalidGroup));
    decode64(token, 32);
    decode64(key, 32);
    group.room = std::string(room);
    group.token = std::string(token);
    group.key = std::string(key);
    return group;
}

std::string Group::invitation() const {
    return "zephlink://pair?server=" + percentEncodeQueryValue(server) +
           "&room=" + percentEncodeQueryValue(room) + "&token=" + percentEncodeQueryValue(token) +
           "&key=" + percentEncodeQueryValue(key);
}

Group Group::parse(std::string_view link) {
    const auto parts = parseUrl(trimmed(link));
    if (!parts || parts->scheme != "zephlink" || parts->host != "pair")
        refuseInvitation();
    if (parts->user || parts->password || parts->fragment || parts->port || !parts->path.empty())
        refuseInvitation();
    if (!parts->query)
        refuseInvitation();
    const auto items = queryItems(*parts->query);
    if (!items || items->size() != 4)
        refuseInvitation();
    std::set<std::string> names;
    for (const QueryItem& item : *items)
        names.insert(item.name);
    if (names != std::set<std::string>{"server", "room", "token", "key"})
        refuseInvitation();
    auto value = [&](std::string_view name) {
        for (const QueryItem& item : *items) {
            if (item.name == name)
                return item.value.value_or("");
        }
        return std::string();
    };
    const std::string server = serverURL(value("server"));
    return make(server, value("room"), value("token"), value("key"));
}

std::string Group::invitationForOtherDevice(std::string_view otherServer) const {
    const std::string address = serverURL(otherServer);
    if (isLoopbackServer(address))
        throw DazarError(std::string(kReceivingDevice));
    return make(address, room, token, key).invitation();
}

} // namespace zephlink
