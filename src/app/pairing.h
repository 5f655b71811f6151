#pragma once

// The relay group's lifecycle and its secret: adopting, creating, joining,
// inviting, leaving, revoking, and invitation links opened from outside.
#include "ports.h"
#include "session_state.h"

#include <QString>
#include <functional>
#include <optional>

namespace zephlink {

// What pairing needs from outside and from the other concerns.
struct PairingPorts {
    ClipServer server; // create, readFromStart, revoke
    SecretSaver saveSecret;
    Dialogs* dialogs = nullptr;
    // The sync engine's single-flight runner; it drops a continuation once
    // the controller is gone.
    std::function<void(std::function<std::function<void()>()>)> background;
    std::function<void()> stop;                         // sync and discovery off
    std::function<void(const QString&)> writeClipboard; // capture's own write
    std::function<void(bool)> setAutomatic;             // automatic sending
    std::function<void()> startAfresh;                  // the sync engine's clips forgotten
    std::function<void()> forgetHistory;                // history and seen ids only
    std::function<void()> refreshHistory;
};

class Pairing {
public:
    Pairing(SessionState& session, PairingPorts ports);

    // Stores group and takes it over, paused. Throws when it cannot be stored.
    void adopt(const Group& group);
    // Each takes the field's text when called; the overloads take the
    // address or link a queued action captured.
    void create() { create(server_); }
    void create(const QString& address);
    void join() { join(invitation_); }
    void join(const QString& link);
    void copyInvite();
    // The invitation for another device at address, without asking: what the
    // dialog of copyInvite does once answered.
    void copyInviteFor(const QString& address);
    void leave();
    void reset();
    bool confirm(const QString& message, const QString& information);
    // A "zephlink://pair?" link from outside (the URL handler, a start of
    // the program, D-Bus): joined only once the user agrees, and without
    // touching the invitation field.
    void openLink(const QString& link);

    // The relay address create uses, and the link join uses.
    const QString& server() const { return server_; }
    void setServer(const QString& text) { server_ = text; }
    const QString& invitation() const { return invitation_; }
    void setInvitation(const QString& text) { invitation_ = text; }

private:
    // The completion of create and join: a keychain failure is shown.
    void adoptShowingFailure(const Group& group);
    // Confirms candidate's token with its relay, then adopts it.
    void confirmAndAdopt(const Group& candidate);
    // A relay group is held (shown as the reason a link is refused).
    bool heldRelayGroup();

    SessionState& session_;
    PairingPorts ports_;
    QString server_;
    QString invitation_;
    bool asking_ = false; // a link's dialog is open
};

} // namespace zephlink
