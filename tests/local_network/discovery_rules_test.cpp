#include "bonjour.h"
#include "characters.h"
#include "encoding.h"
#include "local_discovery.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

std::string hostNumber(int n) {
    char text[33];
    std::snprintf(text, sizeof text, "%032x", n);
    return text;
}

json session(const std::string& hostId) {
    return {{"v", 1},
            {"mode", "trusted-lan"},
            {"hostId", hostId},
            {"name", "Desk"},
            {"room", identifier()},
            {"token", encode64(random(32))},
            {"key", encode64(random(32))},
            {"devices", json::array()}};
}

} // namespace

TEST(HostMemory, KeepsAHostThirteenSecondsAfterItLastAnsweredButNotFourteen) {
    HostMemory memory;
    memory.remember({{hostNumber(1), "http://10.0.0.1:8788"}}, 1000);
    memory.remember({}, 14000);
    EXPECT_EQ(memory.hosts(), (HostAddresses{{hostNumber(1), "http://10.0.0.1:8788"}}));
    memory.remember({}, 14001);
    EXPECT_TRUE(memory.hosts().empty());
    memory.remember({{hostNumber(2), "http://10.0.0.2:8788"}}, 20000);
    memory.remember({}, 34000);
    EXPECT_TRUE(memory.hosts().empty()) << "14 seconds of silence";
}

TEST(HostMemory, AHostHeardAgainMovesToItsNewAddressAndStaysLonger) {
    HostMemory memory;
    memory.remember({{hostNumber(1), "http://10.0.0.1:8788"}}, 0);
    memory.remember({{hostNumber(1), "http://192.168.4.9:8788"}}, 10000);
    memory.remember({}, 23000);
    EXPECT_EQ(memory.hosts(), (HostAddresses{{hostNumber(1), "http://192.168.4.9:8788"}}));
}

TEST(HostProbe, TrustsOnlyAnAutoJoiningHostWithAValidIdentifier) {
    const std::string id = hostNumber(7);
    EXPECT_EQ(probedHostId(
                  json{{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", id}}.dump()),
              id);
    const struct {
        const char* why;
        std::string body;
    } refused[] = {
        {"autoJoin false", json{{"autoJoin", false}, {"hostId", id}}.dump()},
        {"autoJoin as text", json{{"autoJoin", "true"}, {"hostId", id}}.dump()},
        {"autoJoin as 1", json{{"autoJoin", 1}, {"hostId", id}}.dump()},
        {"no autoJoin", json{{"hostId", id}}.dump()},
        {"no hostId", json{{"autoJoin", true}}.dump()},
        {"upper-case hostId", json{{"autoJoin", true}, {"hostId", "ABCDEF" + id.substr(6)}}.dump()},
        {"numeric hostId", json{{"autoJoin", true}, {"hostId", 7}}.dump()},
        {"an array", json::array({json{{"autoJoin", true}, {"hostId", id}}}).dump()},
        {"not JSON", "ok"},
        {"empty", ""},
    };
    for (const auto& c : refused)
        EXPECT_EQ(probedHostId(c.body), std::nullopt) << c.why;
}

TEST(Candidates, DigitsSortBeforeLetters) {
    const auto ordered = orderedCandidates({{std::string(32, 'a'), "http://10.0.0.1:8788"},
                                            {std::string(32, '9'), "http://10.0.0.2:8788"}});
    ASSERT_EQ(ordered.size(), 2u);
    EXPECT_EQ(ordered[0].first, std::string(32, '9'));
}

TEST(CheckedSession, AcceptsASoundSessionFromTheHostThatWasAsked) {
    const std::string id = hostNumber(3);
    json answer = session(id);
    answer["extra"] = "ignored";
    const auto checked = checkedSession(answer.dump(), id, "http://10.0.0.3:8788");
    ASSERT_TRUE(checked);
    EXPECT_EQ(checked->hostId, id);
    EXPECT_EQ(checked->room, answer["room"]);
}

TEST(CheckedSession, RefusesWhatDoesNotCheckOut) {
    const std::string id = hostNumber(3);
    const auto with = [&](const char* member, json value) {
        json answer = session(id);
        answer[member] = std::move(value);
        return answer.dump();
    };
    json missing = session(id);
    missing.erase("devices");
    const struct {
        const char* why;
        std::string body;
    } refused[] = {
        {"another host's identifier", session(hostNumber(4)).dump()},
        {"a token of 31 bytes", with("token", encode64(random(31)))},
        {"a key that is not base64url", with("key", std::string(43, '*'))},
        {"an upper-case room", with("room", std::string(32, 'A'))},
        {"another mode", with("mode", "cloud")},
        {"version 2", with("v", 2)},
        {"version as text", with("v", "1")},
        {"a device of an unknown platform",
         with(
             "devices",
             json::array({{{"device", hostNumber(9)}, {"name", "Phone"}, {"platform", "linux"}}}))},
        {"devices missing", missing.dump()},
        {"not JSON", "<html>"},
        {"empty", ""},
    };
    for (const auto& c : refused)
        EXPECT_EQ(checkedSession(c.body, id, "http://10.0.0.3:8788"), std::nullopt) << c.why;
    EXPECT_EQ(checkedSession(session(id).dump(), id, "ftp://10.0.0.3"), std::nullopt)
        << "a server the group cannot use";
}

TEST(SessionRequest, IntroducesThisDeviceAsAMac) {
    const auto body = sessionRequestBody(hostNumber(5), "Desk");
    ASSERT_TRUE(body);
    EXPECT_EQ(json::parse(*body),
              (json{{"device", hostNumber(5)}, {"name", "Desk"}, {"platform", "mac"}}));
}

TEST(DiscoveryTargets, AddsEachInterfaceBroadcastOnceToTheFixedThree) {
    EXPECT_EQ(discoveryTargets({}),
              (std::vector<std::string>{"127.0.0.1", "239.255.77.77", "255.255.255.255"}));
    const auto targets =
        discoveryTargets({"10.231.0.255", "192.168.1.255", "10.231.0.255", "255.255.255.255"});
    EXPECT_EQ(targets, (std::vector<std::string>{"10.231.0.255", "127.0.0.1", "192.168.1.255",
                                                 "239.255.77.77", "255.255.255.255"}));
}

TEST(BaseAddress, IsPlainHttpOnPort8788) {
    EXPECT_EQ(baseAddress("192.168.1.20"), "http://192.168.1.20:8788");
}

TEST(Advertisement, NamesTypeDomainPortAndTextEntries) {
    const ServiceRecord record = hostService("Desk", hostNumber(6));
    EXPECT_EQ(record, (ServiceRecord{"local.",
                                     "_zephlink._tcp.",
                                     "Zephlink Desk",
                                     8788,
                                     {{"v", "1"}, {"hostId", hostNumber(6)}}}));
}

TEST(Advertisement, KeepsTheFirstFortyCharactersOfTheName) {
    const std::string forty(40, 'n');
    EXPECT_EQ(serviceName(forty), "Zephlink " + forty);
    EXPECT_EQ(serviceName(forty + "xyz"), "Zephlink " + forty);
    EXPECT_EQ(serviceName(""), "Zephlink ");
    // A flag is one character of two code points.
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    EXPECT_EQ(serviceName(std::string(39, 'n') + flag + "z"),
              "Zephlink " + std::string(39, 'n') + flag);
}

TEST(Advertisement, CutsWideCharactersToFitOneDnsLabel) {
    // 40 characters of three bytes each would make a 129-byte label.
    std::string wide;
    for (int i = 0; i < 45; ++i)
        wide += "\xE2\x82\xAC"; // €
    const std::string name = serviceName(wide);
    EXPECT_LE(name.size(), kMaxServiceNameBytes);
    EXPECT_TRUE(validUtf8(name));
    EXPECT_EQ(name, "Zephlink " + characterPrefix(wide, 18)) << "whole characters only";
    std::string accented;
    for (int i = 0; i < 40; ++i)
        accented += "e\xCC\x81"; // e and a combining acute accent: one character
    EXPECT_EQ(serviceName(accented), "Zephlink " + characterPrefix(accented, 18));
}

TEST(Advertisement, ReplacesBytesThatAreNotUtf8) {
    const std::string name = serviceName("Desk\xFF");
    EXPECT_TRUE(validUtf8(name));
    EXPECT_EQ(name, "Zephlink Desk\xEF\xBF\xBD");
}
