#include "device_registry.h"
#include "encoding.h"
#include "rate_limiter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using nlohmann::json;

namespace {

NearbyDevice nearby(std::string name = "Phone") {
    return NearbyDevice{identifier(), std::move(name), "android"};
}

} // namespace

TEST(SessionDevice, AcceptsOnlyAWellFormedIntroduction) {
    const json good = {{"device", std::string(32, 'a')}, {"name", "Laptop"}, {"platform", "mac"}};
    EXPECT_TRUE(sessionDevice(good.dump()));
    const struct {
        const char* why;
        json body;
    } refused[] = {
        {"upper-case id", {{"device", std::string(32, 'A')}, {"name", "x"}, {"platform", "mac"}}},
        {"empty name", {{"device", std::string(32, 'a')}, {"name", ""}, {"platform", "mac"}}},
        {"81 characters",
         {{"device", std::string(32, 'a')}, {"name", std::string(81, 'n')}, {"platform", "mac"}}},
        {"platform linux",
         {{"device", std::string(32, 'a')}, {"name", "x"}, {"platform", "linux"}}},
        {"platform in capitals",
         {{"device", std::string(32, 'a')}, {"name", "x"}, {"platform", "Mac"}}},
        {"name not a string", {{"device", std::string(32, 'a')}, {"name", 5}, {"platform", "mac"}}},
        {"platform missing", {{"device", std::string(32, 'a')}, {"name", "x"}}},
        {"an array", json::array({"a"})},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(sessionDevice(c.body.dump())) << c.why;
    EXPECT_FALSE(sessionDevice("{not json"));
    EXPECT_FALSE(sessionDevice(""));
    std::string eighty;
    for (int i = 0; i < 80; ++i)
        eighty += "\xf0\x9f\x93\xb1"; // 80 characters, 320 bytes
    EXPECT_TRUE(sessionDevice(
        json{{"device", std::string(32, 'a')}, {"name", eighty}, {"platform", "windows"}}.dump()));
}

TEST(DeviceRegistry, HoldsAtMost64UntilOneFallsSilent) {
    std::int64_t now = 1000;
    DeviceRegistry registry([&] { return now; });
    const NearbyDevice first = nearby();
    ASSERT_TRUE(registry.see(first));
    now += 10000;
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(registry.see(nearby()));
    EXPECT_FALSE(registry.see(nearby())) << "the 65th";
    now += 10000;
    EXPECT_TRUE(registry.see(first)) << "a known device may always refresh";

    now += 10001;
    registry.prune();
    EXPECT_EQ(registry.devices().size(), 1u) << "only the refreshed one is left";
    EXPECT_TRUE(registry.see(nearby()));
}

TEST(DeviceRegistry, KeepsADeviceForExactlyTwentySeconds) {
    std::int64_t now = 0;
    DeviceRegistry registry([&] { return now; });
    registry.see(nearby("kept"));
    now = 20000;
    registry.prune();
    EXPECT_EQ(registry.devices().size(), 1u);
    now = 20001;
    registry.prune();
    EXPECT_TRUE(registry.devices().empty());
}

TEST(DeviceRegistry, RefreshReplacesTheRecord) {
    std::int64_t now = 0;
    DeviceRegistry registry([&] { return now; });
    NearbyDevice device = nearby("old name");
    registry.see(device);
    device.name = "new name";
    registry.see(device);
    ASSERT_EQ(registry.devices().size(), 1u);
    EXPECT_EQ(registry.devices().front().name, "new name");
}

TEST(RateLimiter, Allows600RequestsPerPeerWindow) {
    std::int64_t now = 0;
    RateLimiter limiter([&] { return now; });
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(limiter.admit("10.0.0.1"), 0) << i;
    EXPECT_EQ(limiter.admit("10.0.0.1"), 429);
    EXPECT_EQ(limiter.admit("10.0.0.2"), 0) << "other peers have their own window";
    now = 59999;
    EXPECT_EQ(limiter.admit("10.0.0.1"), 429) << "the window has not closed";
    now = 60000;
    EXPECT_EQ(limiter.admit("10.0.0.1"), 0) << "a new window opens";
}

TEST(RateLimiter, RefusesNewPeersWhen256AreTracked) {
    std::int64_t now = 0;
    RateLimiter limiter([&] { return now; });
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(limiter.admit("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256)),
                  0);
    EXPECT_EQ(limiter.admit("10.1.0.0"), 503);
    EXPECT_EQ(limiter.admit("10.0.0.7"), 0) << "a tracked peer is still served";
    now = 30000;
    EXPECT_EQ(limiter.admit("10.1.0.0"), 503);
    now = 60000;
    EXPECT_EQ(limiter.admit("10.1.0.0"), 0) << "expired windows make room";
    EXPECT_EQ(limiter.trackedPeers(), 1u);
}
