// The controller against a real nearby host over loopback, with real threads
// for its blocking work and the Qt event loop bringing results back.
#include "../app/fakes.h"
#include "api.h"
#include "dazar_app.h"
#include "local_host.h"
#include "main_thread.h"

#include <QTest>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>

using namespace zephlink;
using namespace zephlink::test;

namespace {

constexpr int kWaitMs = 10000;
const std::string kRealHost = "http://127.0.0.1:8788";

LocalSession sessionOf(const std::string& device) {
    const nlohmann::json body = NearbyDevice{device, "desk", "mac"};
    const std::string answer =
        API::request(kRealHost, "/v1/local-session", std::nullopt, "POST", body.dump(), 2);
    return nlohmann::json::parse(answer).get<LocalSession>();
}

std::shared_ptr<LocalHost> startedHost() {
    auto host = LocalHost::create(identifier(), "host");
    EXPECT_TRUE(host->start());
    return host;
}

void stopHost(const std::shared_ptr<LocalHost>& host) {
    host->stop();
    EXPECT_TRUE(host->waitUntilFinished(std::chrono::seconds(5)));
}

// A controller whose clip-server calls really go out, on threads of their
// own; pasteboard, settings and windows are fakes.
struct RealSync {
    FakePasteboard pasteboard;
    FakeSettings settings;
    FakeViews views;
    FakeDialogs dialogs;
    FakeDiscovery* discovery = nullptr;
    // Shared with the poll threads, which may outlive a failed test's wait.
    std::shared_ptr<std::atomic<int>> inFlight = std::make_shared<std::atomic<int>>(0);
    std::atomic<int>& pollsInFlight = *inFlight;
    std::unique_ptr<DazarApp> app;

    RealSync() {
        AppEnvironment env;
        env.pasteboard = &pasteboard;
        env.settings = &settings;
        env.views = &views;
        env.dialogs = &dialogs;
        env.discovery = [this](const std::string&, const std::string&, DiscoveryCallback callback) {
            auto made = std::make_unique<FakeDiscovery>();
            made->callback = std::move(callback);
            discovery = made.get();
            return made;
        };
        env.server.post = [](const Group& g, const Envelope& e) { API::postClip(g, e); };
        env.server.poll = [count = inFlight](const Group& g, std::int64_t cursor) {
            ++*count;
            struct Done {
                std::atomic<int>& count;
                ~Done() { --count; }
            } done{*count};
            return API::pollClips(g, cursor);
        };
        env.arguments = {"zephlink"};
        env.hostName = [] { return QStringLiteral("desk"); };
        env.now = [] { return nowMilliseconds(); };
        env.identifier = [] { return identifier(); };
        env.background = [](std::function<std::function<void()>()> job) {
            main_thread::background(std::move(job));
        };
        env.after = [](int ms, std::function<void()> fn) {
            QTimer::singleShot(ms, QCoreApplication::instance(), std::move(fn));
        };
        app = std::make_unique<DazarApp>(std::move(env));
        app->applicationDidFinishLaunching();
    }
    // A test ends only when its polls have: a long poll outlives its wait
    // by at most the request timeout.
    ~RealSync() {
        app->stop();
        EXPECT_TRUE(QTest::qWaitFor([this] { return pollsInFlight == 0; }, 35000));
    }

    // The host grants a session, as discovery would report it.
    Group adopt() {
        const LocalSession session = sessionOf(app->device());
        discovery->callback(session, kRealHost);
        return session.group(kRealHost);
    }
};

} // namespace

TEST(RealHost, ClipsFlowBothWays) {
    auto host = startedHost();
    RealSync sync;
    const Group group = sync.adopt();
    ASSERT_TRUE(sync.app->paired());

    // Another device posts; the long poll brings it to the clipboard.
    API::postClip(group, seal("from the phone", group, std::string(32, 'b')));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.pasteboard.text == "from the phone"; }, kWaitMs));
    EXPECT_EQ(sync.app->history(), QStringList{"from the phone"});

    // A desktop copy arrives at the host as an envelope that opens to it.
    sync.pasteboard.copy(" from the desk\n");
    sync.pasteboard.listener();
    // The status may already have moved on to the next poll's answer, so the
    // history, written when the post succeeded, tells that it was sent.
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.app->history().size() == 2; }, kWaitMs));
    const auto batch = nlohmann::json::parse(API::readFromStart(group)).get<Batch>();
    ASSERT_EQ(batch.clips.size(), 2u);
    EXPECT_EQ(openClip(batch.clips[1].envelope, group), " from the desk\n");
    EXPECT_EQ(batch.clips[1].envelope.origin, sync.app->device());

    // Its own clip comes back through the poll as an echo and changes nothing.
    QTest::qWait(300);
    EXPECT_EQ(sync.app->history(), (QStringList{" from the desk\n", "from the phone"}));
    stopHost(host);
}

TEST(RealHost, ARestartedHostGivesANewGenerationAndOnePollLoop) {
    auto host = startedHost();
    RealSync sync;
    const Group first = sync.adopt();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.pollsInFlight == 1; }, kWaitMs));
    API::postClip(first, seal("before", first, std::string(32, 'b')));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sync.app->history().isEmpty(); }, kWaitMs));

    stopHost(host);
    host = startedHost();
    const Group second = sync.adopt();
    EXPECT_NE(second.room, first.room);
    EXPECT_TRUE(sync.app->history().isEmpty());

    // Seq 1 of the new room arrives only when the loop starts from cursor 0.
    API::postClip(second, seal("after", second, std::string(32, 'c')));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.pasteboard.text == "after"; }, kWaitMs));
    // The old loop saw its host go away and ended; only the new one polls.
    QTest::qWait(1500);
    EXPECT_EQ(sync.pollsInFlight, 1);
    EXPECT_EQ(sync.app->history(), QStringList{"after"});
    stopHost(host);
}

TEST(RealHost, StopEndsTheLoopAndDropsLateResults) {
    auto host = startedHost();
    RealSync sync;
    const Group group = sync.adopt();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.pollsInFlight == 1; }, kWaitMs));
    sync.app->stop();
    // The long poll still in flight returns with this clip; it is dropped.
    API::postClip(group, seal("late", group, std::string(32, 'b')));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sync.pollsInFlight == 0; }, kWaitMs));
    QTest::qWait(200);
    EXPECT_TRUE(sync.app->history().isEmpty());
    EXPECT_EQ(sync.app->statusText(), "Paused");
    stopHost(host);
}
