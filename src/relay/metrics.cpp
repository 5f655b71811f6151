#include "metrics.h"

namespace zephlink::relay {

void Metrics::answered(int status) {
    std::size_t index = 0;
    while (index + 1 < kStatuses.size() && kStatuses[index] != status)
        ++index;
    ++answers_[index];
}

std::string Metrics::render(std::optional<std::int64_t> rooms, std::size_t heldPolls,
                            std::size_t connections) const {
    std::string out;
    const auto metric = [&](const char* name, const char* type, const char* help) {
        out.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    };
    if (rooms) {
        metric("zephlink_relay_rooms", "gauge", "Rooms that exist.");
        out.append("zephlink_relay_rooms ").append(std::to_string(*rooms)).append("\n");
    }
    metric("zephlink_relay_held_polls", "gauge", "Polls held open by this process.");
    out.append("zephlink_relay_held_polls ").append(std::to_string(heldPolls)).append("\n");
    metric("zephlink_relay_connections", "gauge", "Client connections open on this process.");
    out.append("zephlink_relay_connections ").append(std::to_string(connections)).append("\n");
    metric("zephlink_relay_posts_total", "counter", "Clips stored through this process.");
    out.append("zephlink_relay_posts_total ").append(std::to_string(posts_.load())).append("\n");
    metric("zephlink_relay_rooms_created_total", "counter", "Rooms created through this process.");
    out.append("zephlink_relay_rooms_created_total ")
        .append(std::to_string(roomsCreated_.load()))
        .append("\n");
    metric("zephlink_relay_answers_total", "counter", "Answers by HTTP status.");
    for (std::size_t i = 0; i < kStatuses.size(); ++i) {
        const std::uint64_t count = answers_[i].load();
        if (count == 0)
            continue;
        const std::string status = kStatuses[i] == 0 ? "other" : std::to_string(kStatuses[i]);
        out.append("zephlink_relay_answers_total{status=\"")
            .append(status)
            .append("\"} ")
            .append(std::to_string(count))
            .append("\n");
    }
    return out;
}

} // namespace zephlink::relay
