#pragma once

#include "local_session.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace zephlink {

// Discovery outcomes that point at a firewall: other hosts are announced
// over mDNS, yet cycle after cycle the only host found is this device's own
// and no other device has joined it. Their datagrams or connections, or
// ours, do not get through.
class BlockedHint {
public:
    // About 15 seconds: one lost exchange is no reason to blame a firewall.
    static constexpr int kCycles = 3;

    // Takes one cycle's outcome and the hosts announced meanwhile; true once
    // kCycles cycles in a row looked blocked.
    bool observe(const std::optional<LocalSession>& session, std::string_view device,
                 const std::set<std::string>& announced);
    void reset() { cycles_ = 0; }

private:
    int cycles_ = 0;
};

} // namespace zephlink
