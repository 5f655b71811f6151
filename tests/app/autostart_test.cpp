#include "autostart.h"
#include "harness.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace zephlink;

namespace {

QString run(const QString& program, const QStringList& arguments, int* status = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(20000))
        process.kill();
    if (status)
        *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Turned on, the entry is one a session starts: a valid desktop entry whose
// Exec line, run by GLib's launcher, starts the program with --autostart
// even from a path that needs quoting. Turned off, it is gone.
TEST(Autostart, OnWritesAnEntryThatStartsTheProgramOffRemovesIt) {
    QTemporaryDir home;
    const QString programDir = home.filePath(QStringLiteral("my apps"));
    const QString program = programDir + QStringLiteral("/zeph$li\\nk");
    const QString ran = home.filePath(QStringLiteral("ran"));
    ASSERT_TRUE(QDir().mkpath(programDir));
    writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + ran.toUtf8() + "'\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    Autostart autostart(home.filePath(QStringLiteral("config")), program);
    const QString entry =
        home.filePath(QStringLiteral("config/autostart/app.zephlink.Zephlink.desktop"));
    EXPECT_EQ(autostart.path(), entry);
    EXPECT_FALSE(autostart.enabled()); // off by default

    ASSERT_TRUE(autostart.setEnabled(true));
    EXPECT_TRUE(autostart.enabled());
    const QByteArray text = readFile(entry);
    for (const char* line : {"X-GNOME-Autostart-enabled=true\n",
                             "X-GNOME-Autostart-Delay=", "TryExec=", "Type=Application\n"})
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.toStdString();
    int status = -1;
    const QString validation = run(QStringLiteral("desktop-file-validate"), {entry}, &status);
    EXPECT_EQ(status, 0) << validation.toStdString();
    EXPECT_TRUE(validation.isEmpty()) << validation.toStdString();

    run(QStringLiteral("gio"), {QStringLiteral("launch"), entry}, &status);
    EXPECT_EQ(status, 0);
    for (int i = 0; i < 100 && readFile(ran).isEmpty(); ++i)
        QThread::msleep(50);
    EXPECT_EQ(readFile(ran), (program + QStringLiteral("\n--autostart\n")).toUtf8());

    ASSERT_TRUE(autostart.setEnabled(false));
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_FALSE(autostart.enabled());
    EXPECT_TRUE(autostart.setEnabled(false)); // nothing to remove is no failure
}

// The state shown is what a session would do with the file as it is now.
TEST(Autostart, StateIsReadFromTheFileAsOthersLeftIt) {
    struct Case {
        const char* name;
        QByteArray text;
        bool on;
    };
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Zephlink\nExec=sh\n";
    const Case cases[] = {
        {"plain entry", head, true},
        {"hidden", head + "Hidden=true\n", false},
        {"hidden with spaces", head + "Hidden = true\n", false},
        {"hidden false", head + "Hidden=false\n", true},
        {"disabled for GNOME", head + "X-GNOME-Autostart-enabled=false\n", false},
        {"program uninstalled", head + "TryExec=/nonexistent/zephlink\n", false},
        {"program on PATH", head + "TryExec=sh\n", true},
        {"hidden in another group", head + "[Desktop Action x]\nHidden=true\n", true},
        {"no entry group", "[Other]\nType=Application\n", false},
        {"empty", "", false},
    };
    QTemporaryDir home;
    Autostart autostart(home.path(), QStringLiteral("sh"));
    ASSERT_TRUE(QDir().mkpath(home.filePath(QStringLiteral("autostart"))));
    for (const Case& c : cases) {
        writeFile(autostart.path(), c.text);
        EXPECT_EQ(autostart.enabled(), c.on) << c.name;
    }
    // Turning it on again replaces what was there.
    writeFile(autostart.path(), head + "Hidden=true\n");
    ASSERT_TRUE(autostart.setEnabled(true));
    EXPECT_TRUE(autostart.enabled());
}

TEST(Autostart, ConfigHomeHonoursAnAbsoluteXdgConfigHomeOnly) {
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const std::pair<const char*, QString> cases[] = {
        {"/tmp/elsewhere", QStringLiteral("/tmp/elsewhere")},
        {"relative/dir", QDir::homePath() + QStringLiteral("/.config")},
        {"", QDir::homePath() + QStringLiteral("/.config")},
    };
    for (const auto& [value, expected] : cases) {
        qputenv("XDG_CONFIG_HOME", value);
        EXPECT_EQ(Autostart::defaultConfigHome(), expected) << value;
    }
    if (wasSet)
        qputenv("XDG_CONFIG_HOME", saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

// The settings switch through the view model, as the view calls it.
TEST(Autostart, TheSettingsSwitchWritesTheEntryAndShowsChangesMadeElsewhere) {
    test::Harness h;
    h.launch();
    FlowModel& flow = h.app->flow();
    flow.refresh();
    EXPECT_FALSE(flow.startAtLogin()); // off by default

    flow.switchStartAtLogin(true);
    EXPECT_TRUE(QFile::exists(h.autostart.path()));
    EXPECT_TRUE(flow.startAtLogin());

    // Disabled by another tool: opening the settings page shows it.
    QFile entry(h.autostart.path());
    ASSERT_TRUE(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    flow.showSettings();
    EXPECT_FALSE(flow.startAtLogin());

    flow.switchStartAtLogin(true);
    EXPECT_TRUE(flow.startAtLogin());
    flow.switchStartAtLogin(false);
    EXPECT_FALSE(QFile::exists(h.autostart.path()));
    EXPECT_FALSE(flow.startAtLogin());

    // Where the entry cannot be written, the status says so.
    QFile blocker(h.configHome.filePath(QStringLiteral("autostart")));
    QDir(blocker.fileName()).removeRecursively();
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    flow.switchStartAtLogin(true);
    EXPECT_FALSE(flow.startAtLogin());
    EXPECT_TRUE(flow.status().startsWith(QStringLiteral("Start at login could not be changed")))
        << flow.status().toStdString();
}
