#pragma once

// What counts as a desktop copy: the change count already dealt with, the
// text the clipboard held before, the sensitive-content filter, the
// program's own writes and automatic sending.
#include "ports.h"
#include "session_state.h"

#include <QString>
#include <functional>
#include <optional>

namespace zephlink {

class Capture {
public:
    // send takes each new copy that may leave.
    Capture(Pasteboard& pasteboard, const SessionState& session,
            std::function<void(const QString&)> send);

    // One tick of the timer, or the clipboard's change signal.
    void capture();
    // The clipboard's types mark its content as secret.
    bool sensitive() const;
    // The clipboard's text when it may leave at all: not sensitive, text,
    // not an invitation.
    std::optional<QString> shareable() const;
    // Puts text on the clipboard as this program's own write.
    void writeClipboard(const QString& text);
    // Takes what is on the clipboard now as dealt with.
    void rebaseline();

    bool automatic() const { return automatic_; }
    void setAutomatic(bool on) { automatic_ = on; }

private:
    // The copy a tick found, when it is new and may leave now.
    std::optional<QString> newCopy();
    // Takes the current text as what the clipboard holds; false when it
    // held the same text already.
    bool changedText();

    Pasteboard& pasteboard_;
    const SessionState& session_;
    std::function<void(const QString&)> send_;
    long baseline_ = 0;
    std::optional<QString> held_; // the clipboard's text when last dealt with
    bool automatic_ = false;
};

} // namespace zephlink
