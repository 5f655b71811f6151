// The view model: what refresh copies, what the actions reach, and that a
// controller that is gone is never touched.
#include "fake_controller.h"
#include "flow_model.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace zephlink;
using namespace zephlink::test;

namespace {

// Counts every change notice the model sends.
struct AllSignals {
    explicit AllSignals(FlowModel& model) {
        for (const char* signal :
             {SIGNAL(statusChanged()), SIGNAL(devicesChanged()), SIGNAL(clipsChanged()),
              SIGNAL(runningChanged()), SIGNAL(automaticChanged()), SIGNAL(settingsChanged()),
              SIGNAL(selectedChanged()), SIGNAL(panelHeightChanged())})
            spies.push_back(std::make_unique<QSignalSpy>(&model, signal));
    }
    qsizetype total() const {
        qsizetype sum = 0;
        for (const auto& spy : spies)
            sum += spy->count();
        return sum;
    }
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

TEST(FlowModel, StartsWithTheDocumentedValues) {
    FlowModel model;
    EXPECT_EQ(model.status(), QString::fromUtf8("Finding your devices\u2026"));
    EXPECT_TRUE(model.devices().isEmpty());
    EXPECT_TRUE(model.clips().isEmpty());
    EXPECT_FALSE(model.running());
    EXPECT_TRUE(model.automatic());
    EXPECT_FALSE(model.settings());
    EXPECT_FALSE(model.selected().isValid());
    EXPECT_EQ(model.panelHeight(), 600);
    EXPECT_EQ(model.app(), nullptr);
}

TEST(FlowModel, RefreshCopiesTheControllersState) {
    FakeController controller;
    controller.status = QStringLiteral("Connected · trusted local network");
    controller.devices = {{"0123456789abcdef0123456789abcdef", "Pixel", "android"}};
    controller.clips = {QStringLiteral("b"), QStringLiteral("a")};
    controller.running = true;
    controller.automatic = false;
    FlowModel model;
    model.setApp(&controller);
    model.refresh();
    EXPECT_EQ(model.status(), controller.status);
    ASSERT_EQ(model.devices().size(), 1);
    const QVariantMap device = model.devices().first().toMap();
    EXPECT_EQ(device.value("device").toString(), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(device.value("name").toString(), "Pixel");
    EXPECT_EQ(device.value("platform").toString(), "android");
    EXPECT_EQ(model.clips(), controller.clips);
    EXPECT_TRUE(model.running());
    EXPECT_FALSE(model.automatic());
}

TEST(FlowModel, RefreshWithTheControllerGoneChangesNothing) {
    FlowModel model;
    {
        FakeController controller;
        controller.status = QStringLiteral("Paused");
        controller.clips = {QStringLiteral("kept")};
        model.setApp(&controller);
        model.refresh();
        model.setPanelHeight(465);
    }
    EXPECT_EQ(model.app(), nullptr);
    AllSignals notices(model);
    model.refresh();
    model.toggleSync();
    model.copyClip(QStringLiteral("x"));
    model.setAutomaticSharing(false);
    model.sendText(QStringLiteral("x"));
    model.sendClipboard();
    model.showWelcome();
    model.connectFromWelcome();
    model.quit();
    EXPECT_EQ(notices.total(), 0);
    EXPECT_EQ(model.status(), "Paused");
    EXPECT_EQ(model.clips(), QStringList{"kept"});
    EXPECT_TRUE(model.automatic());
    EXPECT_EQ(model.panelHeight(), 465);
}

TEST(FlowModel, AnObjectThatIsNoControllerIsIgnored) {
    QObject stranger;
    FlowModel model;
    model.setApp(&stranger);
    EXPECT_EQ(model.app(), nullptr);
    model.refresh();
    model.toggleSync();
    EXPECT_EQ(model.status(), QString::fromUtf8("Finding your devices\u2026"));
}

TEST(FlowModel, RefreshResizesThePanelOnlyWhileItIsShown) {
    FakeController controller;
    FlowModel model;
    model.setApp(&controller);
    model.refresh();
    EXPECT_EQ(controller.resizes, 0);
    controller.panelShown = true;
    model.refresh();
    EXPECT_EQ(controller.resizes, 1);
}

TEST(FlowModel, ShowSettingsTwiceReturnsToTheMainPageWithNothingSelected) {
    FakeController controller;
    FlowModel model;
    model.setApp(&controller);
    model.selectClip(QStringLiteral("a clip"));
    model.showSettings();
    EXPECT_TRUE(model.settings());
    EXPECT_FALSE(model.selected().isValid());
    model.selectClip(QStringLiteral("a clip"));
    model.showSettings();
    EXPECT_FALSE(model.settings());
    EXPECT_FALSE(model.selected().isValid());
    EXPECT_EQ(controller.resizes, 2);
}

TEST(FlowModel, HeaderButtonLeavesASelectedClipBeforeOpeningSettings) {
    FakeController controller;
    FlowModel model;
    model.setApp(&controller);
    model.selectClip(QStringLiteral("a clip"));
    model.headerAction();
    EXPECT_FALSE(model.selected().isValid());
    EXPECT_FALSE(model.settings()) << "Back from a clip must not open settings";
    model.headerAction();
    EXPECT_TRUE(model.settings());
    model.headerAction();
    EXPECT_FALSE(model.settings());
}

TEST(FlowModel, SelectionIsAStringOrNothing) {
    FlowModel model;
    QSignalSpy changed(&model, &FlowModel::selectedChanged);
    model.setSelected(QVariant::fromValue(nullptr));
    model.setSelected(QVariant(42));
    model.setSelected(QVariant());
    EXPECT_FALSE(model.selected().isValid());
    EXPECT_EQ(changed.count(), 0);
    model.setSelected(QStringLiteral(""));
    EXPECT_TRUE(model.selected().isValid()) << "an empty text is still a selected clip";
    EXPECT_EQ(changed.count(), 1);
}

TEST(FlowModel, EveryActionReachesTheControllerAndRefreshes) {
    struct Case {
        const char* why;
        std::function<void(FlowModel&)> act;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"copy a clip",
         [](FlowModel& m) { m.copyClip("line one\nline two"); },
         {"writeClipboard:line one\nline two"}},
        {"switch automatic sharing off",
         [](FlowModel& m) { m.setAutomaticSharing(false); },
         {"automatic:off"}},
        {"send the compose text", [](FlowModel& m) { m.sendText("  hello "); }, {"send:  hello "}},
        {"send the clipboard", [](FlowModel& m) { m.sendClipboard(); }, {"sendClipboard"}},
        {"welcome", [](FlowModel& m) { m.showWelcome(); }, {"show"}},
        {"connect from the welcome view",
         [](FlowModel& m) { m.connectFromWelcome(); },
         {"connectFromWelcome"}},
        {"pause while running", [](FlowModel& m) { m.toggleSync(); }, {"stop"}},
        {"quit", [](FlowModel& m) { m.quit(); }, {"quit"}},
    };
    for (const Case& c : cases) {
        FakeController controller;
        FlowModel model;
        model.setApp(&controller);
        controller.status = QStringLiteral("changed by the controller");
        c.act(model);
        EXPECT_EQ(controller.calls, c.calls) << c.why;
        if (c.calls.front() != "quit") {
            EXPECT_EQ(model.status(), controller.status) << c.why << ": not refreshed";
        }
    }
}

TEST(FlowModel, CopyingSaysCopiedLocally) {
    FakeController controller;
    FlowModel model;
    model.setApp(&controller);
    model.copyClip(QStringLiteral("x"));
    EXPECT_EQ(controller.status, "Copied locally");
    EXPECT_EQ(model.status(), "Copied locally");
}

TEST(FlowModel, AutomaticFollowsTheControllersSwitchNotAStoredCopy) {
    FakeController controller;
    FlowModel model;
    model.setApp(&controller);
    model.setAutomaticSharing(false);
    EXPECT_FALSE(model.automatic());
    controller.automatic = true; // switched back elsewhere (a group was left, say)
    model.refresh();
    EXPECT_TRUE(model.automatic());
}

TEST(FlowModel, SyncButtonResumesAPausedControllerAndIsInertInDesignPreview) {
    FakeController controller;
    controller.running = false;
    FlowModel model;
    model.setApp(&controller);
    model.toggleSync();
    EXPECT_EQ(controller.calls, std::vector<std::string>{"start"});
    EXPECT_TRUE(model.running());

    FakeController preview;
    preview.preview = true;
    preview.running = true;
    FlowModel previewModel;
    previewModel.setApp(&preview);
    previewModel.toggleSync();
    previewModel.toggleSync();
    EXPECT_TRUE(preview.calls.empty());
    EXPECT_TRUE(previewModel.running()) << "refreshed all the same";
}

TEST(FlowModel, PreviewClipsAreThreeNotesAndTwoWebAddresses) {
    const QStringList clips = FlowModel::previewClips();
    ASSERT_EQ(clips.size(), 5);
    EXPECT_EQ(clips.filter(QRegularExpression("^https://")).size(), 2);
    for (const QString& clip : clips)
        EXPECT_FALSE(clip.trimmed().isEmpty());
}
