// Launch, windows, D-Bus, the alerts and the login entry.
#include "dbus_service.h"
#include "fakes.h"
#include "qt_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QThread>
#include <QTimer>

using namespace zephlink;
using namespace zephlink::test;

// The alerts need a platform, not a display.
[[maybe_unused]] static const bool offscreen = qputenv("QT_QPA_PLATFORM", "offscreen");

TEST(Launch, AWelcomedUserGetsThePanelADesignPreviewStartsNothing) {
    Harness h;
    h.settings.setBoolean("flowWelcomed", true);
    h.hostName.clear();
    h.launch();
    EXPECT_EQ(h.announcedName, "Mac");
    EXPECT_TRUE(h.views.panel && !h.views.welcome);
    Harness preview({"zephlink", "--ui-preview", "--preview-popover", "--preview-clips"});
    preview.launch();
    preview.app->toggleSync();
    preview.app->connectFromWelcome();
    preview.app->setStartAtLogin(true);
    EXPECT_FALSE(preview.app->isRunning() || preview.settings.boolean("flowWelcomed") ||
                 preview.app->startAtLogin() || preview.pasteboard.listener);
}

TEST(Windows, TheTrayTogglesThePanelWelcomeAndPanelNeverShowTogether) {
    Harness h;
    h.settings.setBoolean("localPaused", true);
    h.launch();
    h.views.onTray();
    EXPECT_TRUE(h.views.panel && !h.views.welcome);
    EXPECT_EQ(h.views.resizes, 1);
    h.app->flow().showSettings();
    h.views.onTray();
    EXPECT_FALSE(h.views.panel);
    EXPECT_FALSE(h.app->applicationShouldHandleReopen());
    EXPECT_TRUE(h.views.panel && !h.app->flow().settings());
    h.app->show();
    EXPECT_TRUE(h.views.welcome && !h.views.panel);
    h.views.panel = true; // both shown, as only a test arranges
    h.app->connectFromWelcome();
    EXPECT_TRUE(h.app->isRunning() && h.settings.boolean("flowWelcomed"));
    EXPECT_TRUE(h.views.panel && !h.views.welcome);
}

// A queued action acts on the values in force when it was called; the
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
    h.runJob();
    h.app->leave();
    bus.SetServer("http://10.0.0.1:8787");
    bus.Create();
    bus.SetServer("http://10.0.0.2:8787");
    QCoreApplication::sendPostedEvents();
    h.runJob();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"read " + a.room, "create http://10.0.0.1:8787"}));
}

// The alerts stay above the panel; screen readers announce them by their
// question and name the address field.
TEST(Dialogs, StayOnTopAndAreNamedForScreenReaders) {
    QtDialogs dialogs;
    QStringList names;
    const auto inspect = [&] {
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            ASSERT_NE(dialog, nullptr);
            EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
            auto* field = dialog->findChild<QLineEdit*>();
            names << (field ? field->accessibleName() : dialog->accessibleName());
            dialog->close();
        });
    };
    inspect();
    EXPECT_FALSE(dialogs.confirm("Join?", "Joining contacts…", "Join", "Cancel"));
    inspect();
    EXPECT_EQ(dialogs.askAddress("Copy", "Use the relay address", "http://a"), std::nullopt);
    EXPECT_EQ(names, (QStringList{"Join?", "Relay address"}));
}

// The entry, run by GLib's launcher, starts the program with --autostart
// even from a path that needs quoting; its state is what a session would
// make of the file as others left it.
TEST(Autostart, TheEntryStartsTheProgramAndItsStateIsReadFromTheFile) {
    QTemporaryDir home;
    const QString program = home.filePath("my apps/zeph$li\\nk");
    QFile script(program);
    ASSERT_TRUE(QDir().mkpath(home.filePath("my apps")) && script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/ran\"\n");
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    script.close();
    Autostart autostart(home.filePath("config"), program);
    ASSERT_TRUE(autostart.setEnabled(true));
    EXPECT_EQ(QProcess::execute("gio", {"launch", autostart.path()}), 0);
    QFile ran(home.filePath("my apps/ran"));
    for (int i = 0; i < 100 && ran.size() == 0; ++i)
        QThread::msleep(50);
    ASSERT_TRUE(ran.open(QIODevice::ReadOnly));
    EXPECT_EQ(ran.readAll(), (program + "\n--autostart\n").toUtf8());

    const QByteArray head = "[Desktop Entry]\nExec=sh\n";
    const std::pair<QByteArray, bool> cases[] = {
        {head + "Hidden = true\n", false},
        {head + "X-GNOME-Autostart-enabled=false\n", false},
        {head + "TryExec=/nonexistent/zephlink\n", false},
        {head + "TryExec=sh\n", true},
        {head + "[Desktop Action x]\nHidden=true\n", true},
        {"[Other]\nType=Application\n", false},
    };
    for (const auto& [text, on] : cases) {
        QFile entry(autostart.path());
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly) && entry.write(text) == text.size());
        entry.close();
        EXPECT_EQ(autostart.enabled(), on) << text.toStdString();
    }
    ASSERT_TRUE(autostart.setEnabled(false) && autostart.setEnabled(false));
    EXPECT_FALSE(autostart.enabled());
}

// The settings switch as the view calls it; changes made elsewhere show
// when the settings open, and a failure in the status.
TEST(Autostart, TheSwitchWritesTheEntryAndSaysWhenItCannot) {
    Harness h;
    h.launch();
    FlowModel& flow = h.app->flow();
    flow.switchStartAtLogin(true);
    EXPECT_TRUE(QFile::exists(h.autostart.path()));
    ASSERT_TRUE(QDir(h.configHome.filePath("autostart")).removeRecursively());
    QFile blocker(h.configHome.filePath("autostart")); // a file where the folder goes
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    flow.switchStartAtLogin(true);
    EXPECT_FALSE(flow.startAtLogin());
    EXPECT_EQ(flow.status(), "Start at login could not be changed in " + h.autostart.path());
}
