// The controller against a real nearby host over loopback, with real threads
// for its blocking work and the Qt event loop bringing results back.
#include "../app/fakes.h"
#include "api.h"
#include "dazar_app.h"
#include "local_host.h"
#include "main_thread.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const std::string kHost = "http://127.0.0.1:8788";

std::shared_ptr<LocalHost> startedHost() {
    auto host = LocalHost::create(identifier(), "host");
    EXPECT_TRUE(host->start());
    return host;
}

void stopHost(const std::shared_ptr<LocalHost>& host) {
    host->stop();
    EXPECT_TRUE(host->waitUntilFinished(std::chrono::seconds(5)));
}

bool within(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 10000);
}

} // namespace

TEST(RealHost, ClipsFlowBothWaysAcrossARestartAndStopDropsLateResults) {
    FakePasteboard pasteboard;
    FakeSettings settings;
    FakeViews views;
    FakeDialogs dialogs;
    FakeDiscovery* discovery = nullptr;
    // Shared with the poll threads, which may outlive a failed test's wait.
    auto polls = std::make_shared<std::atomic<int>>(0);
    AppEnvironment env;
    env.pasteboard = &pasteboard;
    env.settings = &settings;
    env.views = &views;
    env.dialogs = &dialogs;
    env.discovery = [&](const std::string&, const std::string&, DiscoveryCallback callback) {
        auto made = std::make_unique<FakeDiscovery>();
        made->callback = std::move(callback);
        discovery = made.get();
        return made;
    };
    env.server.post = [](const Group& g, const Envelope& e) { API::postClip(g, e); };
    env.server.poll = [polls](const Group& g, std::int64_t cursor) {
        ++*polls;
        const std::shared_ptr<void> done(nullptr, [polls](void*) { --*polls; });
        return API::pollClips(g, cursor);
    };
    env.arguments = {"zephlink"};
    env.hostName = [] { return QStringLiteral("desk"); };
    env.now = [] { return nowMilliseconds(); };
    env.identifier = [] { return identifier(); };
    env.background = [](auto job) { main_thread::background(std::move(job)); };
    env.after = [](int ms, std::function<void()> fn) {
        QTimer::singleShot(ms, QCoreApplication::instance(), std::move(fn));
    };
    DazarApp app(std::move(env));
    app.applicationDidFinishLaunching();
    // The host grants a session, as discovery would report it.
    const auto adopt = [&] {
        const nlohmann::json body = NearbyDevice{app.device(), "desk", "mac"};
        const auto session =
            nlohmann::json::parse(
                API::request(kHost, "/v1/local-session", std::nullopt, "POST", body.dump(), 2))
                .get<LocalSession>();
        discovery->callback(session, kHost);
        return session.group(kHost);
    };

    auto host = startedHost();
    const Group group = adopt();
    ASSERT_TRUE(app.paired());
    API::postClip(group, seal("from the phone", group, std::string(32, 'b')));
    EXPECT_TRUE(within([&] { return pasteboard.text == "from the phone"; }));
    pasteboard.copy(" from the desk\n");
    pasteboard.listener();
    EXPECT_TRUE(within([&] { return app.history().size() == 2; }));
    const auto batch = nlohmann::json::parse(API::readFromStart(group)).get<Batch>();
    ASSERT_EQ(batch.clips.size(), 2u);
    EXPECT_EQ(openClip(batch.clips[1].envelope, group), " from the desk\n");
    EXPECT_EQ(batch.clips[1].envelope.origin, app.device());
    QTest::qWait(300); // its own clip comes back as an echo and changes nothing
    EXPECT_EQ(app.history(), (QStringList{" from the desk\n", "from the phone"}));

    // A restarted host is a new generation: seq 1 arrives only when the loop
    // starts from cursor 0, and only the new loop polls.
    stopHost(host);
    host = startedHost();
    const Group second = adopt();
    EXPECT_NE(second.room, group.room);
    EXPECT_TRUE(app.history().isEmpty());
    API::postClip(second, seal("after", second, std::string(32, 'c')));
    EXPECT_TRUE(within([&] { return pasteboard.text == "after"; }));
    QTest::qWait(1500);
    EXPECT_EQ(*polls, 1);

    // A long poll still in flight at stop returns with a clip that is dropped.
    app.stop();
    API::postClip(second, seal("late", second, std::string(32, 'b')));
    EXPECT_TRUE(within([&] { return *polls == 0; }));
    QTest::qWait(200);
    EXPECT_EQ(app.history(), QStringList{"after"});
    EXPECT_EQ(app.statusText(), "Paused");
    stopHost(host);
}
