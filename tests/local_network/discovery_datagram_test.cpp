#include "discovery_datagram.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

const std::string kNonce = "0123456789abcdef0123456789abcdef";
const std::string kHost = "fedcba9876543210fedcba9876543210";

json request() {
    return {{"type", "zephlink.discover"}, {"v", 1}, {"nonce", kNonce}};
}

json reply() {
    return {{"type", "zephlink.here"}, {"v", 1},         {"nonce", kNonce},
            {"hostId", kHost},         {"name", "Desk"}, {"port", 8788}};
}

} // namespace

TEST(DiscoveryRequest, RoundTripsItsNonce) {
    EXPECT_EQ(requestNonce(discoveryRequest(kNonce)), kNonce);
    const json sent = json::parse(discoveryRequest(kNonce));
    EXPECT_EQ(sent, request());
}

TEST(DiscoveryRequest, IgnoresEveryMalformedOrForeignDatagram) {
    const struct {
        const char* why;
        std::string datagram;
    } cases[] = {
        {"version as text", R"({"type":"zephlink.discover","v":"1","nonce":")" + kNonce + "\"}"},
        {"version 2", R"({"type":"zephlink.discover","v":2,"nonce":")" + kNonce + "\"}"},
        {"version true", R"({"type":"zephlink.discover","v":true,"nonce":")" + kNonce + "\"}"},
        {"no version", R"({"type":"zephlink.discover","nonce":")" + kNonce + "\"}"},
        {"upper-case nonce",
         R"({"type":"zephlink.discover","v":1,"nonce":"0123456789ABCDEF0123456789abcdef"})"},
        {"31-digit nonce",
         R"({"type":"zephlink.discover","v":1,"nonce":"0123456789abcdef0123456789abcde"})"},
        {"numeric nonce", R"({"type":"zephlink.discover","v":1,"nonce":1})"},
        {"another type", R"({"type":"zephlink.here","v":1,"nonce":")" + kNonce + "\"}"},
        {"type in capitals", R"({"type":"Zephlink.discover","v":1,"nonce":")" + kNonce + "\"}"},
        {"an array", "[" + request().dump() + "]"},
        {"not JSON", "zephlink.discover"},
        {"truncated JSON", request().dump().substr(0, 20)},
        {"empty", ""},
        {"invalid UTF-8", std::string(R"({"type":"zephlink.discover","v":1,"nonce":")") + kNonce +
                              "\",\"x\":\"\xff\"}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(requestNonce(c.datagram), std::nullopt) << c.why;
}

TEST(DiscoveryRequest, AcceptsUpTo1024Bytes) {
    std::string padded = request().dump();
    padded.insert(1, 1024 - padded.size(), ' ');
    ASSERT_EQ(padded.size(), 1024u);
    EXPECT_EQ(requestNonce(padded), kNonce);
    padded.insert(1, 1, ' ');
    EXPECT_EQ(requestNonce(padded), std::nullopt);
}

TEST(DiscoveryRequest, IgnoresExtraMembersAndIntegralVersions) {
    json j = request();
    j["extra"] = {1, 2};
    EXPECT_EQ(requestNonce(j.dump()), kNonce);
    EXPECT_EQ(requestNonce(R"({"type":"zephlink.discover","v":1.0,"nonce":")" + kNonce + "\"}"),
              kNonce);
}

TEST(DiscoveryReply, CarriesEverythingAClientChecks) {
    const auto text = discoveryReply(kNonce, kHost, "Desk");
    ASSERT_TRUE(text);
    EXPECT_EQ(json::parse(*text), reply());
    EXPECT_EQ(replyHostId(*text, kNonce), kHost);
}

TEST(DiscoveryReply, IsIgnoredByAClientUnlessItAnswersThisExchange) {
    const struct {
        const char* why;
        const char* key;
        json value;
    } cases[] = {
        {"port 8789", "port", 8789},
        {"port as text", "port", "8788"},
        {"an earlier nonce", "nonce", "ffffffffffffffffffffffffffffffff"},
        {"a request, not a reply", "type", "zephlink.discover"},
        {"version 2", "v", 2},
        {"bad host id", "hostId", "HOST"},
    };
    for (const auto& c : cases) {
        json j = reply();
        j[c.key] = c.value;
        EXPECT_EQ(replyHostId(j.dump(), kNonce), std::nullopt) << c.why;
    }
    json j = reply();
    j.erase("name");
    EXPECT_EQ(replyHostId(j.dump(), kNonce), kHost) << "the name is not needed";
}

TEST(DiscoveryReply, CannotBeWrittenWithANameThatIsNotUtf8) {
    EXPECT_EQ(discoveryReply(kNonce, kHost, "bad \xff"), std::nullopt);
}
