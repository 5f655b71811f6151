#include "encoding.h"
#include "errors.h"
#include "local_session.h"

#include <functional>
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

std::string groupError(const json& j, const std::string& server = kServer) {
    try {
        j.get<LocalSession>().group(server);
        return "";
    } catch (const DazarError& e) {
        return e.message();
    }
}

} // namespace

TEST(LocalSession, GrantsTheGroupOfASoundSession) {
    const json j = sessionJson();
    const Group group = j.get<LocalSession>().group(kServer);
    EXPECT_EQ(group.server, kServer);
    EXPECT_EQ(group.room, j["room"]);
    EXPECT_EQ(group.token, j["token"]);
    EXPECT_EQ(group.key, j["key"]);
}

TEST(LocalSession, RefusesEachUnsoundPartWithItsOwnMessage) {
    const struct {
        const char* why;
        std::function<void(json&)> alter;
        std::string message;
    } cases[] = {
        {"version 2", [](json& j) { j["v"] = 2; }, "Invalid nearby host"},
        {"another mode", [](json& j) { j["mode"] = "relay"; }, "Invalid nearby host"},
        {"host id upper case", [](json& j) { j["hostId"] = std::string(32, 'B'); },
         "Invalid nearby host"},
        {"device id upper case",
         [](json& j) { j["devices"] = json::array({device(std::string(32, 'A'))}); },
         "Invalid nearby host"},
        {"device name of 81",
         [](json& j) {
             j["devices"] = json::array({device(std::string(32, 'a'), std::string(81, 'n'))});
         },
         "Invalid nearby host"},
        {"platform linux",
         [](json& j) { j["devices"] = json::array({device(std::string(32, 'a'), "x", "linux")}); },
         "Invalid nearby host"},
        {"65 devices", [](json& j) { j["devices"] = json(std::vector<json>(65, device())); },
         "Invalid nearby host"},
        {"bad room", [](json& j) { j["room"] = "room"; }, "Invalid group"},
        {"31-byte token", [](json& j) { j["token"] = encode64(random(31)); },
         "Invalid key or envelope"},
        {"33-byte key", [](json& j) { j["key"] = encode64(random(33)); },
         "Invalid key or envelope"},
        {"padded token", [](json& j) { j["token"] = j["token"].get<std::string>() + "="; },
         "Invalid key or envelope"},
    };
    for (const auto& c : cases) {
        json j = sessionJson();
        c.alter(j);
        EXPECT_EQ(groupError(j), c.message) << c.why;
    }
}

TEST(LocalSession, HostRulesComeBeforeTheCredentials) {
    json j = sessionJson();
    j["v"] = 2;
    j["room"] = "not a room";
    EXPECT_EQ(groupError(j), "Invalid nearby host");
}

TEST(LocalSession, PassesTheServerCheckMessageOn) {
    EXPECT_EQ(groupError(sessionJson(), "http://8.8.8.8:8788"),
              "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    EXPECT_EQ(groupError(sessionJson(), "http://10.0.0.1:8788/path"),
              "Use a server URL without a path or credentials");
}

TEST(LocalSession, AcceptsTheLimitsThemselves) {
    json j = sessionJson();
    j["devices"] = json(std::vector<json>(64, device(std::string(32, 'a'), "")));
    j["extra"] = {{"ignored", true}};
    EXPECT_EQ(groupError(j), "") << "64 devices, empty names and extra members pass";
    j["devices"] = json::array({device(std::string(32, 'a'), std::string(80, 'n'))});
    EXPECT_EQ(groupError(j), "");
}

TEST(LocalSession, DecodingNeedsEveryMemberWithItsType) {
    for (const char* key : {"v", "mode", "hostId", "name", "room", "token", "key", "devices"}) {
        json j = sessionJson();
        j.erase(key);
        EXPECT_THROW(j.get<LocalSession>(), json::exception) << key;
    }
    json j = sessionJson();
    j["v"] = "1";
    EXPECT_THROW(j.get<LocalSession>(), json::exception);
    j = sessionJson();
    j["devices"] = device();
    EXPECT_THROW(j.get<LocalSession>(), json::exception) << "devices must be a list";
    j = sessionJson();
    j["devices"][0].erase("platform");
    EXPECT_THROW(j.get<LocalSession>(), json::exception);
}

TEST(NearbyDevice, RoundTripsThroughJson) {
    const NearbyDevice d{std::string(32, 'd'), "Phone \xf0\x9f\x93\xb1", "android"};
    const json j = d;
    EXPECT_EQ(j.size(), 3u);
    EXPECT_EQ(j.get<NearbyDevice>(), d);
}
