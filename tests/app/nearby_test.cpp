// The nearby host: its group, its peers, and the status while found or lost.
#include "fakes.h"

using namespace zephlink;
using namespace zephlink::test;

namespace {

const char* const kReady = "Ready · waiting for nearby devices";
const char* const kConnected = "Connected · trusted local network";
const char* const kNoHost = "Discovering… Check local-network permission and trusted Wi-Fi.";
const std::string kOther(32, 'b');

} // namespace

TEST(Nearby, ASessionConnectsOnceAndARestartedHostStartsAfresh) {
    Harness h;
    const Group group = h.launchWithHost();
    EXPECT_EQ(h.status(), kReady);
    h.deliver({}, 8);
    for (int i = 0; i < 3; ++i)
        h.found(sessionFor(group, {{std::string(32, 'e'), "B", "android"},
                                   {h.app->device(), "me", "mac"},
                                   {kOther, "A", "windows"}}),
                group.server);
    EXPECT_EQ(h.jobs.size(), 1u) << "the same group: the loop goes on";
    EXPECT_EQ(h.status(), kConnected);
    ASSERT_EQ(h.app->peers().size(), 2u) << "this device left out";
    EXPECT_EQ(h.app->peers()[0].name, "B");
    const Group restarted = freshGroup("http://127.0.0.1:8788");
    h.found(sessionFor(restarted), restarted.server);
    h.deliver({});
    h.deliver({});
    EXPECT_EQ(h.cursors, (std::vector<std::int64_t>{0, 8, 0}));
}

TEST(Nearby, NoUsableHostDropsTheGroupAndItsHistory) {
    const Group group = freshGroup("http://127.0.0.1:8788");
    LocalSession open = sessionFor(group);
    open.mode = "open";
    const std::pair<std::optional<LocalSession>, std::optional<std::string>> cases[] = {
        {std::nullopt, std::nullopt},
        {sessionFor(group), std::nullopt},
        {open, group.server},
        {sessionFor(group), "http://8.8.8.8:8788"}};
    for (const auto& [session, server] : cases) {
        Harness h;
        const Group held = h.launchWithHost({{kOther, "A", "windows"}});
        h.deliver({sealedAt("clip", held, h.now)});
        h.found(session, server);
        h.found(session, server);
        EXPECT_TRUE(!h.app->paired() && h.app->peers().empty() && h.history().isEmpty());
        EXPECT_EQ(h.status(), kNoHost);
        h.deliver({sealedAt("late", held, h.now)});
        EXPECT_TRUE(h.history().isEmpty()) << "the loop ended";
    }
}

// Rounds of discovery: o = this device's own host alone, p = its own host
// with another device, f = another host, n = no host, r = pause and resume.
TEST(Nearby, AFirewallIsSuspectedWhenOnlyTheOwnHostAnswersWhileOthersAreAnnounced) {
    const std::tuple<const char*, bool, QString> cases[] = {
        {"ooo", true, Nearby::kBlockedStatus},
        {"ooooo", true, Nearby::kBlockedStatus},
        {"oo", true, kReady},
        {"oooo", false, kReady},
        {"ffff", true, kReady},
        {"ooop", true, kConnected},
        {"oonoo", true, kReady},
        {"ooon", true, kNoHost},
        {"ooroo", true, kReady},
    };
    for (const auto& [rounds, othersAnnounced, status] : cases) {
        Harness h;
        h.launch();
        const std::string self = h.app->device();
        const Group group = freshGroup("http://127.0.0.1:8788");
        h.discovery->announced = {self}; // this device's own announcement never counts
        if (othersAnnounced)
            h.discovery->announced.insert(kOther);
        for (const char* round = rounds; *round != '\0'; ++round) {
            if (*round == 'r')
                h.app->stop(), h.app->start();
            else if (*round == 'n')
                h.found(std::nullopt, std::nullopt);
            else
                h.found(sessionFor(group,
                                   *round == 'p'
                                       ? std::vector<NearbyDevice>{{kOther, "A", "windows"}}
                                       : std::vector<NearbyDevice>{},
                                   *round == 'f' ? kOther : self),
                        group.server);
        }
        EXPECT_EQ(h.status(), status) << rounds;
    }
}
