#pragma once

#include "wall_clock.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zephlink {

inline constexpr std::int64_t kRateWindowMs = 60000;
inline constexpr int kRequestsPerWindow = 600;
inline constexpr std::size_t kMaxTrackedPeers = 256;

// Counts requests per peer address in a 60-second window that opens with the
// peer's first request. Not locked: the host serialises calls.
class RateLimiter {
public:
    explicit RateLimiter(WallClock clock);

    // 0 when the request may proceed; 503 when the table is full for a new
    // peer; 429 when the peer has used up its window.
    int admit(const std::string& peer);
    std::size_t trackedPeers() const { return windows_.size(); }

private:
    struct Window {
        std::int64_t start = 0; // ms
        int count = 0;
    };
    WallClock clock_;
    std::map<std::string, Window> windows_;
};

} // namespace zephlink
