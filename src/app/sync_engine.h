#pragma once

// What goes over the wire and back: sending clips, the one poll loop per
// group, receiving, the history and the single-flight background runner.
#include "ports.h"
#include "session_state.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace zephlink {

// What the sync engine needs from outside and from the other concerns.
struct SyncPorts {
    ClipServer server; // post and poll
    std::function<std::int64_t()> now;
    // Runs a blocking job off the main thread, then its continuation on it.
    std::function<void(std::function<std::function<void()>()>)> background;
    // Runs fn on the main thread after ms milliseconds.
    std::function<void(int ms, std::function<void()>)> after;
    std::function<void(const QString&)> writeClipboard; // capture's own write
    std::function<std::optional<QString>()> shareable;  // capture's filter
    std::function<QString()> connectedStatus;           // from the nearby devices
    std::function<void()> refresh;                      // the view model
};

// A QObject so that results coming back late can see it is gone.
class SyncEngine : public QObject {
public:
    static constexpr int kHistoryLength = 20;
    static constexpr std::size_t kSeenLimit = 1000;
    static constexpr std::int64_t kFreshnessMs = 120000;
    static constexpr int kMaxRetrySeconds = 30;

    // Runs off the main thread; returns what to do with its result back on
    // it, or throws.
    using Job = std::function<std::function<void()>()>;

    SyncEngine(SessionState& session, SyncPorts ports);

    // The origin of every clip sealed here.
    void setDevice(std::string device) { device_ = std::move(device); }
    // Clips created earlier are ignored.
    void setReceiveAfter(std::int64_t ms) { receiveAfter_ = ms; }

    // One blocking job at a time: dropped while another is in flight, its
    // result dropped when the generation moved meanwhile, its error shown.
    void background(Job job);

    void send(const QString& text);
    // An automatic copy: sent at once, or, while a job is in flight, kept
    // (replacing any kept before) and sent when the job ends.
    void sendLatest(const QString& text);
    void sendClipboard();
    void sendText() { send(compose_); }
    void setCompose(const QString& text) { compose_ = text; }

    void poll(const Group& group, std::int64_t generation, int delay);
    void receive(const Envelope& envelope, const Group& group);

    // A new group: history, seen ids and the newest clip are forgotten.
    void startAfresh();
    // The group is gone: history and seen ids are forgotten.
    void forgetHistory();

    const QStringList& history() const { return history_; }
    void refreshHistory();
    // The history as a numbered list, and the selected entry in full.
    const QStringList& historyItems() const { return historyItems_; }
    const QString& preview() const { return preview_; }
    void selectHistory(int index);
    void copyHistory();

private:
    void pollFinished(const Group& group, std::int64_t generation, int delay,
                      const std::optional<Batch>& batch, const QString& error);
    void pushHistory(const QString& text);
    // The kept copy leaves, if sync still runs in the epoch it was made in.
    void sendPending();

    SessionState& session_;
    SyncPorts ports_;
    std::string device_;
    std::int64_t receiveAfter_ = 0;
    std::int64_t lastTime_ = 0; // createdAt of the newest clip on the clipboard
    std::string lastID_;        // its id, breaking ties of lastTime_
    std::set<std::string> seen_;
    QStringList history_;
    QStringList historyItems_;
    int historyIndex_ = 0;
    QString preview_;
    QString compose_;
    std::optional<QString> pending_;
    std::int64_t pendingGeneration_ = 0;
};

} // namespace zephlink
