#include "dbus_service.h"

#include "dazar_app.h"
#include "trace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

namespace zephlink {

DBusService::DBusService(DazarApp* app, QObject* parent) : QObject(parent), app_(app) {}

bool DBusService::registerOnSessionBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!bus.registerObject(QString::fromLatin1(kDBusPath), this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties))
        return false;
    if (!bus.registerService(QString::fromLatin1(kDBusService))) {
        bus.unregisterObject(QString::fromLatin1(kDBusPath));
        return false;
    }
    return true;
}

QString DBusService::status() const {
    return app_ ? app_->statusText() : QString();
}
QString DBusService::server() const {
    return app_ ? app_->server() : QString();
}
bool DBusService::running() const {
    return app_ && app_->isRunning();
}
bool DBusService::paired() const {
    return app_ && app_->paired();
}
QString DBusService::device() const {
    return app_ ? QString::fromStdString(app_->device()) : QString();
}

int DBusService::historyCount() const {
    return app_ ? static_cast<int>(app_->history().size()) : 0;
}

void DBusService::later(std::function<void(DazarApp&)> action) {
    QTimer::singleShot(0, this, [app = app_, action = std::move(action)] {
        if (app)
            action(*app);
    });
}

void DBusService::SetServer(const QString& address) {
    if (app_)
        app_->setServer(address);
}

void DBusService::SetInvitation(const QString& link) {
    if (app_)
        app_->setInvitation(link);
}

void DBusService::Create() {
    if (app_)
        later([address = app_->server()](DazarApp& app) { app.create(address); });
}
void DBusService::Join() {
    if (app_)
        later([link = app_->invitation()](DazarApp& app) { app.join(link); });
}
void DBusService::CopyInvite() {
    later([](DazarApp& app) { app.copyInvite(); });
}
void DBusService::CopyInviteFor(const QString& address) {
    later([address](DazarApp& app) { app.copyInviteFor(address); });
}

void DBusService::Leave() {
    later([](DazarApp& app) { app.leave(); });
}
void DBusService::Reset() {
    later([](DazarApp& app) { app.reset(); });
}
void DBusService::ToggleSync() {
    later([](DazarApp& app) { app.toggleSync(); });
}
void DBusService::SendClipboard() {
    later([](DazarApp& app) { app.sendClipboard(); });
}
void DBusService::Show() {
    later([](DazarApp& app) { app.show(); });
}
void DBusService::ShowPopover() {
    trace::step("show-request");
    later([](DazarApp& app) { app.showPopover(); });
}
void DBusService::Quit() {
    later([](DazarApp& app) { app.quit(); });
}

void DBusService::Activate() {
    later([](DazarApp& app) { app.applicationShouldHandleReopen(); });
}

void DBusService::OpenLink(const QString& link) {
    later([link](DazarApp& app) { app.openLink(link); });
}

bool forwardToRunningInstance(const QString& link) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    // A plain call, not an interface proxy: a proxy introspects the other
    // instance first, and a hung instance would hold up this start.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kDBusService), QString::fromLatin1(kDBusPath),
        QString::fromLatin1(kDBusInterface),
        link.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("OpenLink"));
    if (!link.isEmpty())
        call << link;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kForwardTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool waitForInstance(int ms, const std::function<bool()>& alive) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && alive()) {
        if (bus.interface()->isServiceRegistered(QString::fromLatin1(kDBusService)))
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace zephlink
