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
    ui.controller.clips = {"first\nsecond\nthird", "older", "https://example.com"};
    ui.openPanel();
    EXPECT_EQ(shown(ui.panel(), "deviceSymbol", "name"),
              (QStringList{"smartphone", "desktopcomputer", "desktopcomputer"}));
    EXPECT_EQ(shown(ui.panel(), "clipText"),
              (QStringList{"first second third", "older", "https://example.com"}));
    EXPECT_EQ(shown(ui.panel(), "clipSymbol", "name"),
              (QStringList{"doc.text", "doc.text", "link"}));
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
    // Wrapped, and above the buttons that follow it rather than under them.
    QQuickItem* notice = ui.item("notice");
    EXPECT_GT(notice->height(), 30);
    EXPECT_LE(notice->mapToScene(QPointF(0, notice->height())).y(),
              ui.item("welcomeButton")->mapToScene(QPointF(0, 0)).y());

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

TEST(FlowClipboardPanel, IsMadeOnFirstShowReleasedAfterBothWindowsHidAWhileAndMadeAgain) {
    ViewsHarness ui;
    EXPECT_TRUE(ui.views->released()) << "nothing is made before a window shows";
    ui.views->setReleaseDelay(50);
    ui.controller.clips = {"first"};
    ui.openPanel();
    ui.views->showWelcome();
    QTest::qWait(150);
    EXPECT_FALSE(ui.views->released()) << "the welcome window still shows";
    ui.views->hideWelcome();
    ASSERT_TRUE(waitUntil([&] { return ui.views->released(); }));

    ui.controller.clips = {"second", "first"};
    ui.openPanel();
    EXPECT_FALSE(ui.views->released());
    EXPECT_EQ(shown(ui.panel(), "clipText"), (QStringList{"second", "first"}));
    ui.views->hidePanel();
    ui.views->showPanel();
    QTest::qWait(150);
    EXPECT_FALSE(ui.views->released()) << "a show stops the countdown";
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

namespace {

// What has the keyboard's focus: the item's name, and whether a focus ring
// shows around it (drawn by the item or, for a text field, by its frame).
std::pair<QString, bool> focus(QQuickWindow* window) {
    QQuickItem* item = window->activeFocusItem();
    if (!item)
        return {QStringLiteral("<none>"), false};
    QList<QQuickItem*> rings;
    collect(item->parentItem(), QStringLiteral("focusRing"), true, rings);
    return {item->objectName(), !rings.isEmpty()};
}

void press(QQuickWindow* window, Qt::Key key) {
    QTest::keyClick(window, key);
    settle(window);
}

} // namespace

TEST(Keyboard, TabVisitsEveryControlWithARingArrowsMoveEnterOpensAndEscapeHides) {
    ViewsHarness ui;
    ui.controller.devices = {kPhone, kDesktop, kMac};
    ui.controller.clips = {"first", "second", "third"};
    ui.openPanel();
    ASSERT_TRUE(waitUntil([&] { return ui.panel()->isActive(); }));
    QQuickWindow* panel = ui.panel();
    const auto tabs = [&](int count) {
        QStringList visited;
        for (int i = 0; i < count; ++i) {
            press(panel, Qt::Key_Tab);
            const auto [name, ring] = focus(panel);
            visited << name + (ring ? "" : " (no ring)");
        }
        return visited;
    };
    EXPECT_EQ(tabs(5).join(", "), "headerButton, deviceCell, clipRow, syncButton, headerButton");

    // Arrows within the devices and the clips; Enter opens the current clip.
    tabs(1);
    press(panel, Qt::Key_Right);
    EXPECT_EQ(panel->activeFocusItem()->property("name").toString(), "Study PC");
    tabs(1);
    press(panel, Qt::Key_Down);
    press(panel, Qt::Key_Down);
    press(panel, Qt::Key_Up);
    EXPECT_EQ(panel->activeFocusItem()->property("clipText").toString(), "second");
    QTest::keyClick(panel, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"writeClipboard:second"});
    press(panel, Qt::Key_Return);
    EXPECT_EQ(ui.model.selected().toString(), "second");
    EXPECT_TRUE(ui.item("detailPage")->isVisible());
    // The detail's copy action has the focus; Back is a Tab away.
    EXPECT_EQ(focus(panel), std::make_pair(QStringLiteral("copyText"), true));
    press(panel, Qt::Key_Space);
    EXPECT_EQ(ui.controller.calls.size(), 2u);
    EXPECT_EQ(tabs(1).join(""), "headerButton");
    press(panel, Qt::Key_Return);
    EXPECT_FALSE(ui.model.selected().isValid());
    EXPECT_TRUE(ui.item("mainPage")->isVisible());

    // Settings, from the header button that kept the focus.
    press(panel, Qt::Key_Enter);
    ASSERT_TRUE(ui.model.settings());
    EXPECT_EQ(tabs(8).join(", "), "automaticSwitch, startAtLoginSwitch, composeField, sendText, "
                                  "sendClipboard, welcomeButton, quitButton, headerButton");
    tabs(1);
    press(panel, Qt::Key_Space);
    EXPECT_EQ(ui.controller.calls.back(), "automatic:off");
    tabs(1);
    press(panel, Qt::Key_Space);
    EXPECT_EQ(ui.controller.calls.back(), "login:on");

    press(panel, Qt::Key_Escape);
    EXPECT_FALSE(ui.views->panelVisible());
}

TEST(PopoverView, SevenDevicesScrollWithAVisibleBarAndEachCanBeReached) {
    for (const bool hasClips : {false, true}) {
        ViewsHarness ui;
        for (int i = 0; i < 7; ++i)
            ui.controller.devices.push_back({QString("%1").arg(i, 32, 16, QChar('0')).toStdString(),
                                             "Device " + std::to_string(i + 1),
                                             i % 2 ? "android" : "windows"});
        if (hasClips)
            ui.controller.clips = {"a clip"};
        ui.openPanel();
        ASSERT_TRUE(waitUntil([&] { return ui.panel()->isActive(); }));
        QQuickItem* grid = ui.item("devices");
        QQuickItem* bar = ui.item("devicesScrollBar");
        ASSERT_NE(bar, nullptr);
        EXPECT_TRUE(bar->isVisible()) << hasClips;
        EXPECT_GT(bar->opacity(), 0.5) << hasClips;
        EXPECT_LT(bar->property("size").toDouble(), 1.0) << "the bar shows that there are more";
        // The clips keep their room below the devices.
        if (hasClips) {
            EXPECT_GE(ui.item("clips")->height(), 2 * 62) << "devices took the clips' room";
        }

        // The keyboard walks through every device and brings each into view.
        press(ui.panel(), Qt::Key_Tab);
        press(ui.panel(), Qt::Key_Tab);
        QStringList reached;
        for (int step = 0; step < 7; ++step) {
            QQuickItem* cell = ui.panel()->activeFocusItem();
            ASSERT_EQ(cell->objectName(), "deviceCell");
            reached << cell->property("name").toString();
            QAccessibleInterface* read = QAccessible::queryAccessibleInterface(cell);
            EXPECT_EQ(read->role(), QAccessible::ListItem);
            EXPECT_EQ(read->text(QAccessible::Name), reached.last());
            // Scrolled into view, after the view's short animation.
            EXPECT_TRUE(waitUntil([&] {
                const QRectF shown = grid->mapRectToScene(grid->boundingRect());
                return shown.contains(cell->mapRectToScene(cell->boundingRect()));
            })) << reached.last().toStdString();
            press(ui.panel(), Qt::Key_Right);
        }
        EXPECT_EQ(reached.join(","), "Device 1,Device 2,Device 3,Device 4,Device 5,Device 6,"
                                     "Device 7");
    }
}

TEST(FlowClipboardPanel, LooksTheSameUnderADarkDesktopPaletteAsUnderALightOne) {
    const QPalette original = QGuiApplication::palette();
    QPalette dark(QColor(32, 32, 36), QColor(20, 20, 24));
    dark.setColor(QPalette::ToolTipBase, QColor(10, 10, 10));
    dark.setColor(QPalette::ToolTipText, QColor(250, 250, 250));
    dark.setColor(QPalette::Text, QColor(240, 240, 240));
    dark.setColor(QPalette::WindowText, QColor(240, 240, 240));
    const QString markup = "<b>Sent</b> &amp; <i>done</i>";
    std::vector<QImage> shots;
    for (const QPalette& desktop : {original, dark}) {
        QApplication::setPalette(desktop);
        ViewsHarness ui;
        for (const NearbyDevice& device : {kPhone, kDesktop, kMac, kPhone, kDesktop, kMac, kPhone})
            ui.controller.devices.push_back(device);
        ui.controller.clips = FlowModel::previewClips() + FlowModel::previewClips();
        ui.controller.status = markup;
        ui.openPanel();
        // Scroll bars in the theme's colour, not the style's grey.
        QQuickItem* bar = ui.item("devicesScrollBar");
        ASSERT_TRUE(bar && bar->isVisible());
        EXPECT_EQ(
            bar->property("contentItem").value<QQuickItem*>()->property("color").value<QColor>(),
            FlowTheme::muted());
        // The status's tooltip, shown as the characters it holds.
        QQuickItem* line = ui.item("connectionText");
        QTest::mouseMove(ui.panel(), QPoint(1, 1));
        QTest::mouseMove(ui.panel(), line->mapToScene(QPointF(5, 5)).toPoint());
        ASSERT_TRUE(waitUntil([&] { return !shown(ui.panel(), "toolTipText").isEmpty(); }));
        EXPECT_EQ(shown(ui.panel(), "toolTipText"), QStringList{markup});
        EXPECT_EQ(ui.item("toolTipText")->property("textFormat").toInt(), 0) << "Text.PlainText";
        settle(ui.panel());
        shots.push_back(ui.panel()->grabWindow());
        ui.views->showWelcome();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.welcome(), 3000));
        settle(ui.welcome());
        shots.push_back(ui.welcome()->grabWindow());
    }
    QApplication::setPalette(original);
    ASSERT_EQ(shots.size(), 4u);
    EXPECT_TRUE(shots[0] == shots[2]) << "the panel follows the desktop's palette";
    EXPECT_TRUE(shots[1] == shots[3]) << "the welcome window follows the desktop's palette";
}

TEST(FlowClipboardPanel, DrawsAShadowWhereTheDesktopCompositesAndAnEdgeWhereItDoesNot) {
    for (const bool composited : {true, false}) {
        ViewsHarness ui;
        ui.views->setCompositingCheck([composited] { return composited; });
        ui.controller.clips = {"a clip"};
        ui.openPanel();
        // The card goes exactly where the placement rule puts the panel.
        const QRect area = ui.panel()->screen()->availableGeometry();
        const QRect card(area.right() + 1 - 10 - 430, area.top() + 10, 430, 600);
        EXPECT_EQ(ui.views->panelCard(), card) << composited;
        const int inset = composited ? QtViews::kShadowInset : 0;
        EXPECT_EQ(ui.panel()->geometry(), card.marginsAdded(QMargins(inset, inset, inset, inset)));

        // The offscreen platform grabs without alpha: what is transparent
        // comes out black, the shadow as faint ink over black.
        const QImage image = ui.panel()->grabWindow();
        ASSERT_EQ(image.size(), ui.panel()->size());
        const auto ink = [&](int x, int y) { return qGreen(image.pixel(x, y)); };
        if (composited) {
            EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0)) << "the far corner shows the desktop";
            EXPECT_NE(image.pixel(inset, inset), FlowTheme::cream().rgb()) << "a square corner";
            const int below = ink(inset + 215, inset + 600 + 3);
            EXPECT_GE(below, 4) << "no shadow below the card";
            EXPECT_LT(below, 30) << "the shadow is a solid bar";
            EXPECT_GT(below, ink(inset + 215, inset + 600 + 14)) << "the shadow does not fade";
        } else {
            // No pixel is left transparent (it would show black), and the
            // edge is the theme's line colour.
            for (const QPoint at : {QPoint(0, 0), QPoint(429, 0), QPoint(0, 599), QPoint(429, 599),
                                    QPoint(215, 0), QPoint(0, 300)})
                EXPECT_EQ(image.pixel(at), FlowTheme::line().rgba()) << at.x() << "," << at.y();
        }
    }
}
