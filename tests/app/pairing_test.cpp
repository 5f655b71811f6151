// Relay groups beyond the pairing script: what refusals leave as it was.
#include "fakes.h"
#include "server_address.h"
#include "url.h"

using namespace zephlink;
using namespace zephlink::test;

namespace {

const char* const kPaired = "Paired · paused. Resume sync on both devices.";
const auto kRefuse = [](const char* why) { return [=] { throw DazarError(why); }; };

// A clip in the history, sync paused, then a relay group is created.
void create(Harness& h, const QString& address = "http://192.168.1.20:8787") {
    const Group nearby = h.launchWithHost();
    h.deliver({sealedAt("clip", nearby, h.now)});
    h.app->toggleSync();
    h.jobs.clear();
    h.app->setInvitation("zephlink://pair?old");
    h.app->setServer(address);
    h.app->create();
    h.runJob();
}

} // namespace

TEST(Pairing, CreateStoresThenTakesOverUnlessTheKeychainRefuses) {
    for (const bool refused : {false, true}) {
        Harness h;
        if (refused)
            h.fail = kRefuse("Unable to save in Keychain");
        create(h, "http://10.0.0.7:8787");
        EXPECT_EQ(h.calls, std::vector<std::string>{"create http://10.0.0.7:8787"});
        EXPECT_EQ(h.status(), refused ? "Unable to save in Keychain" : kPaired);
        EXPECT_EQ(h.app->automaticSending(), refused);
        EXPECT_EQ(h.history().size(), refused ? 1 : 0);
        EXPECT_EQ(h.app->invitation(), refused ? "zephlink://pair?old" : "");
    }
}

TEST(Pairing, CopyInviteSuggestsTheLanAddressForALoopbackRelay) {
    const auto relayHost = QString::fromStdString(*parseUrl(defaultRelay())->host);
    Harness h;
    create(h, "http://127.0.0.1:9999");
    h.views.address = " http://192.168.1.30:8787/ ";
    h.app->copyInvite();
    EXPECT_EQ(h.views.message, "Copy invitation for another device");
    EXPECT_EQ(h.views.suggested, "http://" + relayHost + ":9999");
    EXPECT_EQ(h.status(), "Invitation copied with address http://192.168.1.30:8787");
    EXPECT_EQ(Group::parse(h.pasteboard.text->toStdString()).server, "http://192.168.1.30:8787");
}

TEST(Pairing, LeaveAndResetKeepTheGroupUntilTheKeychainAndTheRelayAgree) {
    Harness h;
    create(h);
    h.fail = kRefuse("anything");
    h.app->leave();
    EXPECT_EQ(h.status(), "Unable to clear Keychain");
    EXPECT_TRUE(h.app->paired());
    h.views.consent = true;
    h.fail = kRefuse("Network unavailable");
    h.app->reset();
    EXPECT_FALSE(h.app->paired()) << "cleared in memory at once";
    h.runJob();
    EXPECT_EQ(h.status(), "Network unavailable");
    EXPECT_EQ(h.secrets.size(), 1u) << "the secret is kept";
}

// A link agreed to while a post is in flight is not joined.
TEST(Pairing, OpenLinkWhileBusyJoinsNothing) {
    Harness h;
    h.launchWithHost();
    h.jobs.clear();
    h.app->send("in flight");
    h.views.consent = true;
    h.app->openLink(QString::fromStdString(freshGroup("https://relay.example.com").invitation()));
    EXPECT_TRUE(h.views.information.contains("relay.example.com, port 443"));
    EXPECT_EQ(h.status(),
              "Previous operation in progress; the invitation was not joined. Open it again.");
    EXPECT_TRUE(h.app->isRunning() && h.calls.empty());
}
