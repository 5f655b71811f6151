#pragma once

// The state every concern of the controller shares: the current group,
// whether sync runs, the epoch, the poll cursor, the one background job and
// the status line. Main thread only.
#include "records.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace zephlink {

class SessionState {
public:
    // refresh re-reads the state into the view model after a message.
    explicit SessionState(std::function<void()> refresh = {}) : refresh_(std::move(refresh)) {}

    const std::optional<Group>& group() const { return group_; }
    void setGroup(std::optional<Group> group) { group_ = std::move(group); }

    bool running() const { return running_; }
    void setRunning(bool on) { running_ = on; }

    // Work that captured an epoch does nothing further once it moved. This
    // is the one place that moves it.
    std::int64_t generation() const { return generation_; }
    std::int64_t advance() { return ++generation_; }
    // A poll loop of epoch g may go on.
    bool polling(std::int64_t g) const { return running_ && generation_ == g; }

    std::int64_t cursor() const { return cursor_; }
    void setCursor(std::int64_t cursor) { cursor_ = cursor; }

    // A background job is in flight.
    bool busy() const { return busy_; }
    void setBusy(bool busy) { busy_ = busy; }

    const QString& status() const { return status_; }
    // Without a refresh: the views refresh themselves after their actions.
    void setStatus(const QString& text) { status_ = text; }
    // Shows a message: the status text, then the view model re-reads it.
    void show(const QString& text) {
        status_ = text;
        if (refresh_)
            refresh_();
    }

private:
    std::function<void()> refresh_;
    std::optional<Group> group_;
    bool running_ = false;
    std::int64_t generation_ = 0;
    std::int64_t cursor_ = 0;
    bool busy_ = false;
    QString status_ = QStringLiteral("Not paired");
};

} // namespace zephlink
