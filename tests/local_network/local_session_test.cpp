#include "encoding.h"
#include "errors.h"
#include "local_session.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

const std::string kServer = "http://192.168.1.20:8788";

json device(const std::string& id = std::string(32, 'a'), const std::string& name = "Laptop",
            const std::string& platform = "windows") {
    return {{"device", id}, {"name", name}, {"platform", platform}};
}

std::string repeated(std::string_view text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

json sessionJson() {
    return {{"v", 1},
            {"mode", "trusted-lan"},
            {"hostId", std::string(32, 'b')},
            {"name", "Desk"},
            {"room", std::string(32, 'c')},
            {"token", encode64(random(32))},
            {"key", encode64(random(32))},
            {"devices", json::array({device()})}};
}

// The message group() raises for the session with `patch` applied; empty
// when it grants the group.
std::string groupError(const json& patch, const std::string& server = kServer) {
    json j = sessionJson();
    j.merge_patch(patch);
    try {
        const Group group = j.get<LocalSession>().group(server);
        EXPECT_EQ(group, (Group{server, j["room"].get<std::string>(), j["token"].get<std::string>(),
                                j["key"].get<std::string>()}));
        return "";
    } catch (const DazarError& e) {
        return e.message();
    } catch (const json::exception&) {
        return "not decoded";
    }
}

} // namespace

TEST(LocalSession, GrantsTheGroupOnlyWhenEveryPartIsSound) {
    const std::string nearby = "Invalid nearby host";
    const std::string credentials = "Invalid key or envelope";
    const struct {
        const char* why;
        json patch;
        std::string message;
    } cases[] = {
        {"another mode", {{"mode", "relay"}}, nearby},
        {"host id upper case", {{"hostId", std::string(32, 'B')}}, nearby},
        {"33-byte key", {{"key", encode64(random(33))}}, credentials},
        {"a sound session", json::object(), ""},
        {"64 devices with empty names",
         {{"devices", std::vector<json>(64, device(std::string(32, 'a'), ""))}},
         ""},
        {"a name of 80",
         {{"devices", json::array({device(std::string(32, 'a'), std::string(80, 'n'))})}},
         ""},
        {"version 2", {{"v", 2}}, nearby},
        {"device id upper case",
         {{"devices", json::array({device(std::string(32, 'A'))})}},
         nearby},
        {"device name of 81",
         {{"devices", json::array({device(std::string(32, 'a'), std::string(81, 'n'))})}},
         nearby},
        {"a name of 41 ZWJ-joined pairs, 82 characters",
         {{"devices", json::array({device(std::string(32, 'a'), repeated("a\u200Db", 41))})}},
         nearby},
        {"65 devices", {{"devices", std::vector<json>(65, device())}}, nearby},
        {"host rules before the credentials", {{"v", 2}, {"room", "not a room"}}, nearby},
        {"bad room", {{"room", "room"}}, "Invalid group"},
        {"31-byte token", {{"token", encode64(random(31))}}, credentials},
        {"version as text", {{"v", "1"}}, "not decoded"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(groupError(c.patch), c.message) << c.why;
    for (const char* key : {"hostId", "devices"})
        EXPECT_EQ(groupError({{key, nullptr}}), "not decoded") << "no " << key;
    EXPECT_EQ(groupError(json::object(), "http://8.8.8.8:8788"),
              "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    EXPECT_EQ(groupError(json::object(), "http://10.0.0.1:8788/path"),
              "Use a server URL without a path or credentials");
}
