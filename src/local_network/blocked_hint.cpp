#include "blocked_hint.h"

#include <algorithm>

namespace zephlink {

bool BlockedHint::observe(const std::optional<LocalSession>& session, std::string_view device,
                          const std::set<std::string>& announced) {
    const auto other = [device](std::string_view id) { return id != device; };
    const bool alone =
        session && session->hostId == device &&
        std::none_of(session->devices.begin(), session->devices.end(),
                     [&](const NearbyDevice& entry) { return other(entry.device); }) &&
        std::any_of(announced.begin(), announced.end(), other);
    cycles_ = alone ? std::min(cycles_ + 1, kCycles) : 0;
    return cycles_ >= kCycles;
}

} // namespace zephlink
