#pragma once

// A recording controller, the real views set up as the controller does it,
// and bounded ways to find QML items and let the event loop run.
#include "flow_controller.h"
#include "flow_model.h"
#include "qt_views.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// How gtest shows a text that differs.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace zephlink::test {

class FakeController : public QObject, public FlowController {
public:
    QString status = QStringLiteral("Ready · waiting for nearby devices");
    std::vector<NearbyDevice> devices;
    QStringList clips;
    bool running = true;
    bool automatic = true;
    bool login = false;
    bool preview = false;
    QtViews* views = nullptr; // the panel's visibility and size; panelShown without views
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
    bool startAtLogin() const override { return login; }
    void setStartAtLogin(bool on) override {
        calls.push_back(on ? "login:on" : "login:off");
        login = on;
    }
    void send(const QString& text) override { calls.push_back("send:" + text.toStdString()); }
    void sendClipboard() override { calls.push_back("sendClipboard"); }
    void show() override { calls.push_back("show"); }
    void quit() override { calls.push_back("quit"); }
    void connectFromWelcome() override { calls.push_back("connectFromWelcome"); }
};

inline void collect(QQuickItem* item, const QString& name, bool shownOnly,
                    QList<QQuickItem*>& out) {
    if (!item || (shownOnly && !item->isVisible()))
        return;
    if (item->objectName() == name)
        out.append(item);
    for (QQuickItem* child : item->childItems())
        collect(child, name, shownOnly, out);
}

// Items of that name in scene order; with shownOnly, those visible on screen.
inline QList<QQuickItem*> findAll(QQuickWindow* window, const QString& name, bool shownOnly) {
    QList<QQuickItem*> found;
    collect(window->contentItem(), name, shownOnly, found);
    return found;
}

inline QQuickItem* find(QQuickWindow* window, const QString& name) {
    return findAll(window, name, false).value(0);
}

inline QString text(QQuickItem* item) {
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

inline QStringList shown(QQuickWindow* window, const QString& name, const char* property = "text") {
    QStringList values;
    for (QQuickItem* item : findAll(window, name, true))
        values.append(item->property(property).toString());
    return values;
}

inline bool waitUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    const QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

// Lets bindings, layouts and the scene graph settle.
inline void settle(QQuickWindow* window) {
    for (int round = 0; round < 5; ++round) {
        window->contentItem()->polish();
        QTest::qWait(10);
    }
}

inline void click(QQuickItem* item) {
    ASSERT_NE(item, nullptr);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

struct ViewsHarness {
    FakeController controller;
    FlowModel model;
    std::unique_ptr<QtViews> views;
    int trayActivations = 0;

    explicit ViewsHarness(bool designPreview = false) {
        model.setApp(&controller);
        views = std::make_unique<QtViews>(&model);
        controller.views = views.get();
        controller.preview = designPreview;
        views->setup(designPreview, [this] { ++trayActivations; });
    }
    ~ViewsHarness() {
        views.reset();
        // Qt Quick releases images and textures through deferred deletes.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QQuickWindow* panel() const { return views->panelWindow(); }
    QQuickWindow* welcome() const { return views->welcomeWindow(); }
    QQuickItem* item(const char* name) const { return find(panel(), name); }

    // Opens the panel the way the controller's showPopover does.
    void openPanel() {
        model.refresh();
        model.setSettings(false);
        model.setSelected(QVariant());
        views->resizePanel();
        views->hideWelcome();
        views->showPanel();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(panel(), 3000));
        settle(panel());
    }
};

} // namespace zephlink::test
