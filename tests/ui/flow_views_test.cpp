// The QML views on the offscreen platform, driven by the real controller:
// what they show, that each control acts, and how the panel window behaves.
#include "ui_support.h"

#include <QAccessible>
#include <QScreen>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const NearbyDevice kPhone{std::string(32, '1'), "Pixel 8", "android"};
const NearbyDevice kDesktop{std::string(32, '2'), "Study PC", "windows"};

QString accessible(QQuickItem* item, QAccessible::Text kind) {
    QAccessibleInterface* interface = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    return interface ? interface->text(kind) : "<no accessible>";
}

void press(QQuickWindow* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(window, key, modifiers);
    settle(window);
}

} // namespace

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
    EXPECT_EQ(ui.text("headerButton"), "Back");
    ui.pasteboard.written.clear();
    click(ui.item("copyText"));
    EXPECT_EQ(ui.pasteboard.written, QStringList{hostile});
    click(ui.item("headerButton"));
    EXPECT_FALSE(ui.app->flow().selected().isValid());
    EXPECT_TRUE(ui.item("mainPage"));
    EXPECT_EQ(ui.text("headerButton"), "Settings");
}

TEST(PanelView, SettingsResizeThePanelAtOnceAndTheirControlsAct) {
    ViewsHarness ui({}, {"a clip"});
    EXPECT_EQ(ui.panel()->height(), 600);
    click(ui.item("headerButton"));
    EXPECT_EQ(ui.panel()->height(), 525);
    click(findAll(ui.panel(), "switchButton").value(1));
    EXPECT_TRUE(ui.app->startAtLogin());
    EXPECT_EQ(accessible(ui.item("startAtLoginSwitch"), QAccessible::Value), "On");

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
    ui.pasteboard.copy(std::nullopt);
    click(ui.item("sendClipboard"));
    EXPECT_EQ(ui.app->flow().status(),
              "No shareable text; sensitive content and invitations are skipped.");
    click(ui.item("quitButton"));
    EXPECT_EQ(ui.terminated, 1);
    click(ui.item("welcomeButton"));
    EXPECT_FALSE(ui.views.panelVisible());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.welcome(), 3000));
    settle(ui.welcome());
    click(findAll(ui.welcome(), "connectButton").value(0));
    EXPECT_TRUE(ui.views.panelVisible() && !ui.views.welcomeVisible());
}

TEST(PanelWindow, HangsFromTheTopRightOrTheTrayAndFollowsTheScreen) {
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

    const QRect placed = ui.panel()->geometry();
    QScreen* screen = ui.panel()->screen();
    ui.panel()->setPosition(0, 0);
    emit screen->availableGeometryChanged(screen->availableGeometry());
    EXPECT_EQ(ui.panel()->geometry(), placed);
    ui.views.hidePanel();
    ui.panel()->setPosition(0, 0);
    emit screen->geometryChanged(screen->geometry());
    EXPECT_EQ(ui.panel()->position(), QPoint(0, 0)) << "a hidden panel is left alone";
}

TEST(PanelWindow, EscapeAClickElsewhereOrLostFocusHideIt) {
    ViewsHarness ui({}, {});
    QTest::keyClick(ui.panel(), Qt::Key_Escape);
    EXPECT_FALSE(ui.views.panelVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    EXPECT_FALSE(static_cast<QObject&>(ui.views).eventFilter(ui.welcome(), &escape))
        << "hidden, Escape reaches the application";

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

TEST(PanelWindow, IsReleasedAfterBothWindowsHidAWhileAndMadeAgain) {
    ViewsHarness ui({}, {"first"});
    ui.views.setReleaseDelay(50);
    ui.app->show();
    ui.views.hidePanel();
    QTest::qWait(150);
    EXPECT_FALSE(ui.views.released()) << "the welcome window still shows";
    ui.views.hideWelcome();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.views.released(); }, 3000));
    ui.app->showPopover();
    settle(ui.panel());
    EXPECT_EQ(shown(ui.panel(), "clipText"), QStringList{"first"});
    ui.views.hidePanel();
    ui.views.showPanel();
    QTest::qWait(150);
    EXPECT_FALSE(ui.views.released()) << "a show stops the countdown";
}

TEST(Keyboard, TabVisitsEveryControlArrowsMoveEnterOpensSpaceActs) {
    ViewsHarness ui({kPhone, kDesktop}, {"first", "second", "third"});
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
    tabs(1);
    press(panel, Qt::Key_Space);
    EXPECT_FALSE(ui.app->automaticSending());
    press(panel, Qt::Key_Escape);
    EXPECT_FALSE(ui.views.panelVisible());
}
