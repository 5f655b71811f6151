#include "fakes.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

TEST(Launch, FirstLaunchStoresAnIdentifierThatLaterLaunchesKeep) {
    Harness first;
    first.launch();
    const auto stored = first.settings.string("device");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(validID(stored->toStdString())) << stored->toStdString();
    EXPECT_EQ(first.app->device(), stored->toStdString());

    Harness second;
    second.settings = first.settings;
    second.launch();
    EXPECT_EQ(second.app->device(), stored->toStdString());
    EXPECT_EQ(second.settings.string("device"), stored);
}

TEST(Launch, StartsSyncAndShowsTheWelcomeOnTheFirstRun) {
    Harness h;
    h.launch();
    EXPECT_TRUE(h.views.isSetUp);
    EXPECT_TRUE(h.app->isRunning());
    ASSERT_NE(h.discovery, nullptr);
    EXPECT_EQ(h.discovery->starts, 1);
    EXPECT_EQ(h.discovery->name, "desk");
    EXPECT_EQ(h.discovery->device, h.app->device());
    EXPECT_EQ(h.status(), "Discovering devices on trusted Wi-Fi…");
    EXPECT_TRUE(h.views.welcome);
    EXPECT_FALSE(h.views.panel);
    EXPECT_TRUE(h.app->automaticSending());
    EXPECT_FALSE(h.settings.boolean("localPaused"));
}

TEST(Launch, RemembersThePauseAndTheWelcome) {
    Harness h;
    h.settings.setBoolean("localPaused", true);
    h.settings.setBoolean("flowWelcomed", true);
    h.launch();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_EQ(h.discovery->starts, 0);
    EXPECT_EQ(h.status(), "Paused · Resume to discover nearby devices");
    EXPECT_EQ(h.app->flow().status(), "Paused · Resume to discover nearby devices");
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome);
}

TEST(Launch, FallsBackToMacWithoutAHostName) {
    Harness h;
    h.hostName.clear();
    h.launch();
    EXPECT_EQ(h.discovery->name, "Mac");
}

TEST(Launch, DesignPreviewStartsNothing) {
    Harness h({"zephlink", "--ui-preview", "--preview-popover", "--preview-clips"});
    h.launch();
    EXPECT_EQ(h.status(), "Design preview · discovery is off");
    EXPECT_TRUE(h.views.preview);
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome);
    EXPECT_EQ(h.discovery, nullptr);
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_EQ(h.app->flow().clips().size(), 5);
    EXPECT_FALSE(h.pasteboard.listener);

    h.app->toggleSync();
    EXPECT_FALSE(h.app->isRunning()) << "pause and resume do nothing in the preview";
    h.app->connectFromWelcome();
    EXPECT_FALSE(h.app->isRunning());
    EXPECT_FALSE(h.settings.boolean("flowWelcomed"));
}

TEST(Launch, DesignPreviewAloneOpensTheWelcome) {
    Harness h({"zephlink", "--ui-preview"});
    h.launch();
    EXPECT_TRUE(h.views.welcome);
    EXPECT_FALSE(h.views.panel);
    EXPECT_TRUE(h.app->flow().clips().isEmpty());
}

TEST(Windows, TheTrayButtonTogglesThePanelWhichReopensOnTheClipList) {
    Harness h;
    h.launch();
    ASSERT_TRUE(h.views.onTray);
    h.views.onTray();
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.views.welcome) << "the two are never shown together";
    h.app->flow().showSettings();
    h.app->flow().setSelected(QStringLiteral("x"));
    h.views.onTray();
    EXPECT_FALSE(h.views.panel);
    h.views.onTray();
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.app->flow().settings());
    EXPECT_FALSE(h.app->flow().selected().isValid());
    h.app->show();
    EXPECT_FALSE(h.views.panel);
    EXPECT_TRUE(h.views.welcome);
}

TEST(Windows, ReopenOpensTheHiddenPanel) {
    Harness h;
    h.launch();
    EXPECT_FALSE(h.app->applicationShouldHandleReopen());
    EXPECT_TRUE(h.views.panel);
    EXPECT_FALSE(h.app->applicationShouldHandleReopen());
    EXPECT_TRUE(h.views.panel) << "reopen never hides";
}

TEST(Windows, ConnectFromWelcomeStartsRemembersAndOpensThePanel) {
    Harness h;
    h.settings.setBoolean("localPaused", true);
    h.launch();
    h.app->connectFromWelcome();
    EXPECT_TRUE(h.app->isRunning());
    EXPECT_TRUE(h.settings.boolean("flowWelcomed"));
    EXPECT_FALSE(h.views.welcome);
    EXPECT_TRUE(h.views.panel);
}

TEST(Windows, QuitTerminatesAndTerminationStopsDiscovery) {
    Harness h;
    h.launch();
    h.app->quit();
    EXPECT_EQ(h.terminated, 1);
    h.app->applicationWillTerminate();
    EXPECT_EQ(h.discovery->stops, 1);
}
