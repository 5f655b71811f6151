#pragma once

// Counters for Prometheus, rendered in its text format.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zephlink::relay {

class Metrics {
public:
    void answered(int status);
    void stored() { ++posts_; }
    void created() { ++roomsCreated_; }

    // rooms: nullopt when the store could not count them.
    std::string render(std::optional<std::int64_t> rooms, std::size_t heldPolls,
                       std::size_t connections) const;

private:
    static constexpr std::array<int, 16> kStatuses = {200, 201, 204, 400, 401, 404, 405, 408,
                                                      409, 413, 429, 431, 500, 503, 507, 0};
    std::array<std::atomic<std::uint64_t>, kStatuses.size()> answers_{};
    std::atomic<std::uint64_t> posts_{0};
    std::atomic<std::uint64_t> roomsCreated_{0};
};

} // namespace zephlink::relay
