#include "discovery_datagram.h"
#include "local_discovery.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

TEST(HostMemory, KeepsAHostThirteenSecondsAfterItLastAnswered) {
    const std::string id(32, '1');
    HostMemory memory;
    memory.remember({{id, "http://10.0.0.1:8788"}}, 1000);
    memory.remember({{id, "http://10.0.0.2:8788"}}, 2000);
    memory.remember({}, 15000);
    EXPECT_EQ(memory.hosts(), (HostAddresses{{id, "http://10.0.0.2:8788"}}));
    memory.remember({}, 15001);
    EXPECT_TRUE(memory.hosts().empty());
}

TEST(HostProbe, TrustsOnlyAnAutoJoiningHostWithAValidIdentifier) {
    const std::string id(32, '7');
    EXPECT_EQ(probedHostId(
                  json{{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", id}}.dump()),
              id);
    for (const std::string& refused : {
             json{{"autoJoin", false}, {"hostId", id}}.dump(),
             json{{"autoJoin", 1}, {"hostId", id}}.dump(),
             json{{"autoJoin", true}, {"hostId", std::string(32, 'A')}}.dump(),
             "[" + json{{"autoJoin", true}, {"hostId", id}}.dump() + "]",
             std::string("ok"),
         })
        EXPECT_EQ(probedHostId(refused), std::nullopt) << refused;
}

TEST(DiscoveryTargets, AddsEachInterfaceBroadcastOnceToTheFixedThree) {
    EXPECT_EQ(discoveryTargets({}),
              (std::vector<std::string>{"127.0.0.1", "239.255.77.77", "255.255.255.255"}));
    EXPECT_EQ(
        discoveryTargets({"10.231.0.255", "192.168.1.255", "10.231.0.255", "255.255.255.255"}),
        (std::vector<std::string>{"10.231.0.255", "127.0.0.1", "192.168.1.255", "239.255.77.77",
                                  "255.255.255.255"}));
}

TEST(DiscoveryReply, IsNotWrittenForANameThatIsNotUtf8) {
    EXPECT_EQ(discoveryReply(std::string(32, 'a'), std::string(32, 'b'), "bad \xff"), std::nullopt);
}
