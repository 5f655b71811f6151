#include "host_fixture.h"
#include "local_session.h"

#include <set>

using namespace zephlink;
using namespace zephlink::test;
using nlohmann::json;

namespace {

using HostRoutes = HostTest;

} // namespace

TEST_F(HostRoutes, RoutesByExactMethodTargetAndBearer) {
    const std::string token = host->group().token;
    const std::string clips = clipsPath();
    const std::string otherRoom = "/v1/rooms/" + identifier() + "/clips";
    const struct {
        const char* why;
        std::string method;
        std::string target;
        std::string authorization; // empty: no header
        int status;
    } cases[] = {
        {"health", "GET", "/health", "", 200},
        {"health with a query", "GET", "/health?x=1", "", 401},
        {"health with a trailing slash", "GET", "/health/", "", 401},
        {"health in capitals", "GET", "/Health", "", 401},
        {"health by POST", "POST", "/health", "", 401},
        {"lower-case method", "get", "/health", "", 401},
        {"session by GET", "GET", "/v1/local-session", "", 401},
        {"session with a query", "POST", "/v1/local-session?x", "", 401},
        {"unknown path", "GET", "/", "", 401},
        {"clips without bearer", "GET", clips, "", 401},
        {"clips with a wrong token", "GET", clips, "Bearer " + encode64(random(32)), 401},
        {"clips with a lower-case scheme", "GET", clips, "bearer " + token, 401},
        {"clips with two spaces", "GET", clips, "Bearer  " + token, 401},
        {"clips with a truncated token", "GET", clips, "Bearer " + token.substr(1), 401},
        {"clips with the bare token", "GET", clips, token, 401},
        {"another room", "GET", otherRoom, "Bearer " + token, 401},
        {"below the clips path", "GET", clips + "/1", "Bearer " + token, 401},
        {"clips path with a slash", "GET", clips + "/", "Bearer " + token, 401},
        {"other path, valid token", "GET", "/v1/rooms", "Bearer " + token, 401},
        {"clips", "GET", clips, "Bearer " + token, 200},
        {"clips with a query", "GET", clips + "?after=0", "Bearer " + token, 200},
        {"PUT on clips", "PUT", clips, "Bearer " + token, 405},
        {"DELETE on clips", "DELETE", clips, "Bearer " + token, 405},
        {"lower-case get on clips", "get", clips, "Bearer " + token, 405},
        {"PUT on clips without bearer", "PUT", clips, "", 401},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> headers;
        if (!c.authorization.empty())
            headers.emplace_back("Authorization", c.authorization);
        EXPECT_EQ(transact(httpRequest(c.method, c.target, headers)).status, c.status) << c.why;
    }
}

TEST_F(HostRoutes, TrimsTheBearerValueLikeAnyHeader) {
    const std::string request = "GET " + clipsPath() + " HTTP/1.1\r\nauthorization:\t Bearer " +
                                host->group().token + " \t\r\n\r\n";
    EXPECT_EQ(transact(request).status, 200);
}

TEST_F(HostRoutes, HandsItsGroupToADeviceThatIntroducesItself) {
    const std::string me = identifier();
    const RawResponse response = askSession(nearbyDevice(me, "My phone"));
    ASSERT_EQ(response.status, 200);
    const json body = response.json();
    const auto session = body.get<LocalSession>();
    EXPECT_EQ(session.v, 1);
    EXPECT_EQ(session.mode, "trusted-lan");
    EXPECT_EQ(session.hostId, host->hostId());
    EXPECT_EQ(session.name, "Test host");
    ASSERT_EQ(session.devices.size(), 1u);
    EXPECT_EQ(session.devices[0], (NearbyDevice{me, "My phone", "android"}));
    const Group group = session.group("http://127.0.0.1:8788");
    EXPECT_EQ(group, host->group());

    const json second = askSession(nearbyDevice()).json();
    std::set<std::string> listed;
    for (const auto& d : second["devices"])
        listed.insert(d["device"].get<std::string>());
    EXPECT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed.count(me));
}

TEST_F(HostRoutes, RefusesUnsoundIntroductions) {
    for (const json& body : {
             nearbyDevice(std::string(32, 'A')),
             nearbyDevice(identifier(), ""),
             nearbyDevice(identifier(), std::string(81, 'n')),
             json{{"device", identifier()}, {"name", "x"}, {"platform", "linux"}},
             json{{"device", identifier()}, {"name", "x"}},
             json::array(),
         })
        EXPECT_EQ(askSession(body).status, 400) << body.dump();
    EXPECT_EQ(transact(httpRequest("POST", "/v1/local-session", {}, "{")).status, 400);
    EXPECT_EQ(transact(httpRequest("POST", "/v1/local-session")).status, 400) << "no body";
}

TEST_F(HostRoutes, RefusesThe65thDeviceUntilOneFallsSilent) {
    const json first = nearbyDevice();
    ASSERT_EQ(askSession(first).status, 200);
    advance(10s);
    for (int i = 0; i < 63; ++i)
        ASSERT_EQ(askSession(nearbyDevice()).status, 200) << i;
    EXPECT_EQ(askSession(nearbyDevice()).status, 400);
    advance(10s);
    EXPECT_EQ(askSession(first).status, 200) << "a registered device may refresh";
    advance(10001ms);
    const RawResponse late = askSession(nearbyDevice());
    ASSERT_EQ(late.status, 200);
    EXPECT_EQ(late.json()["devices"].size(), 2u) << "the refreshed one and the newcomer";
}
