#pragma once

// The real views on the real controller, and bounded ways to find items.
#include "fakes.h"
#include "qt_views.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace zephlink::test {

inline void collect(QQuickItem* item, const QString& name, QList<QQuickItem*>& out) {
    if (!item || !item->isVisible())
        return;
    if (item->objectName() == name)
        out.append(item);
    for (QQuickItem* child : item->childItems())
        collect(child, name, out);
}

// The visible items of that name, in scene order.
inline QList<QQuickItem*> findAll(QQuickWindow* window, const QString& name) {
    QList<QQuickItem*> found;
    collect(window->contentItem(), name, found);
    return found;
}

inline void settle(QQuickWindow* window) {
    for (int round = 0; round < 5; ++round) {
        window->contentItem()->polish();
        QTest::qWait(10);
    }
}

inline void click(QQuickItem* item, Qt::MouseButton button = Qt::LeftButton) {
    ASSERT_NE(item, nullptr);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), button, Qt::NoModifier, centre.toPoint());
    settle(item->window());
}

struct ViewsHarness : Harness {
    QtViews views{&app->flow()};
    // Welcomed before, so the panel opens at the start; clips newest first.
    ViewsHarness(std::vector<NearbyDevice> devices, QStringList clips) {
        app->setViews(&views);
        settings.setBoolean("flowWelcomed", true);
        const Group group = launchWithHost(std::move(devices));
        std::vector<Envelope> envelopes;
        for (qsizetype i = 0; i < clips.size(); ++i)
            envelopes.push_back(sealedAt(clips[i].toStdString(), group, now - i));
        deliver(envelopes);
        jobs.clear();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(panel(), 3000));
        settle(panel());
    }
    ~ViewsHarness() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
    QQuickWindow* panel() { return views.panelWindow(); }
    QQuickWindow* welcome() { return views.welcomeWindow(); }
    QQuickItem* item(const char* name) { return findAll(panel(), name).value(0); }
    QString text(const char* name) {
        return item(name) ? item(name)->property("text").toString() : "<none>";
    }
};

} // namespace zephlink::test
