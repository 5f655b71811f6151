#include "outcome.h"
#include "records.h"
#include "server_address.h"

#include <gtest/gtest.h>

using namespace zephlink;
using test::outcome;

namespace {

constexpr const char* kShape = "Use a server URL without a path or credentials";
constexpr const char* kHttps =
    "Public servers require HTTPS; HTTP is only for a trusted private LAN";
constexpr const char* kInvalid = "Invalid Zephlink invitation";
const std::string kRoom = "918a30a149a69861dfa1ad322b9be4df";
const std::string kRest =
    "&room=" + kRoom + "&token=" + encode64(Bytes(32, 1)) + "&key=" + encode64(Bytes(32, 2));

std::string link(const std::string& query) {
    return "zephlink://pair?" + query;
}

} // namespace

TEST(ServerURL, NormalisesRefusesAndPicksTheDefaultRelay) {
    const auto url = [](const std::string& text) {
        return outcome([&] { return serverURL(text); });
    };
    EXPECT_EQ(url("  https://relay.example.com/ \n"), "https://relay.example.com");
    // White_Space characters, but not the zero width space.
    EXPECT_EQ(url("\u00A0\u0085\u1680https://relay.example.com\u2028\u3000\u202F\t"),
              "https://relay.example.com");
    EXPECT_EQ(url("http://169.254.1.1/"), "http://169.254.1.1");
    // Non-numeric labels are skipped: four numbers among them count as private.
    for (const char* same :
         {"http://172.16.0.1:1", "http://172.31.255.255", "http://10.1.2.3:65535",
          "http://192.168.1.20:8787", "http://127.8.9.10", "http://localhost:8787",
          "http://[::1]:8787", "http://10.relay.0.0.1", "https://203.0.113.5",
          "https://relay.example.com:8443"})
        EXPECT_EQ(url(same), same);
    for (const char* shape : {"\u200Bhttps://relay.example.com", "", "relay.example.com:8787",
                              "https://relay.example.com/v1", "https://relay.example.com?",
                              "https://:secret@relay.example.com",
                              "https://user:@relay.example.com", "https://relay.example.com:0",
                              "https://relay.example.com:65536", "https://relay example.com"})
        EXPECT_EQ(url(shape), kShape) << shape;
    for (const char* plain : {"http://10.0.0", "ftp://10.0.0.1", "http://172.32.0.1",
                              "http://169.1.254.1", "http://192.169.0.1", "http://10.0.0.256",
                              "HTTP://10.0.0.1", "http://localhost.", "http://10.0.0.1a"})
        EXPECT_EQ(url(plain), kHttps) << plain;
    for (const char* text : {"http://localhost.", "http://[::1]", "https://127.200.1.1"})
        EXPECT_TRUE(isLoopbackServer(text)) << text;
    for (const char* text : {"http://192.168.1.2", "localhost", "http://1270.0.0.1"})
        EXPECT_FALSE(isLoopbackServer(text)) << text;
    // The default relay is the first private IPv4 interface's.
    using I = InterfaceAddress;
    const I loopback{true, true, true, "127.0.0.2"}, lan{true, true, false, "192.168.1.20"};
    const I secondLan{true, true, false, "10.0.0.5"};
    EXPECT_EQ(defaultRelay({loopback,
                            {true, false, false, "10.0.0.8"},
                            {false, true, false, "10.0.0.9"},
                            {true, true, false, "203.0.113.9"}}),
              "http://127.0.0.1:8787");
    EXPECT_EQ(defaultRelay({loopback, lan, secondLan}), "http://192.168.1.20:8787");
    EXPECT_EQ(defaultRelay({secondLan, lan}), "http://10.0.0.5:8787");
    EXPECT_EQ(serverURL(defaultRelay()), defaultRelay()) << "this machine's own is accepted";
}

TEST(Invitation, HasTheFixedFormAndParsesOrRefusesEveryLink) {
    const Group group = Group::make("http://192.168.1.20:8787", kRoom, encode64(Bytes(32, 1)),
                                    encode64(Bytes(32, 2)));
    EXPECT_EQ(group.invitation(), link("server=http://192.168.1.20:8787" + kRest));
    const Group v6 = Group::make("https://[2001:db8::1]", identifier(), encode64(random(32)),
                                 encode64(random(32)));
    EXPECT_EQ(Group::parse(v6.invitation()), v6);
    const std::string items = "server=http://10.0.0.2:8787" + kRest;
    const auto parse = [](const std::string& text) {
        return outcome([&] { return Group::parse(text).server; });
    };
    EXPECT_EQ(parse("  " + link(kRest.substr(1) + "&server=http%3A%2F%2F10.0.0.2%2F") + "\n"),
              "http://10.0.0.2");
    for (const std::string& bad :
         {"\uFEFF" + link(items), "https://pair?" + items, "zephlink://me@pair?" + items,
          link(items) + "#frag", link(items + "&extra=1"), link(items + "&room=" + kRoom),
          link("server=http://10.0.0.2&room=" + kRoom),
          link("server=http://10.0.0.2&room=%zz" + kRest.substr(38))})
        EXPECT_EQ(parse(bad), kInvalid) << bad;
    EXPECT_EQ(parse(link("server=http://8.8.8.8" + kRest)), kHttps);
    EXPECT_EQ(parse(link("server=https://x.example&room=918A30A149A69861DFA1AD322B9BE4DF" +
                         kRest.substr(38))),
              "Invalid group");
    EXPECT_EQ(parse(link("server=https://x.example" + kRest + "A")), "Invalid key or envelope");

    const Group local = Group::make("http://127.0.0.1:8787", kRoom, group.token, group.key);
    const auto other = [&](const char* server) {
        return outcome([&] { return Group::parse(local.invitationForOtherDevice(server)).server; });
    };
    EXPECT_EQ(other(" http://192.168.1.20:8787/ "), "http://192.168.1.20:8787");
    for (const char* loopback : {"http://127.0.0.1:8787", "http://[::1]:1"})
        EXPECT_EQ(other(loopback), "That address points to the receiving device itself. Use your "
                                   "Mac’s LAN address from the relay terminal.");
    EXPECT_EQ(other("http://8.8.8.8"), kHttps);
}
