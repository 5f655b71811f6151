// The QML views loaded for real on the offscreen platform: what they show
// for the model's state, that every control reaches the controller, and how
// the panel window behaves.
#include "flow_theme.h"
#include "ui_support.h"

#include <QAccessible>
#include <QColor>
#include <QKeyEvent>
#include <QQmlComponent>
#include <QScreen>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const NearbyDevice kPhone{"0123456789abcdef0123456789abcdef", "Pixel 8", "android"};
const NearbyDevice kDesktop{"fedcba9876543210fedcba9876543210", "Study PC", "windows"};
const NearbyDevice kMac{"00112233445566778899aabbccddeeff", "Studio", "mac"};

QColor colorOf(QQuickItem* item) {
    return item->property("color").value<QColor>();
}

QStringList iconNames(const QList<QQuickItem*>& icons) {
    QStringList names;
    for (QQuickItem* icon : icons)
        names.append(icon->property("name").toString());
    return names;
}

QStringList texts(const QList<QQuickItem*>& items) {
    QStringList all;
    for (QQuickItem* item : items)
        all.append(text(item));
    return all;
}

void typeText(QQuickWindow* window, const char* text) {
    for (const char* c = text; *c; ++c)
        QTest::keyClick(window, *c);
}

// The nth visible copy button, which lives inside the nth clip row.
QQuickItem* copyButton(QQuickWindow* window, int index) {
    const QList<QQuickItem*> buttons = findShown(window, "copyButton");
    return index < buttons.size() ? buttons.at(index) : nullptr;
}

} // namespace

TEST(PopoverView, ConnectionLineReadsPausedConnectedOrFinding) {
    struct Case {
        const char* why;
        bool running;
        std::vector<NearbyDevice> devices;
        const char* text;
        bool green;
    };
    const Case cases[] = {
        {"running without devices", true, {}, "Finding your devices\u2026", false},
        {"running with a device", true, {kPhone}, "Connected", true},
        {"paused without devices", false, {}, "Paused", false},
        {"paused although devices are known", false, {kPhone, kDesktop}, "Paused", false},
    };
    for (const Case& c : cases) {
        ViewsHarness ui;
        ui.controller.running = c.running;
        ui.controller.devices = c.devices;
        ui.openPanel();
        EXPECT_EQ(text(find(ui.panel(), "connectionText")), QString::fromUtf8(c.text)) << c.why;
        const QColor dot = colorOf(find(ui.panel(), "connectionDot"));
        EXPECT_EQ(dot, c.green ? QColor::fromRgbF(0.15f, 0.71f, 0.43f) : FlowTheme::muted())
            << c.why;
    }
}

TEST(PopoverView, DevicesShowTheirNamesAndAPhoneOnlyForAndroid) {
    ViewsHarness ui;
    ui.controller.devices = {kPhone, kDesktop, kMac};
    ui.openPanel();
    EXPECT_EQ(findShown(ui.panel(), "deviceCell").size(), 3);
    EXPECT_EQ(iconNames(findShown(ui.panel(), "deviceSymbol")),
              (QStringList{"smartphone", "desktopcomputer", "desktopcomputer"}));
}

TEST(PopoverView, ClipRowsPickTheLinkSymbolOnlyForTextStartingWithHttp) {
    ViewsHarness ui;
    ui.controller.clips = {"https://example.com", "http",   "HTTP://example.com",
                           " http://example.com", "a note", "httpx is a word"};
    ui.openPanel();
    EXPECT_EQ(iconNames(findShown(ui.panel(), "clipSymbol")),
              (QStringList{"link", "link", "doc.text", "doc.text", "doc.text", "link"}));
}

TEST(PopoverView, ClipRowsShowOneLineAndTheirCaptions) {
    ViewsHarness ui;
    ui.controller.clips = {"first\nsecond\nthird", "older", "oldest"};
    ui.openPanel();
    EXPECT_EQ(texts(findShown(ui.panel(), "clipText")),
              (QStringList{"first second third", "older", "oldest"}));
    EXPECT_EQ(texts(findShown(ui.panel(), "clipCaption")),
              (QStringList{"Latest shared text", "Session history", "Session history"}));
    EXPECT_EQ(text(find(ui.panel(), "clipCount")), "3 / 20");
    for (int index = 0; index < 3; ++index) {
        QQuickItem* button = copyButton(ui.panel(), index);
        ASSERT_NE(button, nullptr);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString("Copy clip %1").arg(index + 1));
    }
}

TEST(PopoverView, MarkupInAClipIsShownAsTheTextItIs) {
    const QString hostile = "<img src=\"http://192.0.2.1/x.png\"><b>bold</b> &amp;";
    ViewsHarness ui;
    ui.controller.clips = {hostile};
    ui.controller.devices = {{kPhone.device, "<i>Pixel</i>", "android"}};
    ui.openPanel();
    QQuickItem* row = find(ui.panel(), "clipText");
    EXPECT_EQ(text(row), hostile);
    EXPECT_EQ(row->property("textFormat").toInt(), 0) << "Text.PlainText";
    ui.model.selectClip(hostile);
    settle(ui.panel());
    QQuickItem* detail = find(ui.panel(), "detailText");
    EXPECT_EQ(text(detail), hostile);
    EXPECT_EQ(detail->property("textFormat").toInt(), 0) << "TextEdit.PlainText";
}

TEST(PopoverView, EmptyHistoryShowsTheMascotAndItsWords) {
    ViewsHarness ui;
    ui.openPanel();
    EXPECT_EQ(text(find(ui.panel(), "clipCount")), "0 / 20");
    QQuickItem* empty = find(ui.panel(), "emptyState");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->isVisible());
    EXPECT_FALSE(find(ui.panel(), "clips")->isVisible());
    EXPECT_TRUE(find(ui.panel(), "mascot")->isVisible());
    EXPECT_GT(find(ui.panel(), "mascot")->height(), 40);
    EXPECT_EQ(ui.model.panelHeight(), 465);
}

TEST(PopoverView, SelectingAClipShowsItAndBackReturnsToTheList) {
    ViewsHarness ui;
    ui.controller.clips = {"line one\nline two", "other"};
    ui.openPanel();
    click(findShown(ui.panel(), "clipRow").value(0));
    settle(ui.panel());
    EXPECT_EQ(ui.model.selected().toString(), "line one\nline two");
    EXPECT_TRUE(find(ui.panel(), "detailPage")->isVisible());
    EXPECT_FALSE(find(ui.panel(), "mainPage")->isVisible());
    EXPECT_EQ(text(find(ui.panel(), "detailText")), "line one\nline two");
    QQuickItem* header = find(ui.panel(), "headerButton");
    EXPECT_EQ(text(header), "Back");
    EXPECT_EQ(header->property("iconName").toString(), "arrow.left");

    click(find(ui.panel(), "copyText"));
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"writeClipboard:line one\nline two"});
    EXPECT_EQ(ui.model.status(), "Copied locally");

    click(header);
    settle(ui.panel());
    EXPECT_FALSE(ui.model.selected().isValid());
    EXPECT_FALSE(ui.model.settings());
    EXPECT_TRUE(find(ui.panel(), "mainPage")->isVisible());
    EXPECT_EQ(text(header), "Settings");
    EXPECT_EQ(header->property("iconName").toString(), "gearshape");
}

TEST(PopoverView, RowCopyButtonCopiesThatClipWithoutSelectingIt) {
    ViewsHarness ui;
    ui.controller.clips = {"newest", "middle", "oldest"};
    ui.openPanel();
    click(copyButton(ui.panel(), 1));
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"writeClipboard:middle"});
    EXPECT_EQ(ui.controller.status, "Copied locally");
    EXPECT_FALSE(ui.model.selected().isValid());
}

TEST(PopoverView, OpeningSettingsResizesTheShownPanelAtOnce) {
    ViewsHarness ui;
    ui.controller.clips = {"a clip"};
    ui.openPanel();
    EXPECT_EQ(ui.panel()->height(), 600);
    click(find(ui.panel(), "headerButton"));
    EXPECT_TRUE(ui.model.settings());
    EXPECT_EQ(ui.model.panelHeight(), 525);
    EXPECT_EQ(ui.panel()->height(), 525);
    settle(ui.panel());
    EXPECT_TRUE(find(ui.panel(), "settingsPage")->isVisible());
    EXPECT_EQ(text(find(ui.panel(), "headerButton")), "Back");

    ui.controller.clips.clear();
    click(find(ui.panel(), "headerButton"));
    EXPECT_FALSE(ui.model.settings());
    EXPECT_EQ(ui.panel()->height(), 600) << "the model still holds the clip until refreshed";
    ui.model.refresh();
    EXPECT_EQ(ui.panel()->height(), 465);
}

TEST(PopoverView, ANewClipGrowsTheShownPanelButNotTheHiddenOne) {
    ViewsHarness ui;
    ui.openPanel();
    EXPECT_EQ(ui.panel()->height(), 465);
    ui.controller.clips = {"first clip"};
    ui.model.refresh();
    EXPECT_EQ(ui.panel()->height(), 600);
    EXPECT_EQ(text(find(ui.panel(), "clipCount")), "1 / 20");

    ui.views->hidePanel();
    const int resizes = ui.controller.resizes;
    ui.controller.clips.clear();
    ui.model.refresh();
    EXPECT_EQ(ui.controller.resizes, resizes);
    EXPECT_EQ(ui.panel()->height(), 600);
}

TEST(PopoverView, SwitchAnnouncesItsLabelAndOnOrOff) {
    ViewsHarness ui;
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    QQuickItem* toggle = find(ui.panel(), "automaticSwitch");
    ASSERT_NE(toggle, nullptr);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(toggle);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Automatically share Mac copies");
    EXPECT_EQ(accessible->text(QAccessible::Value), "On");
    EXPECT_TRUE(accessible->state().checked);

    click(find(ui.panel(), "switchButton"));
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"automatic:off"});
    EXPECT_FALSE(ui.model.automatic());
    EXPECT_EQ(accessible->text(QAccessible::Value), "Off");
    EXPECT_FALSE(accessible->state().checked);

    ASSERT_NE(accessible->actionInterface(), nullptr);
    accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(ui.controller.calls.back(), "automatic:on");
    EXPECT_EQ(accessible->text(QAccessible::Value), "On");
}

TEST(PopoverView, SwitchShowsTheControllersStateWhenItRefusesTheChange) {
    ViewsHarness ui;
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    // A controller that is gone: pressing changes nothing on screen.
    ui.model.setApp(nullptr);
    click(find(ui.panel(), "switchButton"));
    EXPECT_TRUE(find(ui.panel(), "automaticSwitch")->property("checked").toBool());
    EXPECT_TRUE(ui.controller.calls.empty());
}

TEST(PopoverView, SettingsButtonsReachTheController) {
    ViewsHarness ui;
    ui.openPanel();
    click(find(ui.panel(), "headerButton"));
    settle(ui.panel());
    QQuickItem* field = find(ui.panel(), "composeField");
    ASSERT_NE(field, nullptr);
    click(field);
    ASSERT_TRUE(waitUntil([&] { return field->hasActiveFocus(); }));
    typeText(ui.panel(), "note to self");
    EXPECT_EQ(text(field), "note to self");

    click(find(ui.panel(), "sendText"));
    click(find(ui.panel(), "sendClipboard"));
    click(find(ui.panel(), "welcomeButton"));
    click(find(ui.panel(), "quitButton"));
    EXPECT_EQ(ui.controller.calls,
              (std::vector<std::string>{"send:note to self", "sendClipboard", "show", "quit"}));
    EXPECT_EQ(text(find(ui.panel(), "notice")),
              "Trusted private Wi-Fi only: every reachable installation can join. History is held "
              "in memory. Sensitive formats are skipped, but not every secret can be detected.");
}

TEST(PopoverView, ComposeTextSurvivesPageChangesAndHiding) {
    ViewsHarness ui;
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    QQuickItem* field = find(ui.panel(), "composeField");
    click(field);
    typeText(ui.panel(), "draft");
    ui.model.showSettings();
    ui.views->hidePanel();
    ui.openPanel();
    ui.model.showSettings();
    settle(ui.panel());
    EXPECT_EQ(text(find(ui.panel(), "composeField")), "draft");
}

TEST(PopoverView, SyncButtonPausesAndResumes) {
    ViewsHarness ui;
    ui.openPanel();
    QQuickItem* sync = find(ui.panel(), "syncButton");
    EXPECT_EQ(text(sync), "Pause sync");
    EXPECT_EQ(find(ui.panel(), "syncSymbol")->property("name").toString(), "pause.circle");
    click(sync);
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"stop"});
    EXPECT_EQ(text(sync), "Resume sync");
    EXPECT_EQ(find(ui.panel(), "syncSymbol")->property("name").toString(), "play.circle");
    EXPECT_EQ(text(find(ui.panel(), "connectionText")), "Paused");
    click(sync);
    EXPECT_EQ(ui.controller.calls, (std::vector<std::string>{"stop", "start"}));
}

TEST(PopoverView, SyncButtonChangesNothingInDesignPreview) {
    ViewsHarness ui(true);
    ui.openPanel();
    click(find(ui.panel(), "syncButton"));
    click(find(ui.panel(), "syncButton"));
    EXPECT_TRUE(ui.controller.calls.empty());
    EXPECT_EQ(text(find(ui.panel(), "syncButton")), "Pause sync");
}

TEST(WelcomeView, ShowsItsWordsAndTheButtonConnects) {
    ViewsHarness ui;
    ui.views->showWelcome();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.welcome(), 3000));
    settle(ui.welcome());
    EXPECT_EQ(text(find(ui.welcome(), "headline")), "Make your devices\nfeel like one.");
    EXPECT_EQ(text(find(ui.welcome(), "subtitle")),
              "Copy text or links on one device.\nPaste them on another.");
    EXPECT_EQ(text(find(ui.welcome(), "note")), "Same thoughts.\nMore freedom.");
    EXPECT_EQ(text(find(ui.welcome(), "caption")), "A simpler,\nconnected you.");
    EXPECT_EQ(text(find(ui.welcome(), "footnote")),
              QString::fromUtf8("Local dazar \u00b7 Trusted private Wi-Fi. Every reachable "
                                "installation can join."));
    QQuickItem* artwork = find(ui.welcome(), "artwork");
    EXPECT_TRUE(artwork->isVisible());
    EXPECT_EQ(artwork->mapToScene(QPointF(artwork->width() / 2, artwork->height() / 2)),
              QPointF(570, 356));
    QQuickItem* caption = find(ui.welcome(), "caption");
    EXPECT_EQ(caption->mapToScene(QPointF(caption->width() / 2, caption->height() / 2)),
              QPointF(639, 527));
    EXPECT_EQ(caption->rotation(), -7);
    EXPECT_EQ(find(ui.welcome(), "note")->rotation(), -7);

    QQuickItem* connect = find(ui.welcome(), "connectButton");
    EXPECT_EQ(text(connect), "Connect a device");
    EXPECT_EQ(connect->height(), 56);
    click(connect);
    EXPECT_EQ(ui.controller.calls, std::vector<std::string>{"connectFromWelcome"});
}

TEST(WelcomeView, ArtworkThatIsMissingTakesNoSpace) {
    ViewsHarness ui;
    QQmlComponent component(ui.views->engine());
    component.setData("import QtQuick\nimport Zephlink\nFlowArtwork { name: \"no_such_art\" }",
                      QUrl("qrc:/Zephlink/MissingArtwork.qml"));
    std::unique_ptr<QObject> object(component.create());
    auto* artwork = qobject_cast<QQuickItem*>(object.get());
    ASSERT_NE(artwork, nullptr) << component.errorString().toStdString();
    EXPECT_FALSE(artwork->isVisible());
    EXPECT_EQ(artwork->implicitWidth(), 0);
    EXPECT_EQ(artwork->implicitHeight(), 0);
}

TEST(WelcomeWindow, ClosingOnlyHidesItAndShowBringsTheSameWindowBack) {
    ViewsHarness ui;
    QQuickWindow* window = ui.welcome();
    EXPECT_EQ(window->title(), "Zephlink");
    EXPECT_EQ(window->size(), QSize(780, 600));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->color(), FlowTheme::cream());
    ui.views->showWelcome();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 3000));
    EXPECT_TRUE(ui.views->welcomeVisible());
    window->close();
    EXPECT_FALSE(ui.views->welcomeVisible());
    EXPECT_EQ(ui.views->welcomeWindow(), window);
    ui.views->showWelcome();
    EXPECT_TRUE(ui.views->welcomeVisible());
    const QRect area = window->screen()->availableGeometry();
    EXPECT_EQ(window->position(),
              QPoint(area.x() + (area.width() - 780) / 2, area.y() + (area.height() - 600) / 2))
        << "centred";
}

TEST(PanelWindow, IsAFramelessTransparentToolWindowThatStaysOnTop) {
    for (const bool preview : {false, true}) {
        ViewsHarness ui(preview);
        QQuickWindow* panel = ui.panel();
        EXPECT_EQ(panel->title(), preview ? "Zephlink Design Preview" : "Zephlink Clipboard");
        EXPECT_TRUE(panel->flags() & Qt::FramelessWindowHint);
        EXPECT_TRUE(panel->flags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(panel->color().alpha(), 0);
        EXPECT_EQ(panel->format().alphaBufferSize(), 8);
        EXPECT_FALSE(ui.views->panelVisible());
    }
}

TEST(PanelWindow, ClosingItOnlyHidesIt) {
    ViewsHarness ui;
    ui.openPanel();
    QQuickWindow* panel = ui.panel();
    panel->close();
    EXPECT_FALSE(ui.views->panelVisible());
    EXPECT_EQ(ui.views->panelWindow(), panel);
    ui.openPanel();
    EXPECT_TRUE(ui.views->panelVisible());
}

TEST(PanelWindow, WithoutATrayHangsFromTheTopRightCorner) {
    ViewsHarness ui;
    EXPECT_EQ(ui.views->trayIcon(), nullptr) << "the offscreen platform has no tray";
    ui.openPanel();
    const QRect area = ui.panel()->screen()->availableGeometry();
    EXPECT_EQ(ui.panel()->geometry(),
              QRect(area.right() + 1 - 10 - 430, area.top() + 10, 430, 465));
}

TEST(PanelWindow, HangsFromWhereTheTrayItemWasClicked) {
    ViewsHarness ui;
    const QRect area = ui.panel()->screen()->availableGeometry();
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
}

TEST(PanelWindow, EscapeHidesItOnlyWhileItIsShown) {
    ViewsHarness ui;
    ui.openPanel();
    ASSERT_TRUE(ui.views->panelVisible());
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

TEST(PanelWindow, AClickInAnotherWindowHidesItAndAClickInsideDoesNot) {
    ViewsHarness ui;
    // Both shown at once, which only a test arranges.
    ui.views->showWelcome();
    ASSERT_TRUE(waitUntil([&] { return ui.welcome()->isActive(); }));
    ui.model.refresh();
    ui.views->resizePanel();
    ui.views->showPanel();
    ASSERT_TRUE(waitUntil([&] { return ui.panel()->isActive(); }));
    settle(ui.panel());
    ASSERT_TRUE(ui.views->panelVisible());
    QTest::mouseClick(ui.panel(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 300));
    EXPECT_TRUE(ui.views->panelVisible());
    QTest::mouseClick(ui.welcome(), Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(ui.views->panelVisible());
    EXPECT_TRUE(ui.views->welcomeVisible());
}

TEST(PanelWindow, LosingFocusHidesItAndTheTrayClickThatTookItDoesNotReopenIt) {
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

TEST(PanelWindow, IsPlacedAgainWhenTheScreensChangeWhileShown) {
    ViewsHarness ui;
    ui.openPanel();
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
