#include "desktop.h"

#include "api.h"
#include "autostart.h"
#include "clip.h"
#include "data_control_pasteboard.h"
#include "dazar_app.h"
#include "dbus_service.h"
#include "encoding.h"
#include "flow_theme.h"
#include "local_discovery.h"
#include "main_thread.h"
#include "qt_dialogs.h"
#include "qt_pasteboard.h"
#include "qt_settings.h"
#include "qt_views.h"
#include "secret_store.h"
#include "wayland_session.h"

#include <QApplication>
#include <QDBusConnection>
#include <QEventLoop>
#include <QProcess>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <optional>

namespace zephlink {
namespace {

constexpr std::chrono::seconds kTrayWait{15};

ClipServer relayClipServer() {
    ClipServer server;
    server.post = [](const Group& group, const Envelope& envelope) {
        API::postClip(group, envelope);
    };
    server.poll = [](const Group& group, std::int64_t cursor) {
        return API::pollClips(group, cursor);
    };
    server.readFromStart = [](const Group& group) { API::readFromStart(group); };
    server.revoke = [](const Group& group) { API::revokeRoom(group); };
    server.create = [](const std::string& address) { return API::create(address); };
    return server;
}

// The nearby-host discovery client behind the controller's port; its
// callbacks arrive through the Qt event loop.
class NearbyDiscovery : public Discovery {
public:
    NearbyDiscovery(const std::string& device, const std::string& name, DiscoveryCallback callback)
        : local_(device, name, std::move(callback),
                 [](std::function<void()> fn) { main_thread::post(std::move(fn)); }) {}
    void start() override { local_.start(); }
    void stop() override { local_.stop(); }
    std::set<std::string> announcedHosts() const override { return local_.announcedHosts(); }

private:
    LocalDiscovery local_;
};

// Started at login: the tray may come up after the program. Waits, with the
// event loop running, until it is there or the time is up; without a tray
// the program still starts, with its windows.
void waitForTray(std::chrono::milliseconds limit) {
    QEventLoop loop;
    QTimer poll;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (QSystemTrayIcon::isSystemTrayAvailable() ||
            std::chrono::steady_clock::now() >= deadline)
            loop.quit();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return;
    poll.start(250);
    loop.exec();
}

bool isLink(const QString& argument) {
    return argument.startsWith(QStringLiteral("zephlink:"));
}

QString invitationArgument(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (isLink(argument))
            return argument;
    }
    return {};
}

constexpr int kInstanceStartMs = 30000;

// A link carries a group's key, so the process named with it never stays:
// it hands the link to the running instance, or starts one without it and
// hands it over then. Its exit status, or nothing when there is no session
// bus and this process must be the instance itself.
std::optional<int> handOverLink(const QString& link, const QStringList& arguments) {
    if (forwardToRunningInstance(link))
        return 0;
    if (!QDBusConnection::sessionBus().isConnected())
        return std::nullopt;
    QStringList rest = arguments.mid(1);
    rest.removeIf(isLink);
    qint64 pid = 0;
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), rest, QString(), &pid)) {
        std::fprintf(stderr, "Zephlink could not start; open the invitation again.\n");
        return 1;
    }
    const auto alive = [pid] { return ::kill(static_cast<pid_t>(pid), 0) == 0; };
    if (waitForInstance(kInstanceStartMs, alive) && forwardToRunningInstance(link))
        return 0;
    std::fprintf(stderr, "Zephlink did not start in time; open the invitation again.\n");
    return 1;
}

// Without a session bus this process keeps the link: its copy on the
// command line (what /proc shows to everyone) is blanked.
void blankLink(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "zephlink:", 9) == 0)
            std::memset(argv[i], ' ', std::strlen(argv[i]));
    }
}

// The clipboard port the session allows.
std::unique_ptr<Pasteboard> makePasteboard(ClipboardAccess access) {
    switch (access) {
    case ClipboardAccess::DataControlExt:
        return std::make_unique<DataControlPasteboard>(DataControlPasteboard::Protocol::Ext);
    case ClipboardAccess::DataControlWlr:
        return std::make_unique<DataControlPasteboard>(DataControlPasteboard::Protocol::Wlr);
    case ClipboardAccess::XWayland:
        // Only an X11 client sees Mutter's clipboard in the background.
        return std::make_unique<QtPasteboard>(QGuiApplication::platformName() == "xcb");
    case ClipboardAccess::None:
        return std::make_unique<QtPasteboard>(false);
    case ClipboardAccess::X11:
        break;
    }
    return std::make_unique<QtPasteboard>();
}

} // namespace

int runDesktop(int argc, char** argv) {
    // Decided before Qt picks its platform: on a Wayland session the windows
    // stay on XWayland where it exists, since only there can the panel be
    // placed (Wayland when its X server does not answer), unless the user
    // chose a platform.
    const Session session = detectSession();
    const ClipboardAccess access = session.clipboard;
    if (access != ClipboardAccess::X11 && windowsOnX11(access) &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
    // Without a seat there is no keyboard to type with, and Qt 6.4's Wayland
    // text input follows the missing seat as soon as a text field is made.
    if (!session.seat && qEnvironmentVariableIsEmpty("QT_IM_MODULE"))
        qputenv("QT_IM_MODULE", "none");
    // A tray program's threads mostly wait; an allocation arena for each
    // would only hold memory.
    mallopt(M_ARENA_MAX, 2);
    QtViews::chooseRenderer();
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Zephlink"));
    QApplication::setApplicationName(QStringLiteral("Zephlink"));
    QGuiApplication::setDesktopFileName(QStringLiteral("app.zephlink.Zephlink"));
    // A tray application: hiding the last window must not end it.
    application.setQuitOnLastWindowClosed(false);

    const QStringList arguments = QApplication::arguments();
    const bool preview = arguments.contains(QStringLiteral("--ui-preview"));
    const QString link = invitationArgument(arguments);
    if (!preview && !link.isEmpty()) {
        if (const auto status = handOverLink(link, arguments))
            return *status;
        blankLink(argc, argv);
    }
    // One instance per session: a second start hands over and ends.
    if (!preview && forwardToRunningInstance(QString()))
        return 0;
    if (arguments.contains(QString::fromLatin1(kAutostartSwitch)))
        waitForTray(kTrayWait);
    // Every view draws with the bundle's faces, whatever the system has.
    FlowTheme::registerFonts();

    const std::unique_ptr<Pasteboard> pasteboard = makePasteboard(access);
    QtSettings settings;
    QtDialogs dialogs;
    Autostart autostart(Autostart::defaultConfigHome(),
                        Autostart::commandFor(QCoreApplication::applicationFilePath()));

    AppEnvironment env;
    env.pasteboard = pasteboard.get();
    env.settings = &settings;
    env.dialogs = &dialogs;
    env.autostart = &autostart;
    env.discovery = [](const std::string& device, const std::string& name,
                       DiscoveryCallback callback) -> std::unique_ptr<Discovery> {
        return std::make_unique<NearbyDiscovery>(device, name, std::move(callback));
    };
    env.server = relayClipServer();
    env.saveSecret = [](const std::optional<Group>& group) { SecretStore::save(group); };
    env.arguments = arguments;
    env.hostName = [] { return QSysInfo::machineHostName(); };
    env.now = [] { return nowMilliseconds(); };
    env.identifier = [] { return identifier(); };
    env.background = [](std::function<std::function<void()>()> job) {
        main_thread::background(std::move(job));
    };
    env.after = [](int ms, std::function<void()> fn) {
        QTimer::singleShot(ms, qApp, std::move(fn));
    };
    env.terminate = [] { QCoreApplication::quit(); };

    DazarApp app(std::move(env));
    QtViews views(&app.flow());
    app.setViews(&views);

    DBusService bus(&app);
    // Two starts at the same moment both find no instance; the one that
    // loses the name hands over as well.
    if (!preview && !bus.registerOnSessionBus() && forwardToRunningInstance(QString()))
        return 0;

    QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                     [&app] { app.applicationWillTerminate(); });
    app.applicationDidFinishLaunching();
    if (!link.isEmpty())
        app.openLink(link);

    const int status = QApplication::exec();
    main_thread::close();
    return status;
}

} // namespace zephlink
