#include "outcome.h"
#include "records.h"

#include <gtest/gtest.h>

using namespace zephlink;
using test::outcome;

namespace {

constexpr const char* kInvalid = "Invalid Zephlink invitation";
constexpr const char* kHttps =
    "Public servers require HTTPS; HTTP is only for a trusted private LAN";
constexpr const char* kKeyOrEnvelope = "Invalid key or envelope";

const std::string kRoom = "918a30a149a69861dfa1ad322b9be4df";
const std::string kToken = encode64(Bytes(32, 1));
const std::string kKey = encode64(Bytes(32, 2));
const std::string kRest = "&room=" + kRoom + "&token=" + kToken + "&key=" + kKey;
const std::string kItems = "server=http://10.0.0.2:8787" + kRest;

std::string link(const std::string& query) {
    return "zephlink://pair?" + query;
}

} // namespace

TEST(Invitation, HasTheFixedFormAndRoundTrips) {
    const Group group = Group::make("http://192.168.1.20:8787", kRoom, kToken, kKey);
    EXPECT_EQ(group.invitation(), link("server=http://192.168.1.20:8787" + kRest));
    for (const char* server : {"https://relay.example.com", "https://[2001:db8::1]"}) {
        const Group g =
            Group::make(server, identifier(), encode64(random(32)), encode64(random(32)));
        EXPECT_EQ(Group::parse(g.invitation()), g) << g.invitation();
    }
}

TEST(Invitation, ParsesOrRefusesEveryLinkWithItsMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {link(kItems), "http://10.0.0.2:8787"},
        {"  " +
             link("key=" + kKey + "&token=" + kToken + "&room=" + kRoom +
                  "&server=http%3A%2F%2F10.0.0.2%2F") +
             "\n",
         "http://10.0.0.2"},
        {"\uFEFF" + link(kItems), kInvalid},
        {"https://pair?" + kItems, kInvalid},
        {"zephlink://me@pair?" + kItems, kInvalid},
        {link(kItems) + "#frag", kInvalid},
        {link(kItems + "&extra=1"), kInvalid},
        {link(kItems + "&room=" + kRoom), kInvalid},
        {link("server=http://10.0.0.2&room=" + kRoom + "&token=" + kToken), kInvalid},
        {link("server=http://10.0.0.2&room=%zz&token=" + kToken + "&key=" + kKey), kInvalid},
        {link("server=http://8.8.8.8" + kRest), kHttps},
        {link("server=https://x.example&room=918A30A149A69861DFA1AD322B9BE4DF&token=" + kToken +
              "&key=" + kKey),
         "Invalid group"},
        {link("server=https://x.example&room=" + kRoom + "&token=" + kToken + "&key=" + kKey + "A"),
         kKeyOrEnvelope},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(outcome([&] { return Group::parse(input).server; }), expected) << input;
}

TEST(InvitationForOtherDevice, ReaddressesOrRefusesLoopback) {
    const Group group = Group::make("http://127.0.0.1:8787", kRoom, kToken, kKey);
    const auto other = [&](const char* server) {
        return outcome([&] { return Group::parse(group.invitationForOtherDevice(server)).server; });
    };
    EXPECT_EQ(other(" http://192.168.1.20:8787/ "), "http://192.168.1.20:8787");
    for (const char* loopback : {"http://127.0.0.1:8787", "http://[::1]:1"})
        EXPECT_EQ(other(loopback), "That address points to the receiving device itself. Use your "
                                   "Mac’s LAN address from the relay terminal.")
            << loopback;
    EXPECT_EQ(other("http://8.8.8.8"), kHttps);
}
