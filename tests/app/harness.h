#pragma once

// The whole controller on fakes.
#include "dazar_app.h"
#include "fakes.h"

#include <QTemporaryDir>

namespace zephlink::test {

class Harness {
public:
    FakePasteboard pasteboard;
    FakeSettings settings;
    FakeViews views;
    FakeDialogs dialogs;
    FakeServer server;
    FakeDiscovery* discovery = nullptr;
    Jobs jobs;
    Timers timers;
    std::int64_t now = 1'800'000'000'000;
    std::vector<std::optional<Group>> secrets;
    QTemporaryDir configHome; // the login entry goes here
    Autostart autostart{configHome.path(), QStringLiteral("sh")};
    std::unique_ptr<DazarApp> app;
    int terminated = 0;
    QString hostName = QStringLiteral("desk");

    explicit Harness(QStringList arguments = {QStringLiteral("zephlink")}) {
        AppEnvironment env;
        env.pasteboard = &pasteboard;
        env.settings = &settings;
        env.views = &views;
        env.dialogs = &dialogs;
        env.autostart = &autostart;
        env.discovery = [this](const std::string& device, const std::string& name,
                               DiscoveryCallback callback) {
            auto made = std::make_unique<FakeDiscovery>();
            made->device = device;
            made->name = name;
            made->callback = std::move(callback);
            discovery = made.get();
            return made;
        };
        env.server = server.port();
        env.saveSecret = [this](const std::optional<Group>& group) { secrets.push_back(group); };
        env.arguments = std::move(arguments);
        env.hostName = [this] { return hostName; };
        env.now = [this] { return now; };
        env.identifier = [] { return identifier(); };
        env.background = jobs.port();
        env.after = timers.port();
        env.terminate = [this] { ++terminated; };
        app = std::make_unique<DazarApp>(std::move(env));
    }

    QString status() const { return app->statusText(); }
    void launch() { app->applicationDidFinishLaunching(); }
};

} // namespace zephlink::test
