#include "fakes.h"
#include "nearby.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const std::string kDevice(32, 'd');

// The nearby devices alone, started; what they ask of the other concerns is
// logged in order.
struct Near {
    SessionState session{
        [this] { effects.log.push_back("show " + session.status().toStdString()); }};
    FakeSettings settings;
    FakeDiscovery* discovery = nullptr;
    Effects effects;
    std::int64_t now = 1'800'000'000'000;
    Group group = freshGroup("http://127.0.0.1:8788");
    Nearby nearby{session, ports()};

    NearbyPorts ports() {
        NearbyPorts p;
        p.settings = &settings;
        p.now = [this] { return now; };
        p.rebaseline = effects.note("rebaseline");
        p.setReceiveAfter = [this](std::int64_t ms) {
            effects.log.push_back("after " + std::to_string(ms));
        };
        p.startAfresh = effects.note("afresh");
        p.forgetHistory = effects.note("forget");
        p.refreshHistory = effects.note("refresh");
        p.poll = [this](const Group& g, std::int64_t generation) {
            effects.log.push_back("poll " + g.room + " " + std::to_string(generation));
        };
        return p;
    }
    explicit Near(bool started = true) {
        auto made = std::make_unique<FakeDiscovery>();
        discovery = made.get();
        nearby.setDiscovery(std::move(made));
        nearby.setDevice(kDevice);
        if (started)
            nearby.start();
        effects.log.clear();
    }
    void grant(const Group& g, std::vector<NearbyDevice> devices = {}) {
        nearby.discovered(sessionFor(g, std::move(devices)), g.server);
    }
    QString status() const { return session.status(); }
};

NearbyDevice device(std::string name, std::string platform, std::string id = identifier()) {
    return {std::move(id), std::move(name), std::move(platform)};
}

const char* const kReady = "Ready · waiting for nearby devices";
const char* const kNoHost = "Discovering… Check local-network permission and trusted Wi-Fi.";

} // namespace

TEST(Nearby, StartTurnsSyncOnOnceAndRemembersIt) {
    Near n(false);
    n.settings.setBoolean("localPaused", true);
    n.nearby.setPaused(true);
    n.nearby.start();
    EXPECT_TRUE(n.session.running());
    EXPECT_FALSE(n.nearby.paused());
    EXPECT_EQ(n.session.generation(), 1);
    EXPECT_FALSE(n.settings.boolean("localPaused"));
    EXPECT_EQ(n.nearby.toggleTitle(), "Pause sync");
    EXPECT_EQ(n.effects.log,
              (std::vector<std::string>{"rebaseline", "after 1800000000000",
                                        "show Discovering devices on trusted Wi-Fi…"}));
    EXPECT_EQ(n.discovery->starts, 1);
    n.nearby.start();
    EXPECT_EQ(n.session.generation(), 1) << "a second start does nothing";
    EXPECT_EQ(n.discovery->starts, 1);
}

TEST(Nearby, StopAlwaysRunsEveryStep) {
    Near n;
    n.grant(n.group, {device("A", "windows")});
    n.session.setCursor(3);
    for (int i = 0; i < 2; ++i) {
        const auto generation = n.session.generation();
        n.settings.setBoolean("localPaused", false);
        n.effects.log.clear();
        n.nearby.stop();
        EXPECT_FALSE(n.session.running());
        EXPECT_EQ(n.session.generation(), generation + 1);
        EXPECT_TRUE(n.nearby.paused());
        EXPECT_TRUE(n.settings.boolean("localPaused"));
        EXPECT_EQ(n.discovery->stops, i + 1);
        EXPECT_FALSE(n.session.group());
        EXPECT_TRUE(n.nearby.peers().empty());
        EXPECT_EQ(n.nearby.hostID(), "");
        EXPECT_EQ(n.nearby.devicesLabel(), "Discovery paused");
        EXPECT_EQ(n.nearby.toggleTitle(), "Resume sync");
        EXPECT_EQ(n.effects.log, (std::vector<std::string>{"rebaseline", "show Paused"}));
    }
    EXPECT_EQ(n.session.cursor(), 3) << "the cursor stays";
    n.grant(n.group);
    EXPECT_FALSE(n.session.group()) << "results while paused are ignored";
    n.nearby.shutdown();
    EXPECT_EQ(n.discovery->stops, 3);
}

TEST(Nearby, ASessionConnectsOnceAndARestartedHostStartsAfresh) {
    Near n;
    n.session.setCursor(5);
    n.grant(n.group);
    EXPECT_EQ(n.session.group(), n.group);
    EXPECT_EQ(n.session.cursor(), 0);
    EXPECT_EQ(n.nearby.hostID(), std::string(32, 'a'));
    EXPECT_EQ(n.status(), kReady);
    EXPECT_EQ(n.nearby.devicesLabel(),
              "Open Zephlink on another device on the same Wi-Fi. Allow Zephlink’s incoming "
              "connections in the macOS firewall and enable local-network access if asked.");
    EXPECT_EQ(n.effects.log, (std::vector<std::string>{"afresh", "rebaseline", "refresh",
                                                       std::string("show ") + kReady,
                                                       "poll " + n.group.room + " 2"}));

    // The same group again, now with other devices: the loop goes on.
    n.effects.log.clear();
    n.session.setCursor(8);
    for (int i = 0; i < 3; ++i)
        n.grant(n.group,
                {device("B", "android"), device("self", "mac", kDevice), device("A", "windows")});
    EXPECT_EQ(n.session.generation(), 2);
    EXPECT_EQ(n.session.cursor(), 8);
    const std::string connected = "Connected · trusted local network";
    EXPECT_EQ(n.effects.log, std::vector<std::string>(3, "show " + connected));
    ASSERT_EQ(n.nearby.peers().size(), 2u);
    EXPECT_EQ(n.nearby.peers()[0].name, "B") << "session order is kept, this device left out";
    EXPECT_EQ(n.nearby.devicesLabel(), "Nearby: A (windows), B (android)");

    n.effects.log.clear();
    const Group restarted = freshGroup("http://127.0.0.1:8788");
    n.grant(restarted);
    EXPECT_EQ(n.session.group(), restarted);
    EXPECT_EQ(n.session.cursor(), 0);
    EXPECT_EQ(n.effects.log.back(), "poll " + restarted.room + " 3");
}

TEST(Nearby, NoUsableHostDropsTheGroup) {
    struct Case {
        const char* why;
        std::optional<LocalSession> session;
        std::optional<std::string> server;
    };
    const Group group = freshGroup("http://127.0.0.1:8788");
    LocalSession open = sessionFor(group);
    open.mode = "open";
    const Case cases[] = {
        {"no host", std::nullopt, std::nullopt},
        {"no address", sessionFor(group), std::nullopt},
        {"a session that does not check out", open, group.server},
        {"a public address", sessionFor(group), std::string("http://8.8.8.8:8788")},
    };
    for (const Case& c : cases) {
        Near n;
        n.grant(group, {device("A", "windows")});
        n.effects.log.clear();
        n.session.setCursor(4);
        const auto generation = n.session.generation();
        n.nearby.discovered(c.session, c.server);
        EXPECT_FALSE(n.session.group()) << c.why;
        EXPECT_EQ(n.session.generation(), generation + 1) << c.why;
        EXPECT_EQ(n.session.cursor(), 0) << c.why;
        EXPECT_TRUE(n.nearby.peers().empty()) << c.why;
        EXPECT_EQ(n.nearby.hostID(), "") << c.why;
        EXPECT_EQ(n.nearby.devicesLabel(), "No desktop host found yet") << c.why;
        EXPECT_EQ(n.effects.log, (std::vector<std::string>{"forget", "refresh", "rebaseline",
                                                           std::string("show ") + kNoHost}))
            << c.why;
        // Still no host: nothing more is dropped.
        n.effects.log.clear();
        n.nearby.discovered(c.session, c.server);
        EXPECT_EQ(n.session.generation(), generation + 1) << c.why;
        EXPECT_EQ(n.effects.log,
                  (std::vector<std::string>{"rebaseline", std::string("show ") + kNoHost}));
    }
}

// Rounds of discovery, one letter each: o = this device's own host alone,
// p = its own host with another device joined, f = another host, n = no
// host, r = sync paused and resumed.
TEST(Nearby, AFirewallIsSuspectedWhenOnlyTheOwnHostAnswersWhileOthersAreAnnounced) {
    const std::string other(32, 'b');
    struct Case {
        const char* rounds;
        bool othersAnnounced;
        QString status;
    };
    const Case cases[] = {
        {"ooo", true, Nearby::kBlockedStatus},
        {"ooooo", true, Nearby::kBlockedStatus},
        {"oo", true, kReady},
        {"oooo", false, kReady},
        {"ffff", true, kReady},
        {"ooop", true, QStringLiteral("Connected · trusted local network")},
        {"oonoo", true, kReady},
        {"ooon", true, kNoHost},
        {"ooroo", true, kReady},
    };
    for (const Case& c : cases) {
        Near n;
        // This device's own identifier among the announcements never counts.
        n.discovery->announced = {kDevice};
        if (c.othersAnnounced)
            n.discovery->announced.insert(other);
        for (const char* round = c.rounds; *round != '\0'; ++round) {
            switch (*round) {
            case 'o':
                n.nearby.discovered(sessionFor(n.group, {device("me", "mac", kDevice)}, kDevice),
                                    n.group.server);
                break;
            case 'p':
                n.nearby.discovered(sessionFor(n.group, {device("A", "windows", other)}, kDevice),
                                    n.group.server);
                break;
            case 'f':
                n.nearby.discovered(sessionFor(n.group, {}, other), n.group.server);
                break;
            case 'n':
                n.nearby.discovered(std::nullopt, std::nullopt);
                break;
            case 'r':
                n.nearby.stop();
                n.nearby.start();
                break;
            }
        }
        EXPECT_EQ(n.status(), c.status) << c.rounds;
    }
}
