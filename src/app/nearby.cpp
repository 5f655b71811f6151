#include "nearby.h"

#include <QStringList>
#include <algorithm>
#include <exception>
#include <set>

namespace zephlink {

const QString Nearby::kBlockedStatus = QStringLiteral(
    "Other devices are announced but cannot be reached. Is a firewall blocking TCP 8788 and UDP "
    "8789?");

Nearby::Nearby(SessionState& session, NearbyPorts ports)
    : session_(session), ports_(std::move(ports)) {}

QString Nearby::connectedStatus() const {
    if (ports_.blockedStatus) {
        if (auto blocked = ports_.blockedStatus())
            return *blocked;
    }
    if (!peers_.empty())
        return QStringLiteral("Connected · trusted local network");
    return blocked_ ? kBlockedStatus : QStringLiteral("Ready · waiting for nearby devices");
}

void Nearby::start() {
    if (session_.running())
        return;
    session_.advance();
    ports_.rebaseline();
    session_.setRunning(true);
    toggleTitle_ = QStringLiteral("Pause sync");
    ports_.setReceiveAfter(ports_.now());
    paused_ = false;
    ports_.settings->setBoolean(QStringLiteral("localPaused"), false);
    blockedHint_.reset();
    blocked_ = false;
    session_.show(QStringLiteral("Discovering devices on trusted Wi-Fi…"));
    if (local_)
        local_->start();
}

void Nearby::stop() {
    session_.setRunning(false);
    session_.advance();
    toggleTitle_ = QStringLiteral("Resume sync");
    ports_.rebaseline();
    paused_ = true;
    ports_.settings->setBoolean(QStringLiteral("localPaused"), true);
    if (local_)
        local_->stop();
    session_.setGroup(std::nullopt);
    hostID_.clear();
    peers_.clear();
    devicesLabel_ = QStringLiteral("Discovery paused");
    session_.show(QStringLiteral("Paused"));
}

void Nearby::shutdown() {
    if (local_)
        local_->stop();
}

void Nearby::discovered(const std::optional<LocalSession>& session,
                        const std::optional<std::string>& server) {
    if (!session_.running() || paused_)
        return;
    std::optional<Group> derived;
    if (session && server) {
        try {
            derived = session->group(*server);
        } catch (const std::exception&) {
            // A session that does not check out counts as no host at all.
        }
    }
    blocked_ = blockedHint_.observe(derived ? session : std::nullopt, device_,
                                    local_ ? local_->announcedHosts() : std::set<std::string>());
    if (derived)
        hostFound(*session, *derived);
    else
        hostLost();
}

void Nearby::hostLost() {
    if (session_.group()) {
        session_.advance();
        session_.setGroup(std::nullopt);
        session_.setCursor(0);
        ports_.forgetHistory();
        ports_.refreshHistory();
    }
    hostID_.clear();
    peers_.clear();
    devicesLabel_ = QStringLiteral("No desktop host found yet");
    ports_.rebaseline();
    session_.show(QStringLiteral("Discovering… Check local-network permission and trusted Wi-Fi."));
}

void Nearby::hostFound(const LocalSession& session, const Group& group) {
    hostID_ = session.hostId;
    peers_.clear();
    for (const NearbyDevice& entry : session.devices) {
        if (entry.device != device_)
            peers_.push_back(entry);
    }
    if (peers_.empty()) {
        devicesLabel_ = QStringLiteral(
            "Open Zephlink on another device on the same Wi-Fi. Allow Zephlink’s incoming "
            "connections in the macOS firewall and enable local-network access if asked.");
    } else {
        QStringList entries;
        for (const NearbyDevice& peer : peers_)
            entries.append(QString::fromStdString(peer.name + " (" + peer.platform + ")"));
        std::sort(entries.begin(), entries.end());
        devicesLabel_ = QStringLiteral("Nearby: ") + entries.join(QStringLiteral(", "));
    }

    if (session_.group() && *session_.group() == group) {
        session_.show(connectedStatus());
        return;
    }
    const std::int64_t generation = session_.advance();
    session_.setGroup(group);
    session_.setCursor(0);
    ports_.startAfresh();
    ports_.rebaseline();
    ports_.refreshHistory();
    session_.show(connectedStatus());
    ports_.poll(group, generation);
}

} // namespace zephlink
