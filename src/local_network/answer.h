#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace zephlink {

// Bytes that answers share and nobody changes once made: a stored clip is
// serialised once, and every poll answer that carries it points at the same
// bytes, however slowly its reader takes them.
using SharedBytes = std::shared_ptr<const std::string>;

// One response: its status and its body as pieces, joined on the wire.
struct Answer {
    int status = 0;
    std::vector<SharedBytes> body;

    std::size_t bodySize() const;
};

// The object written compactly as the body; a failed serialisation leaves the
// body empty and the status as it is.
Answer jsonAnswer(int status, const nlohmann::json& body);

// Writes the head (status line, four header lines, blank line) and the body
// with scatter-gather sends, never raising SIGPIPE; false when a send fails,
// returns 0 or the deadline passes.
bool sendAnswer(int fd, const Answer& answer, std::chrono::steady_clock::time_point deadline);

} // namespace zephlink
