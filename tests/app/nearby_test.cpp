#include "fakes.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

struct Running : Harness {
    Group group = freshGroup("http://127.0.0.1:8788");
    Running() { launch(); }
    void grant(const Group& g, std::vector<NearbyDevice> devices = {}) {
        app->discovered(sessionFor(g, std::move(devices)), g.server);
    }
};

NearbyDevice device(std::string name, std::string platform, std::string id = identifier()) {
    return {std::move(id), std::move(name), std::move(platform)};
}

} // namespace

TEST(Nearby, ASessionConnectsAndStartsOnePollLoop) {
    Running h;
    const auto before = h.app->generation();
    h.grant(h.group);
    EXPECT_EQ(h.app->group(), h.group);
    EXPECT_EQ(h.app->generation(), before + 1);
    EXPECT_EQ(h.app->hostID(), std::string(32, 'a'));
    EXPECT_EQ(h.status(), "Ready · waiting for nearby devices");
    EXPECT_EQ(h.app->devicesLabel(),
              "Open Zephlink on another device on the same Wi-Fi. Allow Zephlink’s incoming "
              "connections in the macOS firewall and enable local-network access if asked.");
    EXPECT_EQ(h.jobs.size(), 1u);
}

TEST(Nearby, RepeatedIdenticalResultsKeepTheLoopAndTheHistory) {
    Running h;
    h.grant(h.group);
    h.now = h.app->receiveAfter() + 10;
    h.server.polls.push_back([&] { return batchOf({sealedAt("kept", h.group, h.now)}, 1); });
    h.runJob();
    const auto generation = h.app->generation();
    for (int i = 0; i < 3; ++i)
        h.grant(h.group);
    EXPECT_EQ(h.app->generation(), generation);
    EXPECT_EQ(h.app->history(), QStringList{"kept"});
    EXPECT_EQ(h.jobs.size(), 1u) << "still the one loop";
}

TEST(Nearby, ARestartedHostStartsAfreshWithExactlyOneLoop) {
    Running h;
    h.grant(h.group);
    h.now = h.app->receiveAfter() + 10;
    h.server.polls.push_back([&] { return batchOf({sealedAt("old", h.group, h.now)}, 7); });
    h.runJob(); // old loop's next cycle is now queued
    const auto generation = h.app->generation();
    const Group restarted = freshGroup("http://127.0.0.1:8788");
    h.grant(restarted);
    EXPECT_EQ(h.app->generation(), generation + 1);
    EXPECT_TRUE(h.app->history().isEmpty());
    EXPECT_TRUE(h.app->seen().empty());
    EXPECT_EQ(h.app->cursor(), 0);
    EXPECT_EQ(h.app->lastTime(), 0);
    EXPECT_EQ(h.app->baseline(), h.pasteboard.count);
    // Both the old loop's cycle and the new loop's first cycle are queued;
    // the old one's answer is dropped and ends that loop.
    ASSERT_EQ(h.jobs.size(), 2u);
    h.server.polls.push_back([] { return batchOf({}, 99); });
    h.server.polls.push_back([] { return batchOf({}, 0); });
    h.runJob();
    EXPECT_EQ(h.app->cursor(), 0) << "stale answer dropped";
    h.runJob();
    EXPECT_EQ(h.jobs.size(), 1u) << "exactly one loop remains";
}

TEST(Nearby, PeersLeaveOutThisDeviceAndAreSummarisedInOrder) {
    Running h;
    h.grant(h.group, {device("B", "android"), device("self", "mac", h.app->device()),
                      device("A", "windows")});
    ASSERT_EQ(h.app->peers().size(), 2u);
    EXPECT_EQ(h.app->peers()[0].name, "B") << "session order is kept";
    EXPECT_EQ(h.app->devicesLabel(), "Nearby: A (windows), B (android)");
    EXPECT_EQ(h.status(), "Connected · trusted local network");
    EXPECT_EQ(h.app->flow().devices().size(), 2);
}

TEST(Nearby, LosingTheHostClearsTheGroupAndHistory) {
    Running h;
    h.grant(h.group, {device("A", "windows")});
    h.app->discovered(std::nullopt, std::nullopt);
    EXPECT_FALSE(h.app->group());
    EXPECT_TRUE(h.app->peers().empty());
    EXPECT_EQ(h.app->hostID(), "");
    EXPECT_EQ(h.app->devicesLabel(), "No desktop host found yet");
    EXPECT_EQ(h.status(), "Discovering… Check local-network permission and trusted Wi-Fi.");
}

TEST(Nearby, ASessionThatDoesNotCheckOutCountsAsNoHost) {
    Running h;
    h.grant(h.group);
    LocalSession bad = sessionFor(h.group);
    bad.mode = "open";
    h.app->discovered(bad, h.group.server);
    EXPECT_FALSE(h.app->group());
    EXPECT_EQ(h.status(), "Discovering… Check local-network permission and trusted Wi-Fi.");
    h.app->discovered(sessionFor(h.group), std::string("http://8.8.8.8:8788"));
    EXPECT_FALSE(h.app->group());
}

TEST(Nearby, ResultsWhilePausedAreIgnored) {
    Running h;
    h.app->stop();
    h.grant(h.group);
    EXPECT_FALSE(h.app->group());
    EXPECT_EQ(h.status(), "Paused");
    EXPECT_TRUE(h.jobs.empty());
}

TEST(Nearby, StopAndStartAreRememberedAndRestartTheEpoch) {
    Running h;
    h.grant(h.group);
    h.app->stop();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_TRUE(h.app->paused());
    EXPECT_TRUE(h.settings.boolean("localPaused"));
    EXPECT_FALSE(h.app->group());
    EXPECT_EQ(h.app->devicesLabel(), "Discovery paused");
    EXPECT_EQ(h.app->toggleTitle(), "Resume sync");
    EXPECT_EQ(h.discovery->stops, 1);

    h.settings.setBoolean("localPaused", false);
    h.app->setStatusText("x");
    h.app->stop();
    EXPECT_TRUE(h.settings.boolean("localPaused")) << "stop while stopped still records it";
    EXPECT_EQ(h.status(), "Paused");

    h.now += 5000;
    h.app->toggleSync();
    EXPECT_TRUE(h.app->isRunning());
    EXPECT_EQ(h.app->receiveAfter(), h.now);
    EXPECT_FALSE(h.settings.boolean("localPaused"));
    EXPECT_EQ(h.app->toggleTitle(), "Pause sync");
    EXPECT_EQ(h.discovery->starts, 2);
    const auto generation = h.app->generation();
    h.app->start();
    EXPECT_EQ(h.app->generation(), generation) << "a second start does nothing";
}

// Rounds of discovery, one letter each: o = this device's own host alone,
// p = its own host with another device joined, f = another host, n = no
// host, r = sync paused and resumed.
TEST(Nearby, AFirewallIsSuspectedWhenOnlyTheOwnHostAnswersWhileOthersAreAnnounced) {
    const std::string other(32, 'b');
    const QString ready = QStringLiteral("Ready · waiting for nearby devices");
    struct Case {
        const char* rounds;
        bool othersAnnounced;
        QString status;
    };
    const Case cases[] = {
        {"ooo", true, DazarApp::kBlockedStatus},
        {"ooooo", true, DazarApp::kBlockedStatus},
        {"oo", true, ready},
        {"oooo", false, ready},
        {"ffff", true, ready},
        {"ooop", true, QStringLiteral("Connected · trusted local network")},
        {"oonoo", true, ready},
        {"ooon", true,
         QStringLiteral("Discovering… Check local-network permission and trusted Wi-Fi.")},
        {"ooroo", true, ready},
    };
    for (const Case& c : cases) {
        Running h;
        const std::string self = h.app->device();
        // This device's own identifier among the announcements never counts.
        h.discovery->announced = {self};
        if (c.othersAnnounced)
            h.discovery->announced.insert(other);
        for (const char* round = c.rounds; *round != '\0'; ++round) {
            switch (*round) {
            case 'o':
                h.app->discovered(sessionFor(h.group, {device("me", "mac", self)}, self),
                                  h.group.server);
                break;
            case 'p':
                h.app->discovered(sessionFor(h.group, {device("A", "windows", other)}, self),
                                  h.group.server);
                break;
            case 'f':
                h.app->discovered(sessionFor(h.group, {}, other), h.group.server);
                break;
            case 'n':
                h.app->discovered(std::nullopt, std::nullopt);
                break;
            case 'r':
                h.app->stop();
                h.app->start();
                break;
            }
        }
        EXPECT_EQ(h.status(), c.status) << c.rounds;
        EXPECT_EQ(h.app->flow().status(), c.status) << c.rounds;
    }
}
