#pragma once

// The application delegate: launch, windows and quit, and the wiring of the
// controller's concerns (capture, sync engine, pairing, nearby devices)
// around their shared session state; the settings the views switch.
#include "autostart.h"
#include "capture.h"
#include "flow_controller.h"
#include "flow_model.h"
#include "nearby.h"
#include "pairing.h"
#include "ports.h"
#include "records.h"
#include "session_state.h"
#include "sync_engine.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zephlink {

// Everything the controller needs from outside: the desktop's ports, the
// clip server, the keychain, the clock and the ways to run work later.
struct AppEnvironment {
    Pasteboard* pasteboard = nullptr;
    Settings* settings = nullptr;
    Views* views = nullptr;
    Dialogs* dialogs = nullptr;
    DiscoveryFactory discovery;     // empty: no nearby discovery
    Autostart* autostart = nullptr; // the login entry; none: the switch does nothing
    ClipServer server;
    SecretSaver saveSecret;
    QStringList arguments;
    std::function<QString()> hostName;
    std::function<std::int64_t()> now;       // wall-clock ms since the Unix epoch
    std::function<std::string()> identifier; // a fresh device identifier
    // Runs a blocking job off the main thread, then its continuation on it.
    std::function<void(std::function<std::function<void()>()>)> background;
    // Runs fn on the main thread after ms milliseconds.
    std::function<void(int ms, std::function<void()>)> after;
    std::function<void()> terminate;
};

// The single controller. Every method runs on the main thread; nothing here
// is locked.
class DazarApp : public QObject, public FlowController {
    Q_OBJECT

public:
    explicit DazarApp(AppEnvironment environment, QObject* parent = nullptr);
    ~DazarApp() override;

    // Lifecycle and windows.
    void applicationDidFinishLaunching();
    void setup();
    Q_INVOKABLE void showPopover();
    Q_INVOKABLE void show() override;
    bool applicationShouldHandleReopen();
    Q_INVOKABLE void quit() override;
    void applicationWillTerminate();
    void connectFromWelcome() override;

    // Named actions of the D-Bus service and the program's start.
    Q_INVOKABLE void create() { pairing_.create(); }
    void create(const QString& address) { pairing_.create(address); }
    Q_INVOKABLE void join() { pairing_.join(); }
    void join(const QString& link) { pairing_.join(link); }
    Q_INVOKABLE void copyInvite() { pairing_.copyInvite(); }
    void copyInviteFor(const QString& address) { pairing_.copyInviteFor(address); }
    Q_INVOKABLE void leave() { pairing_.leave(); }
    Q_INVOKABLE void reset() { pairing_.reset(); }
    void openLink(const QString& link) { pairing_.openLink(link); }
    Q_INVOKABLE void toggleSync();
    QString server() const { return pairing_.server(); }
    void setServer(const QString& text) { pairing_.setServer(text); }
    QString invitation() const { return pairing_.invitation(); }
    void setInvitation(const QString& text) { pairing_.setInvitation(text); }
    bool paired() const { return session_.group().has_value(); }
    const std::string& device() const { return device_; }

    // FlowController.
    QString statusText() const override { return session_.status(); }
    std::vector<NearbyDevice> peers() const override { return nearby_.peers(); }
    QStringList history() const override { return sync_.history(); }
    bool isRunning() const override { return session_.running(); }
    bool automaticSending() const override { return capture_.automatic(); }
    bool designPreview() const override { return preview_; }
    bool clipboardPanelVisible() const override;
    void resizeClipboardPanel() override;
    void setStatusText(const QString& text) override { session_.setStatus(text); }
    void setAutomaticSending(bool on) override;
    bool startAtLogin() const override;
    void setStartAtLogin(bool on) override;
    Q_INVOKABLE void start() override { nearby_.start(); }
    Q_INVOKABLE void stop() override { nearby_.stop(); }
    void writeClipboard(const QString& text) override { capture_.writeClipboard(text); }
    void send(const QString& text) override { sync_.send(text); }
    Q_INVOKABLE void sendClipboard() override { sync_.sendClipboard(); }

    // The view model the windows show.
    FlowModel& flow() { return flow_; }
    // The windows, when they can only be made once the view model exists.
    void setViews(Views* views) { env_.views = views; }

private:
    AppEnvironment env_;
    bool preview_ = false;
    std::string device_;
    FlowModel flow_;
    SessionState session_;
    Capture capture_;
    SyncEngine sync_;
    Pairing pairing_;
    Nearby nearby_;
};

} // namespace zephlink
