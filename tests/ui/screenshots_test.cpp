// Pictures of the popover and the welcome view for people to look at,
// written to <build>/screenshots.
#include "ui_support.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

TEST(Screenshots, PopoverStatesAndTheWelcomeViewAreWrittenToTheFolder) {
    const QDir folder(QStringLiteral(ZEPHLINK_SCREENSHOT_DIR));
    ASSERT_TRUE(folder.mkpath(QStringLiteral(".")));
    const std::vector<NearbyDevice> devices = {
        {"0123456789abcdef0123456789abcdef", "Pixel 8", "android"},
        {"fedcba9876543210fedcba9876543210", "Study PC", "windows"}};
    struct Shot {
        const char* name;
        bool filled;      // two devices and the preview clips
        bool paused;      // a paused design preview
        const char* page; // "main", "settings" or "detail"
    };
    const Shot shots[] = {
        {"popover-empty", false, false, "main"},       {"popover-clips", true, false, "main"},
        {"popover-settings", true, false, "settings"}, {"popover-detail", true, false, "detail"},
        {"popover-paused", false, true, "main"},       {"welcome", false, false, nullptr},
    };
    for (const Shot& shot : shots) {
        ViewsHarness ui(shot.paused);
        ui.controller.running = !shot.paused;
        if (shot.filled) {
            ui.controller.devices = devices;
            ui.controller.clips = FlowModel::previewClips();
        }
        QQuickWindow* window = ui.panel();
        if (!shot.page) {
            window = ui.welcome();
            ui.views->showWelcome();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 3000));
        } else {
            ui.openPanel();
            if (std::string(shot.page) == "settings")
                ui.model.showSettings();
            if (std::string(shot.page) == "detail")
                ui.model.selectClip(FlowModel::previewClips().at(4));
        }
        settle(window);
        const QImage image = window->grabWindow();
        ASSERT_FALSE(image.isNull()) << shot.name;
        EXPECT_TRUE(image.save(folder.filePath(QString(shot.name) + ".png"))) << shot.name;
    }
}
