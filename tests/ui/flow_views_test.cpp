// The QML views loaded for real on the offscreen platform: what they show
// for the model's state, that every control reaches the controller, and how
// the panel window behaves.
#include "flow_theme.h"
#include "ui_support.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QScreen>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const NearbyDevice kPhone{"0123456789abcdef0123456789abcdef", "Pixel 8", "android"};
const NearbyDevice kDesktop{"fedcba9876543210fedcba9876543210", "Study PC", "windows"};
const NearbyDevice kMac{"00112233445566778899aabbccddeeff", "Studio", "mac"};

QString accessible(QQuickItem* item, QAccessible::Text kind) {
    QAccessibleInterface* interface = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    return interface ? interface->text(kind) : QStringLiteral("<no accessible>");
}

} // namespace

TEST(PopoverView, ConnectionLineReadsPausedConnectedOrFinding) {
    struct Case {
        bool running;
        std::vector<NearbyDevice> devices;
        const char* text;
        bool green;
    };
    const Case cases[] = {
        {true, {}, "Finding your devices\u2026", false},
        {true, {kPhone}, "Connected", true},
        {false, {}, "Paused", false},
        {false, {kPhone, kDesktop}, "Paused", false},
    };
    for (const Case& c : cases) {
        ViewsHarness ui;
        ui.controller.running = c.running;
        ui.controller.devices = c.devices;
        ui.openPanel();
        EXPECT_EQ(text(ui.item("connectionText")), QString::fromUtf8(c.text)) << c.devices.size();
        EXPECT_EQ(ui.item("connectionDot")->property("color").value<QColor>(),
                  c.green ? QColor::fromRgbF(0.15f, 0.71f, 0.43f) : FlowTheme::muted())
            << c.text;
        // Without clips: the mascot instead of the list.
        EXPECT_EQ(text(ui.item("clipCount")), "0 / 20");
        EXPECT_TRUE(ui.item("emptyState")->isVisible());
        EXPECT_FALSE(ui.item("clips")->isVisible());
        EXPECT_GT(ui.item("mascot")->height(), 40);
    }
}

TEST(PopoverView, MainPageShowsDevicesAndClipsAndItsButtonsReachTheController) {
    ViewsHarness ui;
    ui.controller.devices = {kPhone, kDesktop, kMac};
    ui.controller.clips = {"first\nsecond\nthird", "older", "oldest"};
    ui.openPanel();
    EXPECT_EQ(shown(ui.panel(), "deviceSymbol", "name"),
              (QStringList{"smartphone", "desktopcomputer", "desktopcomputer"}));
    EXPECT_EQ(shown(ui.panel(), "clipText"),
              (QStringList{"first second third", "older", "oldest"}));
    EXPECT_EQ(shown(ui.panel(), "clipCaption"),
              (QStringList{"Latest shared text", "Session history", "Session history"}));
    EXPECT_EQ(text(ui.item("clipCount")), "3 / 20");
    const QList<QQuickItem*> copies = findAll(ui.panel(), "copyButton", true);
    ASSERT_EQ(copies.size(), 3);
    for (int index = 0; index < 3; ++index)
        EXPECT_EQ(accessible(copies[index], QAccessible::Name),
                  QString("Copy clip %1").arg(index + 1));

    click(copies[1]);
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"writeClipboard:older"});
    EXPECT_EQ(ui.model.status(), "Copied locally");
    EXPECT_FALSE(ui.model.selected().isValid()) << "the row's copy button does not select it";

    QQuickItem* sync = ui.item("syncButton");
    EXPECT_EQ(text(sync), "Pause sync");
    EXPECT_EQ(ui.item("syncSymbol")->property("name").toString(), "pause.circle");
    click(sync);
    EXPECT_EQ(text(sync), "Resume sync");
    EXPECT_EQ(ui.item("syncSymbol")->property("name").toString(), "play.circle");
    EXPECT_EQ(text(ui.item("connectionText")), "Paused");
    click(sync);
    EXPECT_EQ(ui.controller.calls,
              (std::vector<std::string>{"writeClipboard:older", "stop", "start"}));
}

TEST(PopoverView, ClipRowsPickTheLinkSymbolOnlyForTextStartingWithHttp) {
    ViewsHarness ui;
    ui.controller.clips = {"https://example.com", "http",   "HTTP://example.com",
                           " http://example.com", "a note", "httpx is a word"};
    ui.openPanel();
    EXPECT_EQ(shown(ui.panel(), "clipSymbol", "name"),
              (QStringList{"link", "link", "doc.text", "doc.text", "doc.text", "link"}));
}

TEST(PopoverView, SelectingAClipShowsItAsPlainTextAndBackReturnsToTheList) {
    // Markup in a clip is shown as the text it is, never rendered.
    const QString hostile = "<img src=\"http://192.0.2.1/x.png\">\n<b>bold</b> &amp;";
    ViewsHarness ui;
    ui.controller.clips = {hostile, "other"};
    ui.openPanel();
    EXPECT_EQ(text(ui.item("clipText")), QString(hostile).replace('\n', ' '));
    EXPECT_EQ(ui.item("clipText")->property("textFormat").toInt(), 0) << "Text.PlainText";
    click(findAll(ui.panel(), "clipRow", true).value(0));
    settle(ui.panel());
    EXPECT_EQ(ui.model.selected().toString(), hostile);
    EXPECT_TRUE(ui.item("detailPage")->isVisible());
    EXPECT_FALSE(ui.item("mainPage")->isVisible());
    EXPECT_EQ(text(ui.item("detailText")), hostile);
    EXPECT_EQ(ui.item("detailText")->property("textFormat").toInt(), 0) << "TextEdit.PlainText";
    QQuickItem* header = ui.item("headerButton");
    EXPECT_EQ(text(header), "Back");
    EXPECT_EQ(header->property("iconName").toString(), "arrow.left");

    click(ui.item("copyText"));
    EXPECT_EQ(ui.controller.calls,
              std::vector<std::string>{"writeClipboard:" + hostile.toStdString()});

    click(header);
    settle(ui.panel());
    EXPECT_FALSE(ui.model.selected().isValid());
    EXPECT_FALSE(ui.model.settings());
    EXPECT_TRUE(ui.item("mainPage")->isVisible());
    EXPECT_EQ(text(header), "Settings");
    EXPECT_EQ(header->property("iconName").toString(), "gearshape");
}

TEST(PopoverView, OpeningSettingsResizesTheShownPanelAtOnce) {
    ViewsHarness ui;
    ui.controller.clips = {"a clip"};
    ui.openPanel();
    EXPECT_EQ(ui.panel()->height(), 600);
    click(ui.item("headerButton"));
    EXPECT_TRUE(ui.model.settings());
    EXPECT_EQ(ui.panel()->height(), 525);
    settle(ui.panel());
    EXPECT_TRUE(ui.item("settingsPage")->isVisible());
    EXPECT_EQ(text(ui.item("headerButton")), "Back");

    ui.controller.clips.clear();
    click(ui.item("headerButton"));
    EXPECT_EQ(ui.panel()->height(), 600) << "the model still holds the clip until refreshed";
    ui.model.refresh();
    EXPECT_EQ(ui.panel()->height(), 465);
}

TEST(PopoverView, SwitchAnnouncesItsLabelAndOnOrOffAndShowsTheControllersState) {
    ViewsHarness ui;
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    QQuickItem* toggle = ui.item("automaticSwitch");
    EXPECT_EQ(accessible(toggle, QAccessible::Name), "Automatically share Mac copies");
    EXPECT_EQ(accessible(toggle, QAccessible::Value), "On");

    click(ui.item("switchButton"));
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"automatic:off"});
    EXPECT_EQ(accessible(toggle, QAccessible::Value), "Off");
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(toggle)->state().checked);

    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(toggle);
    ASSERT_NE(interface->actionInterface(), nullptr);
    interface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(ui.controller.calls.back(), "automatic:on");
    EXPECT_EQ(accessible(toggle, QAccessible::Value), "On");

    // "Start at login" looks and works the same; its state is read again
    // whenever the settings page opens.
    QQuickItem* login = ui.item("startAtLoginSwitch");
    EXPECT_EQ(accessible(login, QAccessible::Name), "Start at login");
    EXPECT_EQ(accessible(login, QAccessible::Value), "Off");
    click(findAll(ui.panel(), QStringLiteral("switchButton"), true).value(1));
    EXPECT_EQ(ui.controller.calls.back(), "login:on");
    EXPECT_EQ(accessible(login, QAccessible::Value), "On");
    ui.controller.login = false; // turned off elsewhere
    ui.model.showSettings();
    ui.model.showSettings();
    EXPECT_EQ(accessible(login, QAccessible::Value), "Off");

    // With the controller gone, pressing changes nothing on screen.
    ui.model.setApp(nullptr);
    click(ui.item("switchButton"));
    EXPECT_TRUE(toggle->property("checked").toBool());
    EXPECT_EQ(ui.controller.calls.size(), 3u);
}

TEST(PopoverView, SettingsButtonsReachTheControllerAndTheComposeTextSurvives) {
    ViewsHarness ui;
    ui.openPanel();
    click(ui.item("headerButton"));
    settle(ui.panel());
    QQuickItem* field = ui.item("composeField");
    click(field);
    ASSERT_TRUE(waitUntil([&] { return field->hasActiveFocus(); }));
    for (const char c : std::string("note to self"))
        QTest::keyClick(ui.panel(), c);
    EXPECT_EQ(text(field), "note to self");
    EXPECT_EQ(text(ui.item("notice")),
              "Trusted private Wi-Fi only: every reachable installation can join. History is held "
              "in memory. Sensitive formats are skipped, but not every secret can be detected.");

    for (const char* button : {"sendText", "sendClipboard", "welcomeButton", "quitButton"})
        click(ui.item(button));
    EXPECT_EQ(ui.controller.calls,
              (std::vector<std::string>{"send:note to self", "sendClipboard", "show", "quit"}));

    // Kept across page changes and hiding.
    ui.model.showSettings();
    ui.views->hidePanel();
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    EXPECT_EQ(text(ui.item("composeField")), "note to self");
}

TEST(WelcomeView, ShowsItsWordsInAFixedCentredWindowThatClosingOnlyHides) {
    ViewsHarness ui;
    QQuickWindow* window = ui.welcome();
    EXPECT_EQ(window->minimumSize(), QSize(780, 600));
    EXPECT_EQ(window->maximumSize(), QSize(780, 600));
    ui.views->showWelcome();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 3000));
    settle(window);
    const QRect area = window->screen()->availableGeometry();
    EXPECT_EQ(window->position(),
              QPoint(area.x() + (area.width() - 780) / 2, area.y() + (area.height() - 600) / 2));
    const std::pair<const char*, const char*> words[] = {
        {"headline", "Make your devices\nfeel like one."},
        {"subtitle", "Copy text or links on one device.\nPaste them on another."},
        {"note", "Same thoughts.\nMore freedom."},
        {"caption", "A simpler,\nconnected you."},
        {"footnote", "Local dazar \u00b7 Trusted private Wi-Fi. Every reachable installation can "
                     "join."},
        {"connectButton", "Connect a device"},
    };
    for (const auto& [name, expected] : words)
        EXPECT_EQ(text(find(window, name)), QString::fromUtf8(expected)) << name;
    EXPECT_TRUE(find(window, "artwork")->isVisible());
    click(find(window, "connectButton"));
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"connectFromWelcome"});

    window->close();
    EXPECT_FALSE(ui.views->welcomeVisible());
    EXPECT_EQ(ui.views->welcomeWindow(), window);
    ui.views->showWelcome();
    EXPECT_TRUE(ui.views->welcomeVisible());
}

TEST(FlowClipboardPanel, IsAFramelessTransparentWindowOnTopThatClosingOnlyHides) {
    ViewsHarness ui;
    QQuickWindow* panel = ui.panel();
    EXPECT_TRUE(panel->flags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(panel->flags() & Qt::WindowStaysOnTopHint);
    // The rounded corners show what is behind.
    EXPECT_EQ(panel->color().alpha(), 0);
    EXPECT_EQ(panel->format().alphaBufferSize(), 8);
    EXPECT_FALSE(ui.views->panelVisible());
    ui.openPanel();
    panel->close();
    EXPECT_FALSE(ui.views->panelVisible());
    EXPECT_EQ(ui.views->panelWindow(), panel);
}

TEST(FlowClipboardPanel, HangsFromTheTopRightCornerOrTheTrayClickAndFollowsScreenChanges) {
    ViewsHarness ui;
    EXPECT_EQ(ui.views->trayIcon(), nullptr) << "the offscreen platform has no tray";
    ui.openPanel();
    const QRect area = ui.panel()->screen()->availableGeometry();
    EXPECT_EQ(ui.panel()->geometry(),
              QRect(area.right() + 1 - 10 - 430, area.top() + 10, 430, 465));

    ui.views->hidePanel();
    ui.views->trayActivated(QPoint(300, area.top() + 5));
    EXPECT_EQ(ui.trayActivations, 1);
    ui.openPanel();
    EXPECT_EQ(ui.panel()->geometry(), QRect(300 - 215, area.top() + 13, 430, 465));

    // A tray at the bottom: the panel opens upwards, above the pointer.
    ui.views->hidePanel();
    ui.views->trayActivated(QPoint(600, area.bottom() + 40));
    ui.openPanel();
    EXPECT_EQ(ui.panel()->geometry().bottom() + 1, area.bottom() + 1 - 10);
    EXPECT_EQ(ui.panel()->x() + ui.panel()->width() / 2, 600);

    // Placed again when the screens change while shown, and only then.
    const QRect placed = ui.panel()->geometry();
    QScreen* screen = ui.panel()->screen();
    ui.panel()->setPosition(0, 0);
    emit screen->availableGeometryChanged(screen->availableGeometry());
    EXPECT_EQ(ui.panel()->geometry(), placed);
    ui.views->hidePanel();
    ui.panel()->setPosition(0, 0);
    emit screen->geometryChanged(screen->geometry());
    EXPECT_EQ(ui.panel()->position(), QPoint(0, 0)) << "a hidden panel is left alone";
}

TEST(FlowClipboardPanel, EscapeHidesItOnlyWhileItIsShown) {
    ViewsHarness ui;
    ui.openPanel();
    QTest::keyClick(ui.panel(), Qt::Key_Escape);
    EXPECT_FALSE(ui.views->panelVisible());

    // Hidden, Escape elsewhere reaches the application unchanged.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QObject* filter = ui.views.get();
    EXPECT_FALSE(filter->eventFilter(ui.welcome(), &escape));
    // Other keys pass while it is shown, so that the compose field gets them.
    ui.openPanel();
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    EXPECT_FALSE(filter->eventFilter(ui.panel(), &letter));
    EXPECT_TRUE(ui.views->panelVisible());
}

TEST(FlowClipboardPanel, AClickInAnotherWindowHidesItAndAClickInsideDoesNot) {
    ViewsHarness ui;
    // Both shown at once, which only a test arranges.
    ui.views->showWelcome();
    ASSERT_TRUE(waitUntil([&] { return ui.welcome()->isActive(); }));
    ui.model.refresh();
    ui.views->resizePanel();
    ui.views->showPanel();
    ASSERT_TRUE(waitUntil([&] { return ui.panel()->isActive(); }));
    settle(ui.panel());
    QTest::mouseClick(ui.panel(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 300));
    EXPECT_TRUE(ui.views->panelVisible());
    QTest::mouseClick(ui.welcome(), Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(ui.views->panelVisible());
    EXPECT_TRUE(ui.views->welcomeVisible());
}

TEST(FlowClipboardPanel, LosingFocusHidesItAndTheTrayClickThatTookItDoesNotReopenIt) {
    ViewsHarness ui;
    ui.openPanel();
    ASSERT_TRUE(waitUntil([&] { return ui.panel()->isActive(); }));
    QWindow elsewhere;
    elsewhere.resize(50, 50);
    elsewhere.show();
    elsewhere.requestActivate();
    ASSERT_TRUE(waitUntil([&] { return !ui.views->panelVisible(); }));

    ui.views->trayActivated(QPoint(100, 5));
    EXPECT_EQ(ui.trayActivations, 0) << "the click that took the focus toggled it already";
    ui.views->trayActivated(QPoint(100, 5));
    EXPECT_EQ(ui.trayActivations, 1);
}
