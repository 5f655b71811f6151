// Pictures of the popover and the welcome view for people to look at,
// written to <build>/screenshots.
#include "ui_support.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

QString screenshotPath(const QString& name) {
    QDir().mkpath(QStringLiteral(ZEPHLINK_SCREENSHOT_DIR));
    return QDir(QStringLiteral(ZEPHLINK_SCREENSHOT_DIR)).filePath(name + QStringLiteral(".png"));
}

void shoot(QQuickWindow* window, const QString& name) {
    settle(window);
    const QImage image = window->grabWindow();
    ASSERT_FALSE(image.isNull()) << name.toStdString();
    ASSERT_TRUE(image.save(screenshotPath(name))) << name.toStdString();
}

std::vector<NearbyDevice> twoDevices() {
    return {{"0123456789abcdef0123456789abcdef", "Pixel 8", "android"},
            {"fedcba9876543210fedcba9876543210", "Study PC", "windows"}};
}

} // namespace

TEST(Screenshots, PopoverEmpty) {
    ViewsHarness ui;
    ui.controller.devices.clear();
    ui.openPanel();
    EXPECT_EQ(ui.model.panelHeight(), 465);
    shoot(ui.panel(), QStringLiteral("popover-empty"));
}

TEST(Screenshots, PopoverWithPreviewClips) {
    ViewsHarness ui;
    ui.controller.devices = twoDevices();
    ui.controller.clips = FlowModel::previewClips();
    ui.openPanel();
    EXPECT_EQ(ui.model.panelHeight(), 600);
    shoot(ui.panel(), QStringLiteral("popover-clips"));
}

TEST(Screenshots, PopoverSettings) {
    ViewsHarness ui;
    ui.controller.devices = twoDevices();
    ui.controller.clips = FlowModel::previewClips();
    ui.openPanel();
    ui.model.showSettings();
    EXPECT_EQ(ui.model.panelHeight(), 525);
    shoot(ui.panel(), QStringLiteral("popover-settings"));
}

TEST(Screenshots, PopoverDetail) {
    ViewsHarness ui;
    ui.controller.devices = twoDevices();
    ui.controller.clips = FlowModel::previewClips();
    ui.openPanel();
    ui.model.selectClip(FlowModel::previewClips().at(4));
    shoot(ui.panel(), QStringLiteral("popover-detail"));
}

TEST(Screenshots, PopoverPausedDesignPreview) {
    ViewsHarness ui(true);
    ui.controller.running = false;
    ui.controller.devices.clear();
    ui.openPanel();
    shoot(ui.panel(), QStringLiteral("popover-paused"));
}

TEST(Screenshots, Welcome) {
    ViewsHarness ui;
    ui.views->showWelcome();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.welcome(), 3000));
    shoot(ui.welcome(), QStringLiteral("welcome"));
}
