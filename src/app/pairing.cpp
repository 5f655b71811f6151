#include "pairing.h"

#include "server_address.h"
#include "url.h"

#include <exception>

namespace zephlink {
namespace {

QString describe(const std::exception& error) {
    return QString::fromUtf8(error.what());
}

// Names the relay a link would contact and what joining does.
QString joinInformation(const std::string& server) {
    QString host = QString::fromStdString(server);
    QString port;
    if (const auto parts = parseUrl(server); parts && parts->host) {
        host = QString::fromStdString(*parts->host);
        port = parts->port
                   ? QString::fromStdString(*parts->port)
                   : (parts->scheme == "https" ? QStringLiteral("443") : QStringLiteral("80"));
    }
    return QStringLiteral("Joining contacts the relay at %1, port %2, stores this group on this "
                          "device and pauses sharing with nearby devices.")
        .arg(host, port);
}

} // namespace

Pairing::Pairing(SessionState& session, PairingPorts ports)
    : session_(session), ports_(std::move(ports)), server_(QString::fromStdString(defaultRelay())) {
}

void Pairing::adopt(const Group& group) {
    ports_.saveSecret(group);
    ports_.stop();
    session_.setGroup(group);
    server_ = QString::fromStdString(group.server);
    invitation_.clear();
    ports_.startAfresh();
    session_.setCursor(0);
    ports_.setAutomatic(false);
    ports_.refreshHistory();
    session_.show(QStringLiteral("Paired · paused. Resume sync on both devices."));
}

void Pairing::adoptShowingFailure(const Group& group) {
    try {
        adopt(group);
    } catch (const std::exception& error) {
        session_.show(describe(error));
    }
}

void Pairing::create(const QString& address) {
    if (session_.group()) {
        session_.show(QStringLiteral("Leave the current group before creating another."));
        return;
    }
    ports_.background([createRoom = ports_.server.create, address = address.toStdString(),
                       this]() -> std::function<void()> {
        const Group group = createRoom(address);
        return [this, group] { adoptShowingFailure(group); };
    });
}

void Pairing::join(const QString& link) {
    if (session_.group()) {
        session_.show(QStringLiteral("Leave the current group before joining another."));
        return;
    }
    Group candidate;
    try {
        candidate = Group::parse(link.toStdString());
    } catch (const std::exception& error) {
        session_.show(describe(error));
        return;
    }
    confirmAndAdopt(candidate);
}

void Pairing::confirmAndAdopt(const Group& candidate) {
    ports_.background(
        [read = ports_.server.readFromStart, candidate, this]() -> std::function<void()> {
            // The server must accept the token; what it holds does not matter.
            read(candidate);
            return [this, candidate] { adoptShowingFailure(candidate); };
        });
}

void Pairing::copyInvite() {
    const auto& group = session_.group();
    if (!group)
        return;
    QString suggestion = QString::fromStdString(group->server);
    if (isLoopbackServer(group->server)) {
        const auto parts = parseUrl(group->server);
        const auto relay = parseUrl(defaultRelay());
        if (parts && parts->scheme && parts->host && relay && relay->host) {
            std::string text = *parts->scheme + "://" + *relay->host;
            if (parts->port)
                text += ":" + *parts->port;
            suggestion = QString::fromStdString(text);
        }
    }
    const auto answer = ports_.dialogs->askAddress(
        QStringLiteral("Copy invitation for another device"),
        QStringLiteral("Use the relay address shown in your terminal. Localhost and 127.0.0.1 "
                       "cannot reach this Mac from a phone. Anyone with the invitation can "
                       "access the group; share it privately."),
        suggestion);
    if (answer)
        copyInviteFor(*answer);
}

void Pairing::copyInviteFor(const QString& address) {
    const auto& group = session_.group();
    if (!group)
        return;
    try {
        const std::string link = group->invitationForOtherDevice(address.toStdString());
        ports_.writeClipboard(QString::fromStdString(link));
        const std::string normalised = serverURL(address.toStdString());
        session_.show(QStringLiteral("Invitation copied with address ") +
                      QString::fromStdString(normalised));
    } catch (const std::exception& error) {
        session_.show(describe(error));
    }
}

void Pairing::leave() {
    try {
        ports_.saveSecret(std::nullopt);
    } catch (const std::exception&) {
        session_.show(QStringLiteral("Unable to clear Keychain"));
        return;
    }
    ports_.stop();
    session_.setGroup(std::nullopt);
    ports_.forgetHistory();
    ports_.setAutomatic(false);
    ports_.refreshHistory();
    session_.show(QStringLiteral("Left locally. Other devices retain access to their group."));
}

void Pairing::reset() {
    if (!session_.group())
        return;
    const Group copy = *session_.group();
    if (!confirm(QStringLiteral("Delete this group for every device?"),
                 QStringLiteral("This removes relay messages and access for all devices. Create "
                                "a new group and invite only devices you trust.")))
        return;
    ports_.stop();
    ports_.background([revoke = ports_.server.revoke, copy, this]() -> std::function<void()> {
        revoke(copy);
        return [this] { leave(); };
    });
}

bool Pairing::confirm(const QString& message, const QString& information) {
    return ports_.dialogs->confirm(message, information, QStringLiteral("Continue"),
                                   QStringLiteral("Cancel"));
}

void Pairing::openLink(const QString& link) {
    Group candidate;
    try {
        candidate = Group::parse(link.toStdString());
    } catch (const std::exception& error) {
        session_.show(describe(error));
        return;
    }
    // Links arrive from anywhere; one question at a time, never a pile of
    // nested dialogs.
    if (asking_ || heldRelayGroup())
        return;
    asking_ = true;
    const bool agreed = ports_.dialogs->confirm(
        QStringLiteral("Join a Zephlink group from an invitation link?"),
        joinInformation(candidate.server), QStringLiteral("Join"), QStringLiteral("Cancel"));
    asking_ = false;
    if (!agreed || heldRelayGroup())
        return;
    if (session_.busy()) {
        session_.show(QStringLiteral(
            "Previous operation in progress; the invitation was not joined. Open it again."));
        return;
    }
    // A nearby host's group gives way to the new one; sync pauses only
    // once the relay accepted the token (in adopt).
    confirmAndAdopt(candidate);
}

bool Pairing::heldRelayGroup() {
    // While sync runs, the group is the nearby host's.
    if (!session_.group() || session_.running())
        return false;
    session_.show(QStringLiteral("Leave the current group before joining another."));
    return true;
}

} // namespace zephlink
