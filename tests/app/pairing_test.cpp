#include "fakes.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

struct Pairing : Harness {
    Pairing() { launch(); }
    static Group relayGroup(const std::string& address = "http://192.168.1.20:8787") {
        return freshGroup(address);
    }
    // Adopts a group as `create` would.
    Group paired(const std::string& address = "http://192.168.1.20:8787") {
        const Group group = relayGroup(address);
        server.createResult = [group](const std::string&) { return group; };
        app->create();
        runJob();
        return group;
    }
};

} // namespace

TEST(Create, AdoptsTheNewRoomPausedAndStoresIt) {
    Pairing h;
    h.app->setServer("http://10.0.0.7:8787");
    const Group group = h.paired();
    ASSERT_EQ(h.server.calls.front(), "create http://10.0.0.7:8787");
    EXPECT_EQ(h.app->group(), group);
    ASSERT_EQ(h.secrets.size(), 1u);
    EXPECT_EQ(h.secrets[0], group);
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_TRUE(h.settings.boolean("localPaused"));
    EXPECT_FALSE(h.app->automaticSending());
    EXPECT_EQ(h.app->server(), QString::fromStdString(group.server));
    EXPECT_EQ(h.status(), "Paired · paused. Resume sync on both devices.");
    h.app->send("hello");
    EXPECT_EQ(h.status(), "Resume sync before sending.");
}

TEST(Create, RefusesWhileAGroupIsHeldAndReportsRelayErrors) {
    Pairing h;
    h.paired();
    h.app->create();
    EXPECT_EQ(h.status(), "Leave the current group before creating another.");
    h.app->join();
    EXPECT_EQ(h.status(), "Leave the current group before joining another.");

    Pairing fresh;
    fresh.server.createResult = [](const std::string&) -> Group {
        throw DazarError("Relay returned HTTP 500");
    };
    fresh.app->create();
    fresh.runJob();
    EXPECT_EQ(fresh.status(), "Relay returned HTTP 500");
    EXPECT_FALSE(fresh.app->group());
}

TEST(Create, AKeychainFailureAdoptsNothing) {
    Pairing h;
    h.secretResult = [](const std::optional<Group>&) {
        throw DazarError("Unable to save in Keychain");
    };
    const Group group = h.relayGroup();
    h.server.createResult = [&](const std::string&) { return group; };
    h.app->create();
    h.runJob();
    EXPECT_EQ(h.status(), "Unable to save in Keychain");
    EXPECT_FALSE(h.app->group());
    EXPECT_TRUE(h.app->isRunning()) << "nothing else changes";
}

TEST(Join, ParsesTheInvitationBeforeAnyRequest) {
    Pairing h;
    h.app->join();
    EXPECT_EQ(h.status(), "Invalid Zephlink invitation");
    h.app->setInvitation("zephlink://pair?server=http://8.8.8.8&room=a&token=b&key=c");
    h.app->join();
    EXPECT_EQ(h.status(), "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    EXPECT_TRUE(h.jobs.empty());
    EXPECT_TRUE(h.server.calls.empty());
}

TEST(Join, ConfirmsAccessThenAdopts) {
    Pairing h;
    const Group group = h.relayGroup();
    h.app->setInvitation(" " + QString::fromStdString(group.invitation()) + "\n");
    h.app->join();
    h.runJob();
    EXPECT_EQ(h.server.calls, std::vector<std::string>{"read"});
    EXPECT_EQ(h.app->group(), group);
    EXPECT_EQ(h.app->invitation(), "");
    EXPECT_EQ(h.status(), "Paired · paused. Resume sync on both devices.");
}

TEST(Join, ARejectedTokenAdoptsNothing) {
    Pairing h;
    h.server.readResult = [](const Group&) { throw DazarError("Re-pair required (401)"); };
    h.app->setInvitation(QString::fromStdString(h.relayGroup().invitation()));
    h.app->join();
    h.runJob();
    EXPECT_EQ(h.status(), "Re-pair required (401)");
    EXPECT_FALSE(h.app->group());
    EXPECT_TRUE(h.secrets.empty());
}

TEST(CopyInvite, SuggestsTheLanAddressForALoopbackRelay) {
    Pairing h;
    const Group group = h.paired("http://127.0.0.1:9999");
    h.dialogs.address = std::nullopt;
    h.app->copyInvite();
    const auto relay = parseUrl(defaultRelay());
    EXPECT_EQ(h.dialogs.suggested, QString::fromStdString("http://" + *relay->host + ":9999"));
    EXPECT_EQ(h.dialogs.lastMessage, "Copy invitation for another device");
    EXPECT_EQ(h.status(), "Paired · paused. Resume sync on both devices.") << "cancelled";
    (void)group;
}

TEST(CopyInvite, RefusesALoopbackAnswerAndLeavesTheClipboard) {
    Pairing h;
    h.paired("http://127.0.0.1:8787");
    const long before = h.pasteboard.count;
    h.dialogs.address = QStringLiteral("http://localhost:8787");
    h.app->copyInvite();
    EXPECT_EQ(h.status(), "That address points to the receiving device itself. Use your Mac’s LAN "
                          "address from the relay terminal.");
    EXPECT_EQ(h.pasteboard.count, before);
}

TEST(CopyInvite, CopiesAConcealedLinkForTheGivenAddress) {
    Pairing h;
    const Group group = h.paired();
    h.dialogs.address = QStringLiteral(" http://192.168.1.30:8787/ ");
    h.app->copyInvite();
    EXPECT_EQ(h.status(), "Invitation copied with address http://192.168.1.30:8787");
    const Group invited = Group::parse(h.pasteboard.text.toStdString());
    EXPECT_EQ(invited.server, "http://192.168.1.30:8787");
    EXPECT_EQ(invited.room, group.room);
    EXPECT_TRUE(h.app->sensitive());
    h.app->capture();
    EXPECT_TRUE(h.jobs.empty());
}

TEST(CopyInvite, DoesNothingWithoutAGroup) {
    Pairing h;
    h.dialogs.address = QStringLiteral("http://192.168.1.30:8787");
    h.app->copyInvite();
    EXPECT_TRUE(h.dialogs.lastMessage.isEmpty());
}

TEST(Leave, ForgetsTheGroupLocally) {
    Pairing h;
    h.paired();
    h.app->leave();
    EXPECT_FALSE(h.app->group());
    EXPECT_EQ(h.secrets.back(), std::nullopt);
    EXPECT_EQ(h.status(), "Left locally. Other devices retain access to their group.");
    EXPECT_FALSE(h.app->isRunning());

    Pairing never;
    never.app->leave();
    EXPECT_EQ(never.status(), "Left locally. Other devices retain access to their group.");
}

TEST(Leave, AKeychainFailureChangesNothing) {
    Pairing h;
    const Group group = h.paired();
    h.secretResult = [](const std::optional<Group>&) { throw DazarError("anything"); };
    h.app->leave();
    EXPECT_EQ(h.status(), "Unable to clear Keychain");
    EXPECT_EQ(h.app->group(), group);
}

TEST(Reset, CancellingChangesNothing) {
    Pairing h;
    const Group group = h.paired();
    h.dialogs.consent = false;
    h.app->reset();
    EXPECT_EQ(h.dialogs.lastMessage, "Delete this group for every device?");
    EXPECT_EQ(h.app->group(), group);
    EXPECT_TRUE(h.jobs.empty());
}

TEST(Reset, ConfirmingPausesFirstThenRevokesAndLeaves) {
    Pairing h;
    const Group group = h.paired();
    h.app->start();
    h.dialogs.consent = true;
    std::optional<Group> revoked;
    bool runningAtRevoke = true;
    h.server.revokeResult = [&](const Group& g) {
        revoked = g;
        runningAtRevoke = h.app->isRunning();
    };
    h.app->reset();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_FALSE(h.app->group()) << "cleared in memory at once";
    h.runJob();
    EXPECT_EQ(revoked, group);
    EXPECT_FALSE(runningAtRevoke);
    EXPECT_EQ(h.status(), "Left locally. Other devices retain access to their group.");
    EXPECT_EQ(h.secrets.back(), std::nullopt);
}

TEST(Reset, AFailedRevokeKeepsTheStoredCopy) {
    Pairing h;
    h.paired();
    h.dialogs.consent = true;
    h.server.revokeResult = [](const Group&) { throw DazarError("Network unavailable"); };
    const auto stored = h.secrets.size();
    h.app->reset();
    h.runJob();
    EXPECT_EQ(h.status(), "Network unavailable");
    EXPECT_EQ(h.secrets.size(), stored);
    EXPECT_FALSE(h.app->group());
}

TEST(OpenLink, AMalformedLinkChangesNothing) {
    Pairing h;
    const Group nearby = freshGroup("http://127.0.0.1:8788");
    h.app->discovered(sessionFor(nearby), nearby.server);
    h.jobs.clear();
    h.app->openLink("zephlink://pair?server=http://10.0.0.2");
    EXPECT_EQ(h.status(), "Invalid Zephlink invitation");
    EXPECT_TRUE(h.app->isRunning());
    EXPECT_EQ(h.app->group(), nearby);
    EXPECT_TRUE(h.jobs.empty());
}

TEST(OpenLink, AGoodLinkJoinsEvenWhileSyncing) {
    Pairing h;
    const Group nearby = freshGroup("http://127.0.0.1:8788");
    h.app->discovered(sessionFor(nearby), nearby.server);
    h.jobs.clear();
    const Group relay = Pairing::relayGroup();
    h.app->openLink(QString::fromStdString(relay.invitation()));
    h.runJob();
    EXPECT_EQ(h.app->group(), relay);
    EXPECT_EQ(h.status(), "Paired · paused. Resume sync on both devices.");
}

TEST(OpenLink, AHeldRelayGroupMustBeLeftFirst) {
    Pairing h;
    const Group held = h.paired();
    h.app->openLink(QString::fromStdString(Pairing::relayGroup().invitation()));
    EXPECT_EQ(h.status(), "Leave the current group before joining another.");
    EXPECT_EQ(h.app->group(), held);
}
