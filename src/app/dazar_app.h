#pragma once

#include "autostart.h"
#include "blocked_hint.h"
#include "flow_controller.h"
#include "flow_model.h"
#include "ports.h"
#include "records.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
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

// The application delegate and single controller. Every method runs on the
// main thread; nothing here is locked.
class DazarApp : public QObject, public FlowController {
    Q_OBJECT

public:
    static constexpr int kHistoryLength = 20;
    static constexpr std::size_t kSeenLimit = 1000;
    static constexpr std::int64_t kFreshnessMs = 120000;
    static constexpr int kMaxRetrySeconds = 30;
    static constexpr int kCaptureIntervalMs = 600;

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

    // Capture.
    void capture();
    bool sensitive() const;
    void writeClipboard(const QString& text) override;
    void autoChanged();

    // Sync engine.
    void send(const QString& text) override;
    Q_INVOKABLE void sendClipboard() override;
    Q_INVOKABLE void sendText();
    void poll(const Group& group, std::int64_t generation, int delay);
    void receive(const Envelope& envelope, const Group& group);
    void refreshHistory();
    void selectHistory(int index);
    Q_INVOKABLE void copyHistory();

    // Pairing.
    void adopt(const Group& group);
    Q_INVOKABLE void create();
    Q_INVOKABLE void join();
    Q_INVOKABLE void copyInvite();
    // The invitation for another device at address, without asking: what the
    // dialog of copyInvite does once answered.
    void copyInviteFor(const QString& address);
    Q_INVOKABLE void leave();
    Q_INVOKABLE void reset();
    bool confirm(const QString& message, const QString& information);
    void connectFromWelcome() override;
    // A "zephlink://pair?" link opened on this desktop: it goes into the
    // invitation field and is joined.
    void openLink(const QString& link);

    // Nearby devices.
    Q_INVOKABLE void start() override;
    Q_INVOKABLE void stop() override;
    void discovered(const std::optional<LocalSession>& session,
                    const std::optional<std::string>& server);
    Q_INVOKABLE void toggleSync();

    // FlowController.
    QString statusText() const override { return status_; }
    std::vector<NearbyDevice> peers() const override { return peers_; }
    QStringList history() const override { return history_; }
    bool isRunning() const override { return running_; }
    bool automaticSending() const override { return automatic_; }
    bool designPreview() const override { return preview_; }
    bool clipboardPanelVisible() const override;
    void resizeClipboardPanel() override;
    void setStatusText(const QString& text) override;
    void setAutomaticSending(bool on) override;
    bool startAtLogin() const override;
    void setStartAtLogin(bool on) override;

    // The windows, when they can only be made once the view model exists.
    void setViews(Views* views) { env_.views = views; }

    // Read access for the D-Bus adaptor and tests.
    FlowModel& flow() { return flow_; }
    const std::optional<Group>& group() const { return group_; }
    std::int64_t generation() const { return generation_; }
    std::int64_t cursor() const { return cursor_; }
    std::int64_t lastTime() const { return lastTime_; }
    const std::string& lastID() const { return lastID_; }
    const std::set<std::string>& seen() const { return seen_; }
    const std::string& device() const { return device_; }
    bool busy() const { return busy_; }
    bool paused() const { return paused_; }
    std::int64_t receiveAfter() const { return receiveAfter_; }
    const QString& devicesLabel() const { return devicesLabel_; }
    const QString& toggleTitle() const { return toggleTitle_; }
    const std::string& hostID() const { return hostID_; }
    long baseline() const { return baseline_; }
    QString server() const { return server_; }
    void setServer(const QString& text) { server_ = text; }
    QString invitation() const { return invitation_; }
    void setInvitation(const QString& text) { invitation_ = text; }
    QString compose() const { return compose_; }
    void setCompose(const QString& text) { compose_ = text; }
    const QStringList& historyItems() const { return historyItems_; }
    QString preview() const { return preview_text_; }

    // Status texts other code and tests compare against.
    static const QString kPreviewStatus;
    static const QString kBlockedStatus;

private:
    template <typename Result>
    void background(std::function<Result()> work, std::function<void(Result)> done);
    void showMessage(const QString& text);
    // The completion of create and join: a keychain failure is shown.
    void adoptShowingFailure(const Group& group);
    void pollFinished(const Group& group, std::int64_t generation, int delay,
                      const std::optional<Batch>& batch, const QString& error);
    void pushHistory(const QString& text);
    QString connectedStatus() const;
    bool sharable(QString* text) const;

    AppEnvironment env_;
    bool preview_ = false;

    std::optional<Group> group_;
    bool running_ = false;
    std::int64_t generation_ = 0;
    std::int64_t cursor_ = 0;
    long baseline_ = 0;
    std::int64_t lastTime_ = 0;
    std::string lastID_;
    std::set<std::string> seen_;
    QStringList history_;
    std::string device_;
    bool busy_ = false;
    QString server_;
    QString invitation_;
    QString status_ = QStringLiteral("Not paired");
    bool automatic_ = false;
    QStringList historyItems_;
    int historyIndex_ = 0;
    QString preview_text_;
    QString compose_;
    QString toggleTitle_ = QStringLiteral("Resume sync");
    FlowModel flow_;
    QTimer* timer_ = nullptr;
    std::unique_ptr<Discovery> local_;
    std::string hostID_;
    BlockedHint blockedHint_;
    bool blocked_ = false; // discovery looks blocked by a firewall
    std::vector<NearbyDevice> peers_;
    QString devicesLabel_ = QStringLiteral("Looking for your devices…");
    bool paused_ = false;
    std::int64_t receiveAfter_ = 0;
};

} // namespace zephlink
