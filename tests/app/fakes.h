#pragma once

// Fakes of the controller's ports, and a harness that runs its background
// jobs and delayed calls only when a test says so.
#include "aes_gcm.h"
#include "clip.h"
#include "dazar_app.h"
#include "errors.h"
#include "server_address.h"
#include "test_support.h"
#include "url.h"

#include <QTemporaryDir>
#include <QVariant>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace zephlink::test {

class FakePasteboard : public Pasteboard {
public:
    long count = 0;
    QString text;
    bool hasText = false;
    QMap<QString, QByteArray> formats;
    std::function<void()> listener;

    // Another program copies.
    void copy(const QString& value, QMap<QString, QByteArray> extra = {}) {
        text = value;
        hasText = true;
        formats = std::move(extra);
        formats.insert(QStringLiteral("text/plain"), value.toUtf8());
        ++count;
    }
    void copyImage() {
        hasText = false;
        text.clear();
        formats = {{QStringLiteral("image/png"), QByteArray("png")}};
        ++count;
    }

    long changeCount() const override { return count; }
    QStringList types() const override { return formats.keys(); }
    QByteArray data(const QString& type) const override { return formats.value(type); }
    std::optional<QString> string() const override {
        return hasText ? std::optional<QString>(text) : std::nullopt;
    }
    void write(const QString& value, const QList<QPair<QString, QByteArray>>& extra) override {
        QMap<QString, QByteArray> all;
        for (const auto& [type, bytes] : extra)
            all.insert(type, bytes);
        copy(value, all);
    }
    void setChangeListener(std::function<void()> l) override { listener = std::move(l); }
};

class FakeSettings : public Settings {
public:
    std::map<QString, QVariant> values;
    std::optional<QString> string(const QString& key) const override {
        const auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        return it->second.toString();
    }
    bool boolean(const QString& key) const override {
        const auto it = values.find(key);
        return it != values.end() && it->second.toBool();
    }
    void setString(const QString& key, const QString& value) override { values[key] = value; }
    void setBoolean(const QString& key, bool value) override { values[key] = value; }
};

class FakeViews : public Views {
public:
    bool isSetUp = false;
    bool preview = false;
    bool welcome = false;
    bool panel = false;
    int resizes = 0;
    std::function<void()> onTray;

    void setup(bool designPreview, std::function<void()> tray) override {
        isSetUp = true;
        preview = designPreview;
        onTray = std::move(tray);
    }
    void showWelcome() override { welcome = true; }
    void hideWelcome() override { welcome = false; }
    bool welcomeVisible() const override { return welcome; }
    void showPanel() override { panel = true; }
    void hidePanel() override { panel = false; }
    bool panelVisible() const override { return panel; }
    void resizePanel() override { ++resizes; }
};

class FakeDialogs : public Dialogs {
public:
    bool consent = false;
    std::optional<QString> address; // the field's final text; nullopt cancels
    QString lastMessage;
    QString suggested;
    bool confirm(const QString& message, const QString&, const QString&, const QString&) override {
        lastMessage = message;
        return consent;
    }
    std::optional<QString> askAddress(const QString& message, const QString&,
                                      const QString& text) override {
        lastMessage = message;
        suggested = text;
        return address;
    }
};

class FakeDiscovery : public Discovery {
public:
    int starts = 0;
    int stops = 0;
    std::string device;
    std::string name;
    DiscoveryCallback callback;
    std::set<std::string> announced;
    void start() override { ++starts; }
    void stop() override { ++stops; }
    std::set<std::string> announcedHosts() const override { return announced; }
};

// A clip server whose answers the test scripts. Calls arrive on the test
// thread because the harness runs jobs there.
struct FakeServer {
    std::vector<Envelope> posted;
    std::deque<std::function<Batch()>> polls; // next answers; empty: no answer queued
    std::vector<std::int64_t> pollCursors;
    std::function<void()> postResult = [] {};
    std::function<void(const Group&)> readResult = [](const Group&) {};
    std::function<void(const Group&)> revokeResult = [](const Group&) {};
    std::function<Group(const std::string&)> createResult;
    std::vector<std::string> calls;
};

class Harness {
public:
    FakePasteboard pasteboard;
    FakeSettings settings;
    FakeViews views;
    FakeDialogs dialogs;
    FakeServer server;
    FakeDiscovery* discovery = nullptr;
    std::deque<std::function<std::function<void()>()>> jobs;
    std::vector<std::pair<int, std::function<void()>>> timers;
    std::int64_t now = 1'800'000'000'000;
    std::vector<std::optional<Group>> secrets;
    std::function<void(const std::optional<Group>&)> secretResult = [](const auto&) {};
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
        env.server.post = [this](const Group&, const Envelope& envelope) {
            server.calls.push_back("post");
            server.postResult();
            server.posted.push_back(envelope);
        };
        env.server.poll = [this](const Group&, std::int64_t cursor) {
            server.calls.push_back("poll");
            server.pollCursors.push_back(cursor);
            if (server.polls.empty())
                throw DazarError("Network unavailable");
            auto answer = server.polls.front();
            server.polls.pop_front();
            return answer();
        };
        env.server.readFromStart = [this](const Group& g) {
            server.calls.push_back("read");
            server.readResult(g);
        };
        env.server.revoke = [this](const Group& g) {
            server.calls.push_back("revoke");
            server.revokeResult(g);
        };
        env.server.create = [this](const std::string& address) {
            server.calls.push_back("create " + address);
            return server.createResult(address);
        };
        env.saveSecret = [this](const std::optional<Group>& group) {
            secretResult(group);
            secrets.push_back(group);
        };
        env.arguments = std::move(arguments);
        env.hostName = [this] { return hostName; };
        env.now = [this] { return now; };
        env.identifier = [] { return identifier(); };
        env.background = [this](std::function<std::function<void()>()> job) {
            jobs.push_back(std::move(job));
        };
        env.after = [this](int ms, std::function<void()> fn) {
            timers.emplace_back(ms, std::move(fn));
        };
        env.terminate = [this] { ++terminated; };
        app = std::make_unique<DazarApp>(std::move(env));
    }

    // Runs the oldest background job and its continuation.
    bool runJob() {
        if (jobs.empty())
            return false;
        auto job = std::move(jobs.front());
        jobs.pop_front();
        std::function<void()> continuation;
        try {
            continuation = job();
        } catch (...) {
        }
        if (continuation)
            continuation();
        return true;
    }
    // Runs the oldest delayed call; returns its delay.
    int runTimer() {
        if (timers.empty())
            return -1;
        auto [ms, fn] = std::move(timers.front());
        timers.erase(timers.begin());
        fn();
        return ms;
    }

    QString status() const { return app->statusText(); }

    // Launches normally with sync paused, then runs with the given group as if
    // a nearby host had granted it.
    void launch() { app->applicationDidFinishLaunching(); }
};

// A session granting group, listing the given devices.
inline LocalSession sessionFor(const Group& group, std::vector<NearbyDevice> devices = {},
                               std::string hostId = std::string(32, 'a')) {
    LocalSession session;
    session.v = 1;
    session.mode = "trusted-lan";
    session.hostId = std::move(hostId);
    session.name = "host";
    session.room = group.room;
    session.token = group.token;
    session.key = group.key;
    session.devices = std::move(devices);
    return session;
}

inline Batch batchOf(std::vector<Envelope> envelopes, std::int64_t cursor) {
    Batch batch;
    std::int64_t seq = 0;
    for (auto& e : envelopes)
        batch.clips.push_back({++seq, std::move(e)});
    batch.cursor = cursor;
    batch.reset = false;
    return batch;
}

// Seals text for group as another device would, at the given creation time.
inline Envelope sealedAt(const std::string& text, const Group& group, std::int64_t createdAt,
                         const std::string& origin = std::string(32, 'b'),
                         std::string id = identifier()) {
    Envelope envelope = seal(text, group, origin);
    envelope.createdAt = createdAt;
    envelope.id = std::move(id);
    // Re-seal with the chosen metadata bound into the authenticated data.
    const std::string associated = aad(group, envelope);
    const std::string body = nlohmann::json(ClipBody{text}).dump();
    const auto bytes = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()),
                                             s.size());
    };
    envelope.ciphertext = encode64(aesGcmSeal(decode64(group.key, 32), decode64(envelope.nonce, 12),
                                              bytes(associated), bytes(body)));
    return envelope;
}

} // namespace zephlink::test
