#pragma once

// The whole controller on fakes; background jobs and delayed calls wait.
#include "aes_gcm.h"
#include "clip.h"
#include "dazar_app.h"
#include "errors.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

namespace zephlink::test {

struct FakePasteboard : Pasteboard {
    long count = 0;
    std::optional<QString> text;
    QMap<QString, QByteArray> formats;
    QStringList written;
    std::function<void()> listener;
    bool inBackground = true;
    // Another program copies (no text: an image).
    void copy(std::optional<QString> value, QMap<QString, QByteArray> extra = {}) {
        text = value;
        formats = std::move(extra);
        formats.insert(value ? "text/plain" : "image/png", value.value_or("png").toUtf8());
        ++count;
    }
    long changeCount() const override { return count; }
    QStringList types() const override { return formats.keys(); }
    QByteArray data(const QString& type) const override { return formats.value(type); }
    std::optional<QString> string() const override { return text; }
    void write(const QString& value, const QList<QPair<QString, QByteArray>>& extra) override {
        written << value;
        copy(value, QMap<QString, QByteArray>(std::map(extra.begin(), extra.end())));
    }
    void setChangeListener(std::function<void()> l) override { listener = std::move(l); }
    bool background() const override { return inBackground; }
};

struct FakeSettings : Settings {
    std::map<QString, QVariant> values;
    std::optional<QString> string(const QString& key) const override {
        return values.contains(key) ? std::optional(values.at(key).toString()) : std::nullopt;
    }
    bool boolean(const QString& key) const override { return string(key) == "true"; }
    void setString(const QString& key, const QString& value) override { values[key] = value; }
    void setBoolean(const QString& key, bool value) override { values[key] = value; }
};

struct FakeViews : Views, Dialogs {
    bool welcome = false, panel = false;
    int resizes = 0;
    std::function<void()> onTray;
    void setup(bool, std::function<void()> tray) override { onTray = std::move(tray); }
    void showWelcome() override { welcome = true; }
    void hideWelcome() override { welcome = false; }
    bool welcomeVisible() const override { return welcome; }
    void showPanel() override { panel = true; }
    void hidePanel() override { panel = false; }
    bool panelVisible() const override { return panel; }
    void resizePanel() override { ++resizes; }
    bool consent = false;
    std::optional<QString> address; // nullopt cancels
    QString message, information, suggested;
    bool confirm(const QString& m, const QString& i, const QString&, const QString&) override {
        return message = m, information = i, consent;
    }
    std::optional<QString> askAddress(const QString& m, const QString&, const QString& s) override {
        return message = m, suggested = s, address;
    }
};

using FakeDialogs = FakeViews; // for tests that name the dialogs apart
struct FakeDiscovery : Discovery {
    std::set<std::string> announced;
    DiscoveryCallback callback;
    void start() override {}
    void stop() override {}
    std::set<std::string> announcedHosts() const override { return announced; }
};

inline LocalSession sessionFor(const Group& group, std::vector<NearbyDevice> devices = {},
                               std::string hostId = std::string(32, 'a')) {
    return {1, "trusted-lan", hostId, "host", group.room, group.token, group.key, devices};
}

inline Envelope sealedAt(const std::string& text, const Group& group, std::int64_t createdAt,
                         std::string id = identifier(),
                         const std::string& origin = std::string(32, 'b')) {
    Envelope e = seal(text, group, origin);
    e.createdAt = createdAt;
    e.id = std::move(id);
    const auto bytes = [](const std::string& s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    e.ciphertext =
        encode64(aesGcmSeal(decode64(group.key, 32), decode64(e.nonce, 12), bytes(aad(group, e)),
                            bytes(nlohmann::json(ClipBody{text}).dump())));
    return e;
}

struct Harness {
    FakePasteboard pasteboard;
    FakeSettings settings;
    FakeViews views; // and dialogs
    FakeDiscovery* discovery = nullptr;
    DiscoveryCallback found;
    std::string announcedName;
    std::int64_t now = nowMilliseconds();
    QTemporaryDir configHome;
    Autostart autostart{configHome.path(), "sh"};
    QString hostName = "desk";
    int terminated = 0;
    // What the clip server and the keychain were asked; fail throws to
    // refuse a post, a read, a revoke or a secret.
    std::vector<Envelope> posted;
    std::deque<Batch> polls; // none queued: pollError
    std::string pollError = "Network unavailable";
    std::vector<std::int64_t> cursors;
    std::vector<std::string> calls;
    std::vector<std::optional<Group>> secrets;
    std::function<void()> fail = [] {};
    std::deque<std::function<std::function<void()>()>> jobs;
    std::deque<std::pair<int, std::function<void()>>> timers;
    QStringList shown; // every status the views were given
    std::unique_ptr<DazarApp> app;

    explicit Harness(QStringList arguments = {"zephlink"}) {
        const auto room = [this](const char* what, const Group& g) {
            calls.push_back(what + g.room);
            fail();
        };
        ClipServer server{
            .post = [this](const Group&, const Envelope& e) { fail(), posted.push_back(e); },
            .poll =
                [this](const Group&, std::int64_t cursor) {
                    cursors.push_back(cursor);
                    if (polls.empty())
                        throw DazarError(pollError);
                    return std::exchange(polls, {std::next(polls.begin()), polls.end()}).front();
                },
            .readFromStart = [=](const Group& g) { room("read ", g); },
            .revoke = [=](const Group& g) { room("revoke ", g); },
            .create =
                [this](const std::string& address) {
                    calls.push_back("create " + address);
                    return freshGroup(address);
                }};
        app = std::make_unique<DazarApp>(AppEnvironment{
            &pasteboard, &settings, &views, &views,
            [this](const std::string&, const std::string& name, DiscoveryCallback callback) {
                auto made = std::make_unique<FakeDiscovery>();
                discovery = made.get();
                found = std::move(callback);
                announcedName = name;
                return made;
            },
            &autostart, server,
            [this](const std::optional<Group>& g) { fail(), secrets.push_back(g); }, arguments,
            [this] { return hostName; }, [this] { return now; }, [] { return identifier(); },
            [this](auto job) { jobs.push_back(std::move(job)); },
            [this](int ms, auto fn) { timers.emplace_back(ms, std::move(fn)); },
            [this] { ++terminated; }});
        QObject::connect(&app->flow(), &FlowModel::statusChanged,
                         [this] { shown << app->flow().status(); });
    }

    QString status() const { return app->statusText(); }
    QStringList history() const { return app->history(); }
    void launch() { app->applicationDidFinishLaunching(); }
    // Launched a minute ago, with a host granting a group; its poll is queued.
    Group launchWithHost(std::vector<NearbyDevice> devices = {}) {
        now -= 60000;
        launch();
        now += 60000;
        const Group group = freshGroup("http://127.0.0.1:8788");
        found(sessionFor(group, std::move(devices)), group.server);
        return group;
    }
    bool runJob() {
        if (jobs.empty())
            return false;
        std::exchange(jobs, {std::next(jobs.begin()), jobs.end()}).front()()();
        return true;
    }
    int runTimer() {
        if (timers.empty())
            return -1;
        auto [ms, fn] = std::exchange(timers, {std::next(timers.begin()), timers.end()}).front();
        fn();
        return ms;
    }
    void deliver(std::vector<Envelope> clips, std::int64_t cursor = 1) {
        Batch batch{.clips = {}, .cursor = cursor, .reset = false};
        for (auto& e : clips)
            batch.clips.push_back({std::int64_t(batch.clips.size() + 1), std::move(e)});
        polls.push_back(batch);
        ASSERT_TRUE(runJob());
    }
    // The texts posted, opened.
    QStringList sent(const Group& group) const {
        QStringList texts;
        for (const Envelope& e : posted)
            texts << QString::fromStdString(openClip(e, group));
        return texts;
    }
};

} // namespace zephlink::test
