#include "errors.h"
#include "records.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace zephlink;

namespace {

constexpr const char* kInvalid = "Invalid Zephlink invitation";

const std::string kRoom = "918a30a149a69861dfa1ad322b9be4df";
const std::string kToken = encode64(Bytes(32, 1));
const std::string kKey = encode64(Bytes(32, 2));

std::string parseOutcome(std::string_view link) {
    try {
        return Group::parse(link).server;
    } catch (const DazarError& e) {
        return e.message();
    }
}

std::string makeOutcome(std::string_view server, std::string_view room, std::string_view token,
                        std::string_view key) {
    try {
        return Group::make(server, room, token, key).server;
    } catch (const DazarError& e) {
        return e.message();
    }
}

std::string link(const std::string& query) {
    return "zephlink://pair?" + query;
}

const std::string kItems =
    "server=http://10.0.0.2:8787&room=" + kRoom + "&token=" + kToken + "&key=" + kKey;

} // namespace

TEST(GroupMake, ValidatesEveryField) {
    EXPECT_EQ(makeOutcome(" https://relay.example.com/ ", kRoom, kToken, kKey),
              "https://relay.example.com");
    EXPECT_EQ(makeOutcome("http://8.8.8.8", kRoom, kToken, kKey),
              "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    EXPECT_EQ(makeOutcome("https://x.example/p", kRoom, kToken, kKey),
              "Use a server URL without a path or credentials");
    EXPECT_EQ(makeOutcome("https://x.example", "918A30A149A69861DFA1AD322B9BE4DF", kToken, kKey),
              "Invalid group");
    EXPECT_EQ(makeOutcome("https://x.example", kRoom, encode64(Bytes(31, 1)), kKey),
              "Invalid key or envelope");
    EXPECT_EQ(makeOutcome("https://x.example", kRoom, kToken, kKey + "A"),
              "Invalid key or envelope");
}

TEST(Invitation, HasTheFixedFormAndRoundTrips) {
    const Group group = Group::make("http://192.168.1.20:8787", kRoom, kToken, kKey);
    EXPECT_EQ(group.invitation(), "zephlink://pair?server=http://192.168.1.20:8787&room=" + kRoom +
                                      "&token=" + kToken + "&key=" + kKey);
    for (const char* server : {"http://192.168.1.20:8787", "https://relay.example.com",
                               "http://[::1]:8787", "https://[2001:db8::1]", "http://localhost"}) {
        const Group g =
            Group::make(server, identifier(), encode64(random(32)), encode64(random(32)));
        EXPECT_EQ(Group::parse(g.invitation()), g) << g.invitation();
    }
}

TEST(Invitation, ParsesItemsInAnyOrderAndTrimmed) {
    const std::string reordered =
        "key=" + kKey + "&token=" + kToken + "&room=" + kRoom + "&server=http%3A%2F%2F10.0.0.2%2F";
    EXPECT_EQ(parseOutcome("  " + link(reordered) + "\n"), "http://10.0.0.2");
    EXPECT_EQ(parseOutcome(link(kItems)), "http://10.0.0.2:8787");
}

TEST(Invitation, RefusesMalformedLinks) {
    const std::pair<std::string, std::string> cases[] = {
        {"", kInvalid},
        {"not a link", kInvalid},
        {"zephlink://pair", kInvalid},
        {"zephlink://pair?", kInvalid},
        {"https://pair?" + kItems, kInvalid},
        {"zephlink://Pair?" + kItems, kInvalid},
        {"zephlink://join?" + kItems, kInvalid},
        {"zephlink://pair:80?" + kItems, kInvalid},
        {"zephlink://pair/?" + kItems, kInvalid},
        {"zephlink://pair/x?" + kItems, kInvalid},
        {"zephlink://me@pair?" + kItems, kInvalid},
        {link(kItems) + "#frag", kInvalid},
        {link(kItems + "&extra=1"), kInvalid},
        {link(kItems + "&room=" + kRoom), kInvalid},
        {link("server=http://10.0.0.2&room=" + kRoom + "&token=" + kToken), kInvalid},
        {link("server=http://10.0.0.2&room=" + kRoom + "&room=" + kRoom + "&token=" + kToken),
         kInvalid},
        {link(kItems + "&"), kInvalid},
        {link("server=http://10.0.0.2&room=%zz&token=" + kToken + "&key=" + kKey), kInvalid},
        {link("server=http://8.8.8.8&room=" + kRoom + "&token=" + kToken + "&key=" + kKey),
         "Public servers require HTTPS; HTTP is only for a trusted private LAN"},
        {link("server=https://x.example/path&room=" + kRoom + "&token=" + kToken + "&key=" + kKey),
         "Use a server URL without a path or credentials"},
        {link("server&room=" + kRoom + "&token=" + kToken + "&key=" + kKey),
         "Use a server URL without a path or credentials"},
        {link("server=https://x.example&room=ROOM&token=" + kToken + "&key=" + kKey),
         "Invalid group"},
        {link("server=https://x.example&room=" + kRoom + "&token=" + kToken + "&key="),
         "Invalid key or envelope"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(parseOutcome(input), expected) << input;
}

TEST(InvitationForOtherDevice, ReaddressesOrRefusesLoopback) {
    const Group group = Group::make("http://127.0.0.1:8787", kRoom, kToken, kKey);
    EXPECT_EQ(Group::parse(group.invitationForOtherDevice(" http://192.168.1.20:8787/ ")).server,
              "http://192.168.1.20:8787");
    const std::string receiving = "That address points to the receiving device itself. Use your "
                                  "Mac’s LAN address from the relay terminal.";
    for (const char* loopback : {"http://127.0.0.1:8787", "http://localhost", "http://[::1]:1"}) {
        try {
            group.invitationForOtherDevice(loopback);
            ADD_FAILURE() << loopback;
        } catch (const DazarError& e) {
            EXPECT_EQ(e.message(), receiving) << loopback;
        }
    }
    EXPECT_THROW(
        {
            try {
                group.invitationForOtherDevice("http://8.8.8.8");
            } catch (const DazarError& e) {
                EXPECT_EQ(e.message(),
                          "Public servers require HTTPS; HTTP is only for a trusted private LAN");
                throw;
            }
        },
        DazarError);
}
