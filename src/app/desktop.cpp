#include "desktop.h"

#include "api.h"
#include "clip.h"
#include "dazar_app.h"
#include "dbus_service.h"
#include "encoding.h"
#include "local_discovery.h"
#include "main_thread.h"
#include "qt_dialogs.h"
#include "qt_pasteboard.h"
#include "qt_settings.h"
#include "qt_views.h"
#include "secret_store.h"

#include <QApplication>
#include <QSysInfo>
#include <QTimer>
#include <malloc.h>

namespace zephlink {
namespace {

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

private:
    LocalDiscovery local_;
};

QString invitationArgument(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument.startsWith(QStringLiteral("zephlink:")))
            return argument;
    }
    return {};
}

} // namespace

int runDesktop(int argc, char** argv) {
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
    // One instance per session: a second start hands over and ends.
    if (!preview && forwardToRunningInstance(link))
        return 0;

    QtPasteboard pasteboard;
    QtSettings settings;
    QtDialogs dialogs;

    AppEnvironment env;
    env.pasteboard = &pasteboard;
    env.settings = &settings;
    env.dialogs = &dialogs;
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
    if (!preview && !bus.registerOnSessionBus() && forwardToRunningInstance(link))
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
