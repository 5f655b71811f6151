#include "rate_limiter.h"

namespace zephlink {

RateLimiter::RateLimiter(WallClock clock) : clock_(std::move(clock)) {}

int RateLimiter::admit(const std::string& peer) {
    const std::int64_t now = clock_();
    std::erase_if(windows_,
                  [&](const auto& entry) { return now - entry.second.start >= kRateWindowMs; });
    auto found = windows_.find(peer);
    if (found == windows_.end()) {
        if (windows_.size() >= kMaxTrackedPeers)
            return 503;
        found = windows_.emplace(peer, Window{now, 0}).first;
    }
    if (found->second.count >= kRequestsPerWindow)
        return 429;
    ++found->second.count;
    return 0;
}

} // namespace zephlink
