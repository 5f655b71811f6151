#include "addresses.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace zephlink;

TEST(PrivateAddress, DecidesByTheRangesOfPrivateNetworks) {
    const struct {
        const char* text;
        bool isPrivate;
    } cases[] = {
        {"10.0.0.1", true},         {"10.255.255.255", true}, {"127.0.0.1", true},
        {"127.9.8.7", true},        {"169.254.1.1", true},    {"169.253.1.1", false},
        {"169.255.1.1", false},     {"172.15.0.1", false},    {"172.16.0.1", true},
        {"172.31.255.255", true},   {"172.32.0.1", false},    {"192.168.0.1", true},
        {"192.169.0.1", false},     {"8.8.8.8", false},       {"0.0.0.0", false},
        {"255.255.255.255", false}, {"203.0.113.5", false},   {"11.0.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(privateAddress(c.text), c.isPrivate) << c.text;
}

TEST(PrivateAddress, RefusesTextThatIsNotFourDecimalNumbers) {
    for (const char* text :
         {"", "10.0.0", "10.0.0.1.5", "192.168.1.256", "10.0.0.-1", "10..0.1", "10.0.0.1.",
          ".10.0.0.1", "10.0.0.x", "10.0.0.1 ", " 10.0.0.1", "localhost", "::1", "::ffff:10.0.0.1",
          "fe80::1", "10.0.0.0x1", "10.+1.0.1", "127.0.0.99999999999999999999"})
        EXPECT_FALSE(privateAddress(text)) << '"' << text << '"';
}

TEST(PrivateAddress, AcceptsLeadingZerosWithinRange) {
    EXPECT_TRUE(privateAddress("010.0.0.1"));
    EXPECT_TRUE(privateAddress("192.168.000.001"));
}

TEST(Address, BuildsAnIPv4SocketAddressWithThePortInNetworkOrder) {
    const sockaddr_in a = address("192.168.1.20", 8789);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.sin_port), 8789);
    EXPECT_EQ(hostString(a), "192.168.1.20");
}

TEST(Address, LeavesTheAnyAddressForTextThatIsNotAnIPv4Address) {
    for (const char* text : {"", "host.local", "::1", "1.2.3", "300.1.1.1"})
        EXPECT_EQ(hostString(address(text, 1)), "0.0.0.0") << text;
}
