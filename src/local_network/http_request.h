#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <variant>

namespace zephlink {

inline constexpr std::size_t kMaxHeaderBytes = 8192;
inline constexpr std::size_t kReceiveChunk = 4096;
inline constexpr std::int64_t kMaxBodyLength = 60000;
inline constexpr std::int64_t kMaxSessionBodyLength = 1024;
inline constexpr std::chrono::seconds kRequestDeadline{5};
inline constexpr std::string_view kSessionPath = "/v1/local-session";

struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers; // names lower-cased, values trimmed
    std::string body;

    const std::string* header(const std::string& name) const;
};

// The reader's verdict when there is no request to handle.
struct CloseSilently {};
using HttpStatus = int;
using ReadResult = std::variant<HttpRequest, HttpStatus, CloseSilently>;

// Where request bytes come from: fills up to into.size() bytes and returns
// the count, 0 when the peer closed, or a negative value on error or time-out.
using ByteSource = std::function<ssize_t(std::span<char> into)>;
using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// Reads one request: the header block up to the first CR LF CR LF (at most
// 8192 bytes), then exactly content-length body bytes, all within 5 seconds
// of the start. Returns the request, the status to answer, or that the
// connection is to be closed without a word.
ReadResult readRequest(const ByteSource& source,
                       const SteadyClock& clock = std::chrono::steady_clock::now);

// The header block (without its blank line) as a request with an empty body,
// or the status to answer.
std::variant<HttpRequest, HttpStatus> parseHead(std::string_view head);

// The body length the request declares, or 413.
std::variant<std::int64_t, HttpStatus> bodyLength(const HttpRequest& request);

} // namespace zephlink
