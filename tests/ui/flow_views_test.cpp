// The QML views driven by the real controller: what they show and do.
#include "ui_support.h"

#include <QScreen>

using namespace zephlink;
using namespace zephlink::test;

static void press(QQuickWindow* window, Qt::Key key, Qt::KeyboardModifiers mods = {}) {
    QTest::keyClick(window, key, mods);
    settle(window);
}

TEST(PanelView, AClipOpensAsPlainTextAndBackReturnsToTheList) {
    const QString hostile = "<img src=\"http://192.0.2.1/x.png\">\n<b>bold</b> &amp;";
    ViewsHarness ui({}, {hostile, "other"});
    EXPECT_EQ(ui.text("clipText"), QString(hostile).replace('\n', ' '));
    EXPECT_EQ(ui.item("clipText")->property("textFormat").toInt(), Qt::PlainText);
    click(ui.item("clipRow"));
    EXPECT_EQ(ui.app->flow().selected().toString(), hostile);
    EXPECT_FALSE(ui.item("mainPage"));
    EXPECT_EQ(ui.text("detailText"), hostile);
    EXPECT_EQ(ui.item("detailText")->property("textFormat").toInt(), Qt::PlainText);
    ui.pasteboard.written.clear();
    click(ui.item("copyText"));
    EXPECT_EQ(ui.pasteboard.written, QStringList{hostile});
    click(ui.item("headerButton"));
    EXPECT_FALSE(ui.app->flow().selected().isValid());
    EXPECT_TRUE(ui.item("mainPage"));
}

TEST(PanelView, SettingsResizeThePanelAtOnceAndTheComposedTextIsSentAndKept) {
    ViewsHarness ui({}, {"a clip"});
    EXPECT_EQ(ui.panel()->height(), 600);
    click(ui.item("headerButton"));
    EXPECT_EQ(ui.panel()->height(), 525);
    click(ui.item("composeField"));
    for (const char c : std::string("note to self"))
        QTest::keyClick(ui.panel(), c);
    click(ui.item("sendText"));
    ui.runJob();
    EXPECT_EQ(ui.posted.size(), 1u);
    EXPECT_EQ(ui.app->flow().status(), "Sent to nearby devices");
    ui.views.hidePanel();
    ui.app->showPopover();
    ui.app->flow().showSettings();
    settle(ui.panel());
    EXPECT_EQ(ui.text("composeField"), "note to self") << "kept across hiding";
}

TEST(PanelWindow, HangsFromTheTopRightOrTheTray) {
    ViewsHarness ui({}, {});
    const QRect area = ui.panel()->screen()->availableGeometry();
    EXPECT_EQ(ui.panel()->geometry(),
              QRect(area.right() + 1 - 10 - 430, area.top() + 10, 430, 465));
    ui.views.trayActivated(QPoint(300, area.top() + 5));
    EXPECT_FALSE(ui.views.panelVisible()) << "the tray toggles the panel";
    ui.views.trayActivated(QPoint(300, area.top() + 5));
    EXPECT_EQ(ui.panel()->geometry(), QRect(300 - 215, area.top() + 13, 430, 465));
    ui.views.hidePanel();
    ui.views.trayActivated(QPoint(600, area.bottom() + 40));
    EXPECT_EQ(ui.panel()->geometry().bottom(), area.bottom() - 10) << "a tray at the bottom";
}

TEST(PanelWindow, EscapeAClickElsewhereOrLostFocusHideIt) {
    ViewsHarness ui({}, {});
    QTest::keyClick(ui.panel(), Qt::Key_Escape);
    EXPECT_FALSE(ui.views.panelVisible());
    ui.app->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.welcome()->isActive(); }, 3000));
    ui.views.showPanel(); // both shown, as only a test arranges
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.panel()->isActive(); }, 3000));
    settle(ui.panel());
    QTest::mouseClick(ui.panel(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 300));
    EXPECT_TRUE(ui.views.panelVisible());
    QTest::mouseClick(ui.welcome(), Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(ui.views.panelVisible());

    ui.app->showPopover();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.panel()->isActive(); }, 3000));
    QWindow elsewhere;
    elsewhere.show();
    elsewhere.requestActivate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ui.views.panelVisible(); }, 3000));
    ui.views.trayActivated(QPoint(100, 5));
    EXPECT_FALSE(ui.views.panelVisible()) << "the tray click that took the focus toggled it";
}

TEST(Keyboard, TabVisitsEveryControlArrowsMoveEnterOpensEscapeHides) {
    ViewsHarness ui(
        {{std::string(32, '1'), "Pixel", "android"}, {std::string(32, '2'), "Study PC", "mac"}},
        {"first", "second", "third"});
    QQuickWindow* panel = ui.panel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->isActive(); }, 3000));
    const auto tabs = [&](int count) {
        QStringList visited;
        for (int i = 0; i < count; ++i) {
            press(panel, Qt::Key_Tab);
            QList<QQuickItem*> rings;
            collect(panel->activeFocusItem()->parentItem(), "focusRing", rings);
            visited << panel->activeFocusItem()->objectName() +
                           (rings.isEmpty() ? " (no ring)" : "");
        }
        return visited.join(", ");
    };
    EXPECT_EQ(tabs(5), "headerButton, deviceCell, clipRow, syncButton, headerButton");
    tabs(1);
    press(panel, Qt::Key_Right);
    EXPECT_EQ(panel->activeFocusItem()->property("name"), "Study PC");
    tabs(1);
    press(panel, Qt::Key_Down);
    press(panel, Qt::Key_Down);
    press(panel, Qt::Key_Up);
    press(panel, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ui.pasteboard.written.back(), "second");
    press(panel, Qt::Key_Return);
    EXPECT_EQ(ui.app->flow().selected().toString(), "second");
    EXPECT_EQ(panel->activeFocusItem()->objectName(), "copyText");
    EXPECT_EQ(tabs(1), "headerButton");
    press(panel, Qt::Key_Return);
    press(panel, Qt::Key_Enter);
    ASSERT_TRUE(ui.app->flow().settings());
    EXPECT_EQ(tabs(8), "automaticSwitch, startAtLoginSwitch, composeField, sendText, "
                       "sendClipboard, welcomeButton, quitButton, headerButton");
    press(panel, Qt::Key_Escape);
    EXPECT_FALSE(ui.views.panelVisible());
}
