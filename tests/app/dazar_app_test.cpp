// The controller as a whole: launch, windows, and the concerns wired to one
// another through the names the views and the D-Bus service call.
#include "clip.h"
#include "dbus_service.h"
#include "harness.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

TEST(Launch, AFirstRunStoresTheDeviceStartsSyncAndShowsTheWelcome) {
    Harness h;
    h.launch();
    const auto stored = h.settings.string("device");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(validID(stored->toStdString())) << stored->toStdString();
    EXPECT_EQ(h.app->device(), stored->toStdString());
    EXPECT_EQ(h.discovery->device, h.app->device());
    EXPECT_EQ(h.discovery->name, "desk");
    EXPECT_TRUE(h.views.isSetUp);
    EXPECT_FALSE(h.views.preview);
    EXPECT_TRUE(h.app->isRunning());
    EXPECT_EQ(h.discovery->starts, 1);
    EXPECT_EQ(h.app->flow().status(), "Discovering devices on trusted Wi-Fi…");
    EXPECT_TRUE(h.views.welcome);
    EXPECT_FALSE(h.views.panel);
    EXPECT_TRUE(h.app->automaticSending());

    Harness later;
    later.settings = h.settings;
    later.launch();
    EXPECT_EQ(later.app->device(), stored->toStdString());
}

TEST(Launch, RemembersThePauseAndTheWelcome) {
    Harness h;
    h.hostName.clear();
    h.settings.setBoolean("localPaused", true);
    h.settings.setBoolean("flowWelcomed", true);
    h.launch();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_EQ(h.discovery->starts, 0);
    EXPECT_EQ(h.discovery->name, "Mac");
    EXPECT_EQ(h.app->flow().status(), "Paused · Resume to discover nearby devices");
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome);
}

TEST(Launch, DesignPreviewStartsNothing) {
    Harness h({"zephlink", "--ui-preview", "--preview-popover", "--preview-clips"});
    h.launch();
    EXPECT_EQ(h.app->flow().status(), "Design preview · discovery is off");
    EXPECT_TRUE(h.views.preview);
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome);
    EXPECT_EQ(h.discovery, nullptr);
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_EQ(h.app->flow().clips().size(), 5);
    EXPECT_FALSE(h.pasteboard.listener);

    h.app->toggleSync();
    EXPECT_FALSE(h.app->isRunning()) << "pause and resume do nothing in the preview";
    h.app->connectFromWelcome();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_FALSE(h.settings.boolean("flowWelcomed"));

    Harness alone({"zephlink", "--ui-preview"});
    alone.launch();
    EXPECT_TRUE(alone.views.welcome);
    EXPECT_FALSE(alone.views.panel);
    EXPECT_TRUE(alone.app->flow().clips().isEmpty());
}

TEST(Windows, TheTrayButtonTogglesThePanelAndQuitStopsDiscovery) {
    Harness h;
    h.launch();
    ASSERT_TRUE(h.views.onTray);
    h.views.onTray();
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome) << "the two are never shown together";
    h.app->flow().showSettings();
    h.app->flow().setSelected(QStringLiteral("x"));
    h.views.onTray();
    EXPECT_FALSE(h.views.panel);
    EXPECT_FALSE(h.app->applicationShouldHandleReopen());
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.app->flow().settings());
    EXPECT_FALSE(h.app->flow().selected().isValid());
    EXPECT_FALSE(h.app->applicationShouldHandleReopen());
    EXPECT_TRUE(h.views.panel) << "reopen never hides";
    h.app->show();
    EXPECT_FALSE(h.views.panel);
    EXPECT_TRUE(h.views.welcome);
    h.app->quit();
    EXPECT_EQ(h.terminated, 1);
    h.app->applicationWillTerminate();
    EXPECT_EQ(h.discovery->stops, 1);
}

TEST(Windows, ConnectFromWelcomeStartsRemembersAndOpensThePanel) {
    Harness h;
    h.settings.setBoolean("localPaused", true);
    h.launch();
    h.app->connectFromWelcome();
    EXPECT_TRUE(h.app->isRunning());
    EXPECT_TRUE(h.settings.boolean("flowWelcomed"));
    EXPECT_FALSE(h.views.welcome);
    EXPECT_TRUE(h.views.panel);
}

// One walk through the concerns as they reach one another: discovery gives a
// group, clips come in and go out, pausing and pairing take it away again.
TEST(Controller, TheConcernsReachOneAnother) {
    Harness h;
    h.now = nowMilliseconds() - 60000;
    h.launch();
    h.now += 60000;
    const Group group = freshGroup("http://127.0.0.1:8788");
    h.discovery->callback(sessionFor(group, {{std::string(32, 'e'), "phone", "android"}}),
                          group.server);
    EXPECT_EQ(h.status(), "Connected · trusted local network");
    EXPECT_EQ(h.app->flow().devices().size(), 1);
    EXPECT_TRUE(h.app->paired());

    // A clip arrives: on the clipboard as an own write, in the history.
    const Envelope clip = sealedAt("from the phone", group, h.now - 10);
    h.server.polls.push_back([clip] { return batchOf({clip}, 1); });
    ASSERT_TRUE(h.jobs.run());
    EXPECT_EQ(h.pasteboard.text, "from the phone");
    EXPECT_EQ(h.app->flow().clips(), QStringList{"from the phone"});
    EXPECT_EQ(h.status(), "Connected · trusted local network");
    h.pasteboard.listener();
    h.pasteboard.copy("from the phone"); // a clipboard manager takes it over
    h.pasteboard.listener();
    EXPECT_EQ(h.jobs.size(), 1u) << "the own write is not sent back";

    // A copy leaves on the clipboard's signal; of those made during its post
    // the latest leaves when it ends. An explicit send then is refused.
    for (const char* text : {"from the desk", "too soon", "latest"}) {
        h.pasteboard.copy(text);
        h.pasteboard.listener();
    }
    h.app->send("explicit");
    EXPECT_EQ(h.status(),
              "Previous operation in progress; this clip was not sent. Retry explicitly.");
    h.jobs.queue.pop_front(); // the next poll waits
    h.jobs.run();
    h.jobs.run();
    ASSERT_EQ(h.server.posted.size(), 2u);
    EXPECT_EQ(h.server.posted[0].origin, h.app->device());
    EXPECT_EQ(openClip(h.server.posted[1], group), "latest");
    EXPECT_EQ(h.app->flow().status(), "Sent to nearby devices");
    h.pasteboard.copy("zephlink://pair?x");
    h.app->sendClipboard();
    EXPECT_EQ(h.status(), "No shareable text; sensitive content and invitations are skipped.");

    // Automatic sending off; the switch alone sends nothing.
    h.app->setAutomaticSending(false);
    h.pasteboard.copy("while manual");
    h.app->setAutomaticSending(true);
    h.pasteboard.listener();
    EXPECT_EQ(h.jobs.size(), 0u);

    // The host goes: group and history with it.
    h.discovery->callback(std::nullopt, std::nullopt);
    EXPECT_FALSE(h.app->paired());
    EXPECT_TRUE(h.app->flow().clips().isEmpty());

    // Paused, a copy is dealt with; resumed, older clips are ignored.
    h.app->toggleSync();
    h.pasteboard.copy("while paused");
    h.now += 1000;
    h.app->toggleSync();
    h.discovery->callback(sessionFor(group), group.server);
    h.pasteboard.listener();
    h.server.polls.push_back([&] { return batchOf({sealedAt("old", group, h.now - 1)}, 2); });
    h.jobs.run();
    EXPECT_EQ(h.jobs.size(), 1u) << "only the next poll";
    EXPECT_TRUE(h.app->flow().clips().isEmpty());
    EXPECT_EQ(h.status(), "Ready · waiting for nearby devices");

    // Joining by a link, once agreed, takes the relay group over, paused.
    const Group relay = freshGroup("http://192.168.1.20:8787");
    h.jobs.queue.clear();
    h.dialogs.consent = true;
    h.app->openLink(QString::fromStdString(relay.invitation()));
    EXPECT_TRUE(h.app->isRunning()) << "not before the relay accepts";
    h.jobs.run();
    EXPECT_EQ(h.secrets, std::vector<std::optional<Group>>{relay});
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_FALSE(h.app->automaticSending());
    EXPECT_EQ(h.app->server(), QString::fromStdString(relay.server));
    EXPECT_EQ(h.status(), "Paired · paused. Resume sync on both devices.");
    h.app->leave();
    EXPECT_FALSE(h.app->paired());
}

// A queued action acts on the values in force when it was called, and the
// invitation, which carries the group's key, cannot be read back.
TEST(DBus, QueuedActionsKeepTheirValuesAndTheInvitationIsWriteOnly) {
    Harness h;
    DBusService bus(h.app.get());
    EXPECT_EQ(bus.metaObject()->indexOfProperty("Invitation"), -1);
    const Group a = freshGroup("http://192.168.1.20:8787");
    bus.SetInvitation(QString::fromStdString(a.invitation()));
    bus.Join();
    bus.SetInvitation(QString::fromStdString(freshGroup().invitation()));
    QCoreApplication::sendPostedEvents();
    h.jobs.run();
    EXPECT_EQ(h.server.calls, std::vector<std::string>{"read " + a.room});
    h.app->leave();

    h.server.createResult = [](const std::string& address) { return freshGroup(address); };
    bus.SetServer("http://10.0.0.1:8787");
    bus.Create();
    bus.SetServer("http://10.0.0.2:8787");
    QCoreApplication::sendPostedEvents();
    h.jobs.run();
    EXPECT_EQ(h.server.calls.back(), "create http://10.0.0.1:8787");
}

// A desktop that shows the clipboard to no background program: the status
// says so wherever it would say connected, and clips still arrive.
TEST(Controller, ADesktopWithoutBackgroundClipboardSaysSo) {
    const QString blocked =
        QStringLiteral("This desktop does not let background apps read the clipboard");
    Harness h;
    h.pasteboard.inBackground = false;
    h.now = nowMilliseconds() - 1000;
    h.launch();
    h.now += 1000;
    const Group group = freshGroup("http://127.0.0.1:8788");
    h.discovery->callback(sessionFor(group), group.server);
    EXPECT_EQ(h.status(), blocked);
    h.server.polls.push_back([&] { return batchOf({sealedAt("received", group, h.now)}, 1); });
    ASSERT_TRUE(h.jobs.run());
    EXPECT_EQ(h.app->flow().clips(), QStringList{"received"});
    EXPECT_EQ(h.status(), blocked);
    h.discovery->callback(sessionFor(group, {{std::string(32, 'e'), "phone", "android"}}),
                          group.server);
    EXPECT_EQ(h.status(), blocked);
}
