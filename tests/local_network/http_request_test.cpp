// What the socket tests cannot arrange: exact receive boundaries and a clock
// that jumps. The framing rules themselves are checked over real sockets.
#include "http_request.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace std::chrono_literals;

namespace {

// Feeds scripted chunks, then reports the peer closed. Each receive moves a
// fake clock on by `step`.
struct Script {
    std::deque<std::string> chunks;
    std::chrono::steady_clock::duration step = 0s;
    std::chrono::steady_clock::time_point now{};
    std::size_t largestAsk = 0;

    ReadResult read() {
        const ByteSource source = [this](std::span<char> into) -> ssize_t {
            largestAsk = std::max(largestAsk, into.size());
            now += step;
            if (chunks.empty())
                return 0;
            const std::size_t n = std::min(chunks.front().size(), into.size());
            std::copy_n(chunks.front().begin(), n, into.begin());
            chunks.front().erase(0, n);
            if (chunks.front().empty())
                chunks.pop_front();
            return static_cast<ssize_t>(n);
        };
        return readRequest(source, [this] { return now; });
    }
};

} // namespace

TEST(RequestReader, ReadsARequestThatArrivesByteByByte) {
    Script script;
    for (const char c : std::string("POST /v1/rooms/r/clips HTTP/1.1\r\nHost: h\r\nX-Empty:\r\n"
                                    "X-Pad: \t v \t\r\nContent-Length: 10000\r\n\r\n"))
        script.chunks.emplace_back(1, c);
    script.chunks.push_back(std::string(6000, 'a'));
    script.chunks.push_back(std::string(4000, 'b'));
    const ReadResult result = script.read();
    ASSERT_TRUE(std::holds_alternative<HttpRequest>(result));
    const auto& request = std::get<HttpRequest>(result);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/rooms/r/clips");
    EXPECT_EQ(request.headers,
              (std::map<std::string, std::string>{
                  {"host", "h"}, {"x-empty", ""}, {"x-pad", "v"}, {"content-length", "10000"}}));
    EXPECT_EQ(request.body, std::string(6000, 'a') + std::string(4000, 'b'));
    EXPECT_EQ(script.largestAsk, kReceiveChunk);
}

TEST(RequestReader, Answers400OnceFiveSecondsHavePassed) {
    // Each piece comes before the receive time-out, but the whole is late; the
    // last piece lands at the deadline itself and the peer then goes quiet.
    Script header{std::deque<std::string>(5, "X"), 1s};
    Script body{{"POST /x HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "a", "b", "c", "d"}, 1s};
    for (Script* script : {&header, &body}) {
        const ReadResult result = script->read();
        ASSERT_TRUE(std::holds_alternative<HttpStatus>(result));
        EXPECT_EQ(std::get<HttpStatus>(result), 400);
    }
}
