#pragma once

// Fakes of the controller's ports, and runners that hold background jobs and
// delayed calls until a test lets them go.
#include "aes_gcm.h"
#include "clip.h"
#include "errors.h"
#include "ports.h"
#include "test_support.h"

#include <QVariant>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
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
    bool inBackground = true;
    bool background() const override { return inBackground; }
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
    void resizePanel() override {}
};

class FakeDialogs : public Dialogs {
public:
    bool consent = false;
    std::optional<QString> address; // the field's final text; nullopt cancels
    QString lastMessage;
    QString lastInformation;
    QString suggested;
    bool confirm(const QString& message, const QString& information, const QString&,
                 const QString&) override {
        lastMessage = message;
        lastInformation = information;
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

// A clip server whose answers the test scripts; room calls are logged.
struct FakeServer {
    std::vector<Envelope> posted;
    std::deque<std::function<Batch()>> polls; // next answers; none queued fails
    std::vector<std::int64_t> pollCursors;
    std::function<void()> postResult = [] {};
    std::function<void(const Group&)> readResult = [](const Group&) {};
    std::function<void(const Group&)> revokeResult = [](const Group&) {};
    std::function<Group(const std::string&)> createResult;
    std::vector<std::string> calls;

    ClipServer port() {
        ClipServer server;
        server.post = [this](const Group&, const Envelope& envelope) {
            postResult();
            posted.push_back(envelope);
        };
        server.poll = [this](const Group&, std::int64_t cursor) {
            pollCursors.push_back(cursor);
            if (polls.empty())
                throw DazarError("Network unavailable");
            auto answer = std::move(polls.front());
            polls.pop_front();
            return answer();
        };
        server.readFromStart = [this](const Group& g) {
            calls.push_back("read " + g.room);
            readResult(g);
        };
        server.revoke = [this](const Group& g) {
            calls.push_back("revoke " + g.room);
            revokeResult(g);
        };
        server.create = [this](const std::string& address) {
            calls.push_back("create " + address);
            return createResult(address);
        };
        return server;
    }
};

// Background jobs, run on the test thread when the test says so. A job that
// throws reports its message to failed.
struct Jobs {
    using Job = std::function<std::function<void()>()>;
    std::deque<Job> queue;
    std::function<void(const QString&)> failed;

    std::function<void(Job)> port() {
        return [this](Job job) { queue.push_back(std::move(job)); };
    }
    std::size_t size() const { return queue.size(); }
    bool run() {
        if (queue.empty())
            return false;
        Job job = std::move(queue.front());
        queue.pop_front();
        std::function<void()> continuation;
        try {
            continuation = job();
        } catch (const std::exception& error) {
            if (failed)
                failed(QString::fromUtf8(error.what()));
        }
        if (continuation)
            continuation();
        return true;
    }
};

// Delayed calls, run when the test says so.
struct Timers {
    std::vector<std::pair<int, std::function<void()>>> queue;
    std::function<void(int, std::function<void()>)> port() {
        return [this](int ms, std::function<void()> fn) { queue.emplace_back(ms, std::move(fn)); };
    }
    // Runs the oldest; returns its delay, or -1 when none is due.
    int run() {
        if (queue.empty())
            return -1;
        auto [ms, fn] = std::move(queue.front());
        queue.erase(queue.begin());
        fn();
        return ms;
    }
};

// The order in which a concern reached the others.
struct Effects {
    std::vector<std::string> log;
    std::function<void()> note(std::string what) {
        return [this, what] { log.push_back(what); };
    }
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
