#pragma once

// What counts as a desktop copy: the change count already dealt with, the
// text the clipboard held before, the sensitive-content filter, the
// program's own writes and automatic sending. The clipboard types those rules
// read and write live here too, for the ports that must read ahead of the
// rules (Wayland reads are asynchronous).
#include "ports.h"
#include "session_state.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace zephlink {

class Capture {
public:
    // Text types in the order a reader prefers them.
    static const QStringList kTextTypes;
    // What a writer offers its text as: the readers above, and older X11
    // names that XWayland clients still ask for.
    static const QStringList kOfferedTypes;
    // Password managers on Linux mark a secret with this type holding "secret".
    static const QString kHintType;
    // Types whose mere presence marks the content as not to be shared.
    static const QStringList kSensitiveTypes;

    // The types alone mark the content as secret.
    static bool marked(const QStringList& types);
    // The password-manager hint's data says secret.
    static bool secretHint(const QByteArray& hint);

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
    // What the status says instead of being connected when the desktop lets
    // no background program see copies: sharing then works only by hand.
    std::optional<QString> blockedStatus() const;

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
