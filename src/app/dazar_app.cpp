#include "dazar_app.h"

#include <QPointer>
#include <exception>

namespace zephlink {
namespace {

const QString kPreviewStatus = QStringLiteral("Design preview · discovery is off");

} // namespace

DazarApp::DazarApp(AppEnvironment environment, QObject* parent)
    : QObject(parent), env_(std::move(environment)),
      preview_(env_.arguments.contains(QStringLiteral("--ui-preview"))),
      session_([this] { flow_.refresh(); }),
      capture_(*env_.pasteboard, session_, [this](const QString& text) { sync_.sendLatest(text); }),
      sync_(session_,
            SyncPorts{
                .server = env_.server,
                .now = env_.now,
                .background = env_.background,
                .after = env_.after,
                .writeClipboard = [this](const QString& text) { capture_.writeClipboard(text); },
                .shareable = [this] { return capture_.shareable(); },
                .connectedStatus = [this] { return nearby_.connectedStatus(); },
                .refresh = [this] { flow_.refresh(); },
            }),
      pairing_(session_,
               PairingPorts{
                   .server = env_.server,
                   .saveSecret = env_.saveSecret,
                   .dialogs = env_.dialogs,
                   .background = [this](SyncEngine::Job job) { sync_.background(std::move(job)); },
                   .stop = [this] { nearby_.stop(); },
                   .writeClipboard = [this](const QString& text) { capture_.writeClipboard(text); },
                   .setAutomatic = [this](bool on) { capture_.setAutomatic(on); },
                   .startAfresh = [this] { sync_.startAfresh(); },
                   .forgetHistory = [this] { sync_.forgetHistory(); },
                   .refreshHistory = [this] { sync_.refreshHistory(); },
               }),
      nearby_(session_,
              NearbyPorts{
                  .settings = env_.settings,
                  .now = env_.now,
                  .rebaseline = [this] { capture_.rebaseline(); },
                  .blockedStatus = [this] { return capture_.blockedStatus(); },
                  .setReceiveAfter = [this](std::int64_t ms) { sync_.setReceiveAfter(ms); },
                  .startAfresh = [this] { sync_.startAfresh(); },
                  .forgetHistory = [this] { sync_.forgetHistory(); },
                  .refreshHistory = [this] { sync_.refreshHistory(); },
                  .poll = [this](const Group& group,
                                 std::int64_t generation) { sync_.poll(group, generation, 1); },
              }) {}

DazarApp::~DazarApp() = default;

void DazarApp::applicationDidFinishLaunching() {
    try {
        std::string device;
        if (const auto stored = env_.settings->string(QStringLiteral("device")))
            device = stored->toStdString();
        else
            device = env_.identifier();
        env_.settings->setString(QStringLiteral("device"), QString::fromStdString(device));
        device_ = device;
        nearby_.setPaused(env_.settings->boolean(QStringLiteral("localPaused")));
    } catch (const std::exception& error) {
        session_.setStatus(QString::fromUtf8(error.what()));
        device_.clear();
        nearby_.setPaused(false);
    }
    sync_.setDevice(device_);
    nearby_.setDevice(device_);

    setup();

    if (preview_) {
        session_.show(kPreviewStatus);
        if (env_.arguments.contains(QStringLiteral("--preview-clips")))
            flow_.setClips(FlowModel::previewClips());
        if (env_.arguments.contains(QStringLiteral("--preview-popover")))
            showPopover();
        else
            show();
        return;
    }

    capture_.rebaseline();
    // Both clipboard ports report every change as it happens, so no timer
    // samples the clipboard: an idle program stays asleep.
    env_.pasteboard->setChangeListener([self = QPointer<DazarApp>(this)] {
        if (self)
            self->capture_.capture();
    });
    capture_.setAutomatic(true);

    QString name = env_.hostName ? env_.hostName() : QString();
    if (name.isEmpty())
        name = QStringLiteral("Mac");
    if (env_.discovery) {
        nearby_.setDiscovery(
            env_.discovery(device_, name.toStdString(),
                           [self = QPointer<DazarApp>(this)](std::optional<LocalSession> session,
                                                             std::optional<std::string> server) {
                               if (self)
                                   self->nearby_.discovered(session, server);
                           }));
    }

    if (!nearby_.paused()) {
        start();
    } else {
        session_.show(QStringLiteral("Paused · Resume to discover nearby devices"));
    }

    if (env_.settings->boolean(QStringLiteral("flowWelcomed")))
        showPopover();
    else
        show();
}

void DazarApp::setup() {
    flow_.setApp(this);
    env_.views->setup(preview_, [self = QPointer<DazarApp>(this)] {
        if (self)
            self->showPopover();
    });
    capture_.setAutomatic(true);
    flow_.refresh();
}

void DazarApp::showPopover() {
    if (env_.views->panelVisible()) {
        env_.views->hidePanel();
        return;
    }
    if (!preview_)
        flow_.refresh();
    flow_.setSettings(false);
    flow_.setSelected(QVariant());
    resizeClipboardPanel();
    env_.views->hideWelcome();
    env_.views->showPanel();
}

void DazarApp::show() {
    env_.views->hidePanel();
    env_.views->showWelcome();
}

bool DazarApp::applicationShouldHandleReopen() {
    if (!env_.views->panelVisible())
        showPopover();
    return false;
}

void DazarApp::quit() {
    if (env_.terminate)
        env_.terminate();
}

void DazarApp::applicationWillTerminate() {
    nearby_.shutdown();
}

void DazarApp::connectFromWelcome() {
    if (!session_.running() && !preview_)
        start();
    if (!preview_)
        env_.settings->setBoolean(QStringLiteral("flowWelcomed"), true);
    env_.views->hideWelcome();
    if (!env_.views->panelVisible())
        showPopover();
}

void DazarApp::toggleSync() {
    if (preview_)
        return;
    if (session_.running())
        stop();
    else
        start();
}

bool DazarApp::clipboardPanelVisible() const {
    return env_.views->panelVisible();
}

void DazarApp::resizeClipboardPanel() {
    env_.views->resizePanel();
}

void DazarApp::setAutomaticSending(bool on) {
    capture_.setAutomatic(on);
    capture_.rebaseline();
}

bool DazarApp::startAtLogin() const {
    return env_.autostart && env_.autostart->enabled();
}

void DazarApp::setStartAtLogin(bool on) {
    if (!env_.autostart || preview_)
        return;
    if (!env_.autostart->setEnabled(on))
        session_.show(QStringLiteral("Start at login could not be changed in ") +
                      env_.autostart->path());
}

} // namespace zephlink
