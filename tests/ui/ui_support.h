#pragma once

// Finding QML items and waiting for the event loop, within bounds.
#include "fake_controller.h"
#include "flow_model.h"
#include "qt_views.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace zephlink::test {

inline void findAllInto(QQuickItem* item, const QString& name, QList<QQuickItem*>& found) {
    if (!item)
        return;
    if (item->objectName() == name)
        found.append(item);
    for (QQuickItem* child : item->childItems())
        findAllInto(child, name, found);
}

inline QList<QQuickItem*> findAll(QQuickWindow* window, const QString& name) {
    QList<QQuickItem*> found;
    findAllInto(window->contentItem(), name, found);
    return found;
}

inline QQuickItem* find(QQuickWindow* window, const QString& name) {
    const QList<QQuickItem*> found = findAll(window, name);
    return found.isEmpty() ? nullptr : found.first();
}

// Visible items only, in the order the scene holds them.
inline QList<QQuickItem*> findShown(QQuickWindow* window, const QString& name) {
    QList<QQuickItem*> shown;
    for (QQuickItem* item : findAll(window, name))
        if (item->isVisible())
            shown.append(item);
    return shown;
}

inline QString text(QQuickItem* item) {
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

inline bool waitUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

// Lets bindings, layouts and the scene graph settle.
inline void settle(QQuickWindow* window) {
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::processEvents();
        if (window)
            window->contentItem()->polish();
        QTest::qWait(10);
    }
}

inline void click(QQuickItem* item) {
    ASSERT_NE(item, nullptr);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

// A model, a recording controller and the real views, set up as the
// controller does it.
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
