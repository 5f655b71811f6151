#pragma once

// Sync on and off, and the nearby host found by discovery: its group, the
// other devices it knows and their summary, and the hint at a firewall when
// other hosts are announced but never reached.
#include "blocked_hint.h"
#include "local_session.h"
#include "ports.h"
#include "session_state.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zephlink {

// What the nearby devices need from outside and from the other concerns.
struct NearbyPorts {
    Settings* settings = nullptr;
    std::function<std::int64_t()> now;
    std::function<void()> rebaseline;                      // capture: what is there is dealt with
    std::function<std::optional<QString>()> blockedStatus; // capture: no copies seen
    std::function<void(std::int64_t)> setReceiveAfter;     // sync: older clips are ignored
    std::function<void()> startAfresh;                     // sync: a new group's clips
    std::function<void()> forgetHistory;                   // sync: the group is gone
    std::function<void()> refreshHistory;                  // sync
    std::function<void(const Group&, std::int64_t)> poll;  // sync: a new loop for an epoch
};

class Nearby {
public:
    static const QString kBlockedStatus;

    Nearby(SessionState& session, NearbyPorts ports);

    // This device, left out of the peers.
    void setDevice(std::string device) { device_ = std::move(device); }
    // Made at launch; absent in the design preview.
    void setDiscovery(std::unique_ptr<Discovery> discovery) { local_ = std::move(discovery); }
    // Launch reads the stored pause.
    void setPaused(bool paused) { paused_ = paused; }

    void start();
    void stop();
    void discovered(const std::optional<LocalSession>& session,
                    const std::optional<std::string>& server);
    // Termination: discovery and the own nearby host stop.
    void shutdown();

    bool paused() const { return paused_; }
    const std::vector<NearbyDevice>& peers() const { return peers_; }
    const std::string& hostID() const { return hostID_; }
    // Texts kept for a view that shows them; none does today.
    const QString& devicesLabel() const { return devicesLabel_; }
    const QString& toggleTitle() const { return toggleTitle_; }
    // The status while a host's group is held, unless the desktop hides
    // copies from us: then the user must know they stay put.
    QString connectedStatus() const;

private:
    void hostFound(const LocalSession& session, const Group& group);
    void hostLost();

    SessionState& session_;
    NearbyPorts ports_;
    std::string device_;
    std::unique_ptr<Discovery> local_;
    std::string hostID_;
    std::vector<NearbyDevice> peers_;
    BlockedHint blockedHint_;
    bool blocked_ = false; // discovery looks blocked by a firewall
    QString devicesLabel_ = QStringLiteral("Looking for your devices…");
    QString toggleTitle_ = QStringLiteral("Resume sync");
    bool paused_ = false;
};

} // namespace zephlink
