#include "sync_engine.h"

#include "clip.h"
#include "trace.h"

#include <QPointer>
#include <algorithm>
#include <exception>
#include <utility>

namespace zephlink {
namespace {

// Runs fn, turning what it throws into the message to show.
template <typename Fn> auto attempt(Fn fn, QString* error) -> std::optional<decltype(fn())> {
    try {
        return fn();
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
    } catch (...) {
        *error = QStringLiteral("Unexpected failure");
    }
    return std::nullopt;
}

} // namespace

SyncEngine::SyncEngine(SessionState& session, SyncPorts ports)
    : session_(session), ports_(std::move(ports)) {}

void SyncEngine::background(Job job) {
    if (session_.busy())
        return;
    session_.setBusy(true);
    const std::int64_t g = session_.generation();
    ports_.background(
        [job = std::move(job), g, self = QPointer<SyncEngine>(this)]() -> std::function<void()> {
            QString error;
            auto done = attempt(job, &error);
            return [self, g, done = std::move(done), error] {
                if (!self)
                    return;
                self->session_.setBusy(false);
                if (self->session_.generation() == g) {
                    if (!done)
                        self->session_.show(error);
                    else if (*done)
                        (*done)();
                }
                self->sendPending();
            };
        });
}

void SyncEngine::send(const QString& text) {
    if (text.trimmed().startsWith(kInvitationPrefix)) {
        session_.show(QStringLiteral("Invitations cannot be sent as clips."));
        return;
    }
    if (!session_.running() || !session_.group()) {
        session_.show(QStringLiteral("Resume sync before sending."));
        return;
    }
    if (session_.busy()) {
        session_.show(QStringLiteral(
            "Previous operation in progress; this clip was not sent. Retry explicitly."));
        return;
    }
    const Group group = *session_.group();
    QString error;
    const auto envelope = attempt([&] { return seal(text.toStdString(), group, device_); }, &error);
    if (!envelope) {
        session_.show(error);
        return;
    }
    trace::step("sealed");
    // Claim the clipboard's newest slot before the post, so an older clip
    // arriving meanwhile cannot overwrite what the user just copied.
    lastTime_ = envelope->createdAt;
    lastID_ = envelope->id;
    background([post = ports_.server.post, group, envelope = *envelope,
                self = QPointer<SyncEngine>(this), text]() -> std::function<void()> {
        trace::step("post");
        post(group, envelope);
        trace::step("posted");
        return [self, text] {
            self->pushHistory(text);
            self->refreshHistory();
            self->session_.show(QStringLiteral("Sent to nearby devices"));
        };
    });
}

void SyncEngine::sendLatest(const QString& text) {
    if (!session_.busy()) {
        send(text);
        return;
    }
    pending_ = text;
    pendingGeneration_ = session_.generation();
}

void SyncEngine::sendPending() {
    if (!pending_ || session_.busy())
        return;
    const QString text = *std::exchange(pending_, std::nullopt);
    if (pendingGeneration_ == session_.generation() && session_.running() && session_.group())
        send(text);
}

void SyncEngine::sendClipboard() {
    if (const auto text = ports_.shareable())
        send(*text);
    else
        session_.show(
            QStringLiteral("No shareable text; sensitive content and invitations are skipped."));
}

void SyncEngine::poll(const Group& group, std::int64_t generation, int delay) {
    if (!session_.polling(generation))
        return;
    const std::int64_t cursor = session_.cursor();
    ports_.background([fetch = ports_.server.poll, group, cursor, generation, delay,
                       self = QPointer<SyncEngine>(this)]() -> std::function<void()> {
        QString error;
        auto batch = attempt([&] { return fetch(group, cursor); }, &error);
        trace::step("answer");
        return [self, group, generation, delay, batch = std::move(batch), error] {
            if (self)
                self->pollFinished(group, generation, delay, batch, error);
        };
    });
}

void SyncEngine::pollFinished(const Group& group, std::int64_t generation, int delay,
                              const std::optional<Batch>& batch, const QString& error) {
    if (!session_.polling(generation))
        return;
    trace::step("main");
    if (batch) {
        std::vector<Batch::Item> items = batch->clips;
        // Creation time orders the items, the id breaks ties; seq plays no part.
        std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
            if (a.envelope.createdAt != b.envelope.createdAt)
                return a.envelope.createdAt < b.envelope.createdAt;
            return a.envelope.id < b.envelope.id;
        });
        for (const Batch::Item& item : items)
            receive(item.envelope, group);
        session_.setCursor(batch->cursor);
        session_.show(ports_.connectedStatus());
        poll(group, generation, 1);
        return;
    }
    session_.show(error);
    if (error.contains(QStringLiteral("401"))) {
        session_.advance();
        session_.setGroup(std::nullopt);
        session_.setCursor(0);
        session_.show(QStringLiteral("Nearby host restarted · reconnecting automatically…"));
        return;
    }
    ports_.after(delay * 1000, [self = QPointer<SyncEngine>(this), group, generation, delay] {
        if (self && self->session_.polling(generation))
            self->poll(group, generation, std::min(2 * delay, kMaxRetrySeconds));
    });
}

void SyncEngine::receive(const Envelope& envelope, const Group& group) {
    if (seen_.count(envelope.id) != 0)
        return;
    QString text;
    try {
        text = QString::fromStdString(openClip(envelope, group));
    } catch (const std::exception&) {
        session_.show(QStringLiteral("Rejected an invalid encrypted clip"));
        return;
    }
    trace::step("opened");
    seen_.insert(envelope.id);
    if (seen_.size() > kSeenLimit)
        seen_ = {envelope.id};
    if (envelope.origin == device_)
        return;
    if (envelope.createdAt < receiveAfter_)
        return;
    pushHistory(text);

    const bool newer = lastTime_ < envelope.createdAt ||
                       (lastTime_ == envelope.createdAt && lastID_ < envelope.id);
    // A peer's clock may put createdAt anywhere; never overflow computing the age.
    std::int64_t age = 0;
    const bool fresh = !__builtin_sub_overflow(ports_.now(), envelope.createdAt, &age) &&
                       age <= kFreshnessMs && age >= -kFreshnessMs;
    if (newer && fresh) {
        lastTime_ = envelope.createdAt;
        lastID_ = envelope.id;
        // Pasteable before the views catch up: redrawing the history takes
        // longer than the write, and nothing reads the two in between.
        ports_.writeClipboard(text);
    }
    refreshHistory();
}

void SyncEngine::startAfresh() {
    lastTime_ = 0;
    lastID_.clear();
    forgetHistory();
}

void SyncEngine::forgetHistory() {
    history_.clear();
    seen_.clear();
}

void SyncEngine::pushHistory(const QString& text) {
    history_.prepend(text);
    if (history_.size() > kHistoryLength)
        history_.removeLast();
}

void SyncEngine::refreshHistory() {
    ports_.refresh();
    historyItems_.clear();
    for (qsizetype i = 0; i < history_.size(); ++i) {
        QString title = history_[i].left(55);
        title.replace(QLatin1Char('\n'), QLatin1Char(' '));
        historyItems_.append(QStringLiteral("%1. %2").arg(i + 1).arg(title));
    }
    preview_ =
        historyIndex_ >= 0 && historyIndex_ < history_.size() ? history_[historyIndex_] : QString();
}

void SyncEngine::selectHistory(int index) {
    historyIndex_ = index;
    preview_ = index >= 0 && index < history_.size() ? history_[index] : QString();
}

void SyncEngine::copyHistory() {
    if (historyIndex_ < 0 || historyIndex_ >= history_.size())
        return;
    ports_.writeClipboard(history_[historyIndex_]);
    session_.show(QStringLiteral("Copied locally"));
}

} // namespace zephlink
