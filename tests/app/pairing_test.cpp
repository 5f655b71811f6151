#include "fakes.h"
#include "pairing.h"
#include "server_address.h"
#include "url.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

// Pairing alone. What it asks of the other concerns is logged in order; the
// stand-in for stopping sync does what stopping does to the session.
struct Pairs {
    SessionState session;
    FakeServer server;
    FakeDialogs dialogs;
    Jobs jobs;
    Effects effects;
    std::function<void(const std::optional<Group>&)> secretResult = [](const auto&) {};
    Pairing pairing{session, ports()};

    PairingPorts ports() {
        PairingPorts p;
        p.server = server.port();
        p.saveSecret = [this](const std::optional<Group>& group) {
            secretResult(group);
            effects.log.push_back(group ? "save " + group->room : "delete secret");
        };
        p.dialogs = &dialogs;
        p.background = jobs.port();
        p.stop = [this] {
            session.setRunning(false);
            session.setGroup(std::nullopt);
            effects.log.push_back("stop");
        };
        p.writeClipboard = [this](const QString& text) {
            effects.log.push_back(text.toStdString());
        };
        p.setAutomatic = [this](bool on) { effects.log.push_back(on ? "auto on" : "auto off"); };
        p.startAfresh = effects.note("afresh");
        p.forgetHistory = effects.note("forget");
        p.refreshHistory = effects.note("refresh");
        return p;
    }
    Pairs() {
        jobs.failed = [this](const QString& error) { session.show(error); };
    }
    QString status() const { return session.status(); }
    // Adopts a relay group as create would.
    Group paired(const std::string& address = "http://192.168.1.20:8787") {
        const Group group = freshGroup(address);
        server.createResult = [group](const std::string&) { return group; };
        pairing.create();
        jobs.run();
        effects.log.clear();
        server.calls.clear();
        return group;
    }
};

const char* const kPaired = "Paired · paused. Resume sync on both devices.";
const char* const kLeft = "Left locally. Other devices retain access to their group.";

} // namespace

TEST(Adopt, StoresThenPausesThenTakesTheGroupOver) {
    Pairs p;
    p.session.setRunning(true);
    p.session.setCursor(9);
    p.pairing.setInvitation("zephlink://pair?old");
    p.pairing.setServer("http://10.0.0.7:8787");
    const Group group = freshGroup("http://192.168.1.20:8787");
    p.server.createResult = [group](const std::string&) { return group; };
    p.pairing.create();
    p.jobs.run();
    EXPECT_EQ(p.server.calls, std::vector<std::string>{"create http://10.0.0.7:8787"});
    EXPECT_EQ(p.effects.log, (std::vector<std::string>{"save " + group.room, "stop", "afresh",
                                                       "auto off", "refresh"}));
    EXPECT_EQ(p.session.group(), group);
    EXPECT_EQ(p.session.cursor(), 0);
    EXPECT_EQ(p.pairing.server(), QString::fromStdString(group.server));
    EXPECT_EQ(p.pairing.invitation(), "");
    EXPECT_EQ(p.status(), kPaired);
}

TEST(Adopt, ARefusedRoomOrSecretChangesNothing) {
    for (const bool keychain : {false, true}) {
        Pairs p;
        p.session.setRunning(true);
        p.server.createResult = [keychain](const std::string& address) -> Group {
            if (!keychain)
                throw DazarError("Relay returned HTTP 500");
            return freshGroup(address);
        };
        if (keychain)
            p.secretResult = [](const auto&) { throw DazarError("Unable to save in Keychain"); };
        p.pairing.create();
        p.jobs.run();
        EXPECT_EQ(p.status(), keychain ? "Unable to save in Keychain" : "Relay returned HTTP 500");
        EXPECT_FALSE(p.session.group());
        EXPECT_TRUE(p.session.running());
        EXPECT_TRUE(p.effects.log.empty());
    }
}

TEST(Join, ParsesTheInvitationThenConfirmsAccessThenAdopts) {
    Pairs p;
    p.pairing.join();
    EXPECT_EQ(p.status(), "Invalid Zephlink invitation");
    p.pairing.setInvitation("zephlink://pair?server=http://8.8.8.8&room=a&token=b&key=c");
    p.pairing.join();
    EXPECT_EQ(p.status(), "Public servers require HTTPS; HTTP is only for a trusted private LAN");
    EXPECT_EQ(p.jobs.size(), 0u);

    const Group group = freshGroup("http://192.168.1.20:8787");
    p.pairing.setInvitation(" " + QString::fromStdString(group.invitation()) + "\n");
    p.server.readResult = [](const Group&) { throw DazarError("Re-pair required (401)"); };
    p.pairing.join();
    p.jobs.run();
    EXPECT_EQ(p.status(), "Re-pair required (401)");
    EXPECT_TRUE(p.effects.log.empty()) << "a rejected token adopts nothing";

    p.server.readResult = [](const Group&) {};
    p.pairing.join();
    p.jobs.run();
    EXPECT_EQ(p.server.calls.back(), "read " + group.room);
    EXPECT_EQ(p.session.group(), group);
    EXPECT_EQ(p.status(), kPaired);
}

TEST(CopyInvite, AsksForAnAddressAndCopiesAConcealedLink) {
    const auto relayHost = *parseUrl(defaultRelay())->host;
    struct Case {
        const char* why;
        std::string server;
        std::optional<QString> answer;
        QString suggested;
        QString shown; // empty: the status stays
    };
    const Case cases[] = {
        {"cancelled", "http://192.168.1.20:8787", std::nullopt, "http://192.168.1.20:8787", ""},
        {"a loopback relay suggests the LAN address", "http://127.0.0.1:9999", std::nullopt,
         QString::fromStdString("http://" + relayHost + ":9999"), ""},
        {"a loopback answer is refused", "http://127.0.0.1:8787",
         QStringLiteral("http://localhost:8787"),
         QString::fromStdString("http://" + relayHost + ":8787"),
         "That address points to the receiving device itself. Use your Mac’s LAN "
         "address from "
         "the relay terminal."},
        {"accepted and normalised", "http://192.168.1.20:8787",
         QStringLiteral(" http://192.168.1.30:8787/ "), "http://192.168.1.20:8787",
         "Invitation copied with address http://192.168.1.30:8787"},
    };
    for (const Case& c : cases) {
        Pairs p;
        const Group group = p.paired(c.server);
        p.dialogs.address = c.answer;
        p.pairing.copyInvite();
        EXPECT_EQ(p.dialogs.lastMessage, "Copy invitation for another device") << c.why;
        EXPECT_EQ(p.dialogs.suggested, c.suggested) << c.why;
        EXPECT_EQ(p.status(), c.shown.isEmpty() ? kPaired : c.shown) << c.why;
        const bool copied = c.shown.startsWith("Invitation copied");
        ASSERT_EQ(p.effects.log.size(), copied ? 1u : 0u) << c.why;
        if (copied) {
            const Group invited = Group::parse(p.effects.log[0]);
            EXPECT_EQ(invited.server, "http://192.168.1.30:8787");
            EXPECT_EQ(invited.room, group.room);
        }
    }
    Pairs none;
    none.dialogs.address = QStringLiteral("http://192.168.1.30:8787");
    none.pairing.copyInvite();
    none.pairing.copyInviteFor("http://192.168.1.30:8787");
    EXPECT_TRUE(none.dialogs.lastMessage.isEmpty()) << "nothing to invite to";
    EXPECT_TRUE(none.effects.log.empty());
}

TEST(Leave, ForgetsTheGroupLocallyUnlessTheKeychainRefuses) {
    Pairs p;
    const Group group = p.paired();
    p.secretResult = [](const auto& g) {
        if (!g)
            throw DazarError("anything");
    };
    p.pairing.leave();
    EXPECT_EQ(p.status(), "Unable to clear Keychain");
    EXPECT_EQ(p.session.group(), group);
    EXPECT_TRUE(p.effects.log.empty());

    p.secretResult = [](const auto&) {};
    p.pairing.leave();
    EXPECT_EQ(p.effects.log,
              (std::vector<std::string>{"delete secret", "stop", "forget", "auto off", "refresh"}));
    EXPECT_FALSE(p.session.group());
    EXPECT_EQ(p.status(), kLeft);
}

TEST(Reset, AsksThenPausesThenRevokesThenLeaves) {
    Pairs p;
    const Group group = p.paired();
    p.session.setRunning(true);
    p.pairing.reset();
    EXPECT_EQ(p.dialogs.lastMessage, "Delete this group for every device?");
    EXPECT_EQ(p.session.group(), group) << "cancelled";
    EXPECT_EQ(p.jobs.size(), 0u);

    p.dialogs.consent = true;
    p.server.revokeResult = [&](const Group&) { p.effects.log.push_back("revoke"); };
    p.pairing.reset();
    EXPECT_FALSE(p.session.group()) << "cleared in memory at once";
    p.jobs.run();
    EXPECT_EQ(p.server.calls, std::vector<std::string>{"revoke " + group.room});
    EXPECT_EQ(p.effects.log, (std::vector<std::string>{"stop", "revoke", "delete secret", "stop",
                                                       "forget", "auto off", "refresh"}));
    EXPECT_EQ(p.status(), kLeft);

    Pairs failing;
    failing.paired();
    failing.dialogs.consent = true;
    failing.server.revokeResult = [](const Group&) { throw DazarError("Network unavailable"); };
    failing.pairing.reset();
    failing.jobs.run();
    EXPECT_EQ(failing.status(), "Network unavailable");
    EXPECT_EQ(failing.effects.log, std::vector<std::string>{"stop"}) << "the secret is kept";

    Pairs none;
    none.dialogs.consent = true;
    none.pairing.reset();
    EXPECT_TRUE(none.dialogs.lastMessage.isEmpty());
}

// A link from outside asks first; nothing at all happens before "Join", and
// a join that does not happen leaves sync running with the nearby group.
TEST(OpenLink, AsksFirstAndPausesOnlyWhenTheJoinSucceeds) {
    const Group nearby = freshGroup("http://127.0.0.1:8788");
    const Group relay = freshGroup("https://relay.example.com");
    const QString link = QString::fromStdString(relay.invitation());
    struct Case {
        const char* why;
        QString link;
        bool busy;
        bool consent;
        std::function<void(const Group&)> read;
        QString shown; // empty: the status stays "Ready"
        bool joined;
    };
    const auto accept = [](const Group&) {};
    const auto refuse = [](const Group&) { throw DazarError("Re-pair required (401)"); };
    const Case cases[] = {
        {"malformed", "zephlink://pair?server=http://10.0.0.2", false, true, accept,
         "Invalid Zephlink invitation", false},
        {"cancelled", link, false, false, accept, "", false},
        {"refused by the relay", link, false, true, refuse, "Re-pair required (401)", false},
        {"a post in flight", link, true, true, accept,
         "Previous operation in progress; the invitation was not joined. Open it again.", false},
        {"joined", link, false, true, accept, kPaired, true},
    };
    for (const Case& c : cases) {
        Pairs p;
        p.session.setRunning(true);
        p.session.setGroup(nearby);
        p.session.setStatus("Ready");
        p.session.setBusy(c.busy);
        p.pairing.setInvitation("typed");
        p.dialogs.consent = c.consent;
        p.server.readResult = c.read;
        p.pairing.openLink(c.link);
        const bool asked = c.link == link;
        EXPECT_EQ(p.dialogs.lastMessage.isEmpty(), !asked) << c.why;
        if (asked) {
            EXPECT_TRUE(p.dialogs.lastInformation.contains("relay.example.com, port 443"))
                << p.dialogs.lastInformation.toStdString();
        }
        EXPECT_EQ(p.effects.log.empty(), true) << c.why << ": nothing before the answer";
        while (p.jobs.run()) {
        }
        EXPECT_EQ(p.status(), c.shown.isEmpty() ? "Ready" : c.shown) << c.why;
        EXPECT_EQ(p.pairing.invitation(), c.joined ? "" : "typed") << c.why;
        EXPECT_EQ(p.session.group(), c.joined ? relay : nearby) << c.why;
        EXPECT_EQ(p.session.running(), !c.joined) << c.why;
        EXPECT_EQ(p.server.calls.size(), c.consent && !c.busy && asked ? 1u : 0u) << c.why;
    }

    // A relay group held while paused must be left first; nothing is asked.
    Pairs held;
    const Group group = held.paired();
    held.dialogs.consent = true;
    held.pairing.openLink(link);
    EXPECT_EQ(held.status(), "Leave the current group before joining another.");
    EXPECT_TRUE(held.dialogs.lastMessage.isEmpty());
    EXPECT_EQ(held.session.group(), group);
    EXPECT_EQ(held.jobs.size(), 0u);
}
