#pragma once

// A controller that records what the views ask of it.
#include "flow_controller.h"
#include "qt_views.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace zephlink::test {

class FakeController : public QObject, public FlowController {
public:
    QString status = QStringLiteral("Ready · waiting for nearby devices");
    std::vector<NearbyDevice> devices;
    QStringList clips;
    bool running = true;
    bool automatic = true;
    bool preview = false;
    // Where the panel's visibility and size come from, when set; otherwise
    // panelShown stands in.
    QtViews* views = nullptr;
    bool panelShown = false;

    int resizes = 0;
    std::vector<std::string> calls; // "start", "send:<text>", …

    QString statusText() const override { return status; }
    std::vector<NearbyDevice> peers() const override { return devices; }
    QStringList history() const override { return clips; }
    bool isRunning() const override { return running; }
    bool automaticSending() const override { return automatic; }
    bool designPreview() const override { return preview; }
    bool clipboardPanelVisible() const override {
        return views ? views->panelVisible() : panelShown;
    }
    void resizeClipboardPanel() override {
        ++resizes;
        if (views)
            views->resizePanel();
    }

    void start() override {
        calls.push_back("start");
        running = true;
    }
    void stop() override {
        calls.push_back("stop");
        running = false;
    }
    void writeClipboard(const QString& text) override {
        calls.push_back("writeClipboard:" + text.toStdString());
    }
    void setStatusText(const QString& text) override { status = text; }
    void setAutomaticSending(bool on) override {
        calls.push_back(on ? "automatic:on" : "automatic:off");
        automatic = on;
    }
    void send(const QString& text) override { calls.push_back("send:" + text.toStdString()); }
    void sendClipboard() override { calls.push_back("sendClipboard"); }
    void show() override { calls.push_back("show"); }
    void quit() override { calls.push_back("quit"); }
    void connectFromWelcome() override { calls.push_back("connectFromWelcome"); }
};

} // namespace zephlink::test
