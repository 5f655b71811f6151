#pragma once

// What the view model and the views need of the controller. The controller
// (DazarApp) implements it; view tests give a fake.
#include "local_session.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace zephlink {

class FlowController {
public:
    virtual ~FlowController() = default;

    // State published by FlowModel::refresh.
    virtual QString statusText() const = 0;
    virtual std::vector<NearbyDevice> peers() const = 0;
    virtual QStringList history() const = 0;
    virtual bool isRunning() const = 0;
    virtual bool automaticSending() const = 0;
    virtual bool designPreview() const = 0;
    virtual bool clipboardPanelVisible() const = 0;
    virtual void resizeClipboardPanel() = 0;

    // Actions of the views.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void writeClipboard(const QString& text) = 0;
    virtual void setStatusText(const QString& text) = 0;
    // Switches automatic sending and re-baselines the clipboard, so that
    // what is on it now is not sent by the switch alone.
    virtual void setAutomaticSending(bool on) = 0;
    // Whether the program starts at login, read afresh from the system.
    virtual bool startAtLogin() const { return false; }
    // Adds or removes the login entry; a failure shows in the status.
    virtual void setStartAtLogin(bool /*on*/) {}
    virtual void send(const QString& text) = 0;
    virtual void sendClipboard() = 0;
    virtual void show() = 0;
    virtual void quit() = 0;
    virtual void connectFromWelcome() = 0;
};

} // namespace zephlink
