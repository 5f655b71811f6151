#include "http_request.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace std::chrono_literals;

namespace {

// Feeds scripted chunks, then reports the peer closed (or a time-out). Each
// receive moves a fake clock on by `step`.
struct Script {
    std::deque<std::string> chunks;
    bool timeOutAtEnd = false;
    std::chrono::steady_clock::duration step = 0s;
    std::chrono::steady_clock::time_point now{};
    std::size_t largestAsk = 0;

    ReadResult read() {
        const ByteSource source = [this](std::span<char> into) -> ssize_t {
            largestAsk = std::max(largestAsk, into.size());
            now += step;
            if (chunks.empty())
                return timeOutAtEnd ? -1 : 0;
            std::string& front = chunks.front();
            const std::size_t n = std::min(front.size(), into.size());
            std::copy_n(front.begin(), n, into.begin());
            front.erase(0, n);
            if (front.empty())
                chunks.pop_front();
            return static_cast<ssize_t>(n);
        };
        return readRequest(source, [this] { return now; });
    }
};

ReadResult readAll(std::string bytes) {
    Script script;
    script.chunks.push_back(std::move(bytes));
    return script.read();
}

int status(const ReadResult& result) {
    if (const auto* s = std::get_if<HttpStatus>(&result))
        return *s;
    return std::holds_alternative<HttpRequest>(result) ? 0 : -1;
}

constexpr int kRequest = 0;
constexpr int kSilent = -1;

std::string withHeader(const std::string& header, const std::string& body = "") {
    return "POST /v1/rooms/x/clips HTTP/1.1\r\n" + header + "\r\n\r\n" + body;
}

} // namespace

TEST(RequestReader, ReadsARequestSplitIntoSmallPieces) {
    Script script;
    const std::string whole = "POST /v1/local-session HTTP/1.1\r\nHost: h\r\nContent-Length: 5"
                              "\r\nX-Empty:\r\n\r\nhello";
    for (const char c : whole)
        script.chunks.emplace_back(1, c);
    const ReadResult result = script.read();
    ASSERT_EQ(status(result), kRequest);
    const auto& request = std::get<HttpRequest>(result);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/local-session");
    EXPECT_EQ(request.body, "hello");
    ASSERT_NE(request.header("x-empty"), nullptr);
    EXPECT_EQ(*request.header("x-empty"), "");
    EXPECT_EQ(*request.header("host"), "h");
}

TEST(RequestReader, NeverAsksForMoreThanAChunkOrThanTheBodyLacks) {
    Script script;
    script.chunks.push_back("POST / HTTP/1.1\r\nContent-Length: 10000\r\n\r\n");
    script.chunks.push_back(std::string(6000, 'a'));
    script.chunks.push_back(std::string(4000, 'b'));
    const ReadResult result = script.read();
    ASSERT_EQ(status(result), kRequest);
    EXPECT_EQ(std::get<HttpRequest>(result).body.size(), 10000u);
    EXPECT_EQ(script.largestAsk, kReceiveChunk);
}

TEST(RequestReader, AnswersHostileFramingWithTheRightStatus) {
    const struct {
        const char* why;
        std::string bytes;
        int expected;
    } cases[] = {
        {"two spaces after the method", "GET  /health HTTP/1.1\r\n\r\n", kRequest},
        {"trailing spaces on the request line", "GET /health HTTP/1.1  \r\n\r\n", kRequest},
        {"empty request", "\r\n\r\n", 400},
        {"two pieces", "GET /health\r\n\r\n", 400},
        {"four pieces", "GET /health HTTP/1.1 x\r\n\r\n", 400},
        {"HTTP/1.0", "GET /health HTTP/1.0\r\n\r\n", 400},
        {"lower-case version", "GET /health http/1.1\r\n\r\n", 400},
        {"absolute target", "GET http://h/health HTTP/1.1\r\n\r\n", 400},
        {"asterisk target", "OPTIONS * HTTP/1.1\r\n\r\n", 400},
        {"tab instead of space", "GET\t/health HTTP/1.1\r\n\r\n", 400},
        {"header without colon", "GET / HTTP/1.1\r\nHost h\r\n\r\n", 400},
        {"bare LF line endings", "GET / HTTP/1.1\nHost: h\n\n\r\n\r\n", 400},
        {"header names differing in case", "GET / HTTP/1.1\r\nX-A: 1\r\nx-a: 2\r\n\r\n", 400},
        {"header not UTF-8", "GET / HTTP/1.1\r\nX-A: \xff\r\n\r\n", 400},
        {"overlong UTF-8 in target", "GET /\xc0\xaf HTTP/1.1\r\n\r\n", 400},
        {"UTF-8 in a header value", "GET / HTTP/1.1\r\nX-A: caf\xc3\xa9\r\n\r\n", kRequest},
        {"origin header", withHeader("Origin: http://evil"), 403},
        {"origin header in capitals", withHeader("ORIGIN: x"), 403},
        {"empty origin header", withHeader("origin:"), 403},
        {"chunked transfer encoding", withHeader("Transfer-Encoding: chunked"), 403},
        {"identity transfer encoding", withHeader("transfer-encoding: identity"), 403},
        {"transfer encoding with a bad length",
         withHeader("Transfer-Encoding: x\r\nContent-Length: x"), 403},
        {"duplicate origin is still 400 first", withHeader("Origin: a\r\norigin: b"), 400},
        {"name with a space before the colon", withHeader("Origin : x"), kRequest},
        {"plus sign length", withHeader("Content-Length: +5", "hello"), kRequest},
        {"zero-padded length", withHeader("Content-Length: 005", "hello"), kRequest},
        {"padded length value", withHeader("Content-Length: \t5 ", "hello"), kRequest},
        {"minus zero length", withHeader("Content-Length: -0"), kRequest},
        {"negative length", withHeader("Content-Length: -1"), 413},
        {"empty length", withHeader("Content-Length:"), 413},
        {"length with letters", withHeader("Content-Length: 5x", "hello"), 413},
        {"hexadecimal length", withHeader("Content-Length: 0x5", "hello"), 413},
        {"length with inner space", withHeader("Content-Length: 1 2"), 413},
        {"two signs", withHeader("Content-Length: +-5"), 413},
        {"length beyond 64 bits", withHeader("Content-Length: 99999999999999999999"), 413},
        {"length 60001", withHeader("Content-Length: 60001"), 413},
        {"session body of 1025",
         "POST /v1/local-session HTTP/1.1\r\nContent-Length: 1025\r\n\r\n" + std::string(1025, ' '),
         413},
        {"session body of 1024",
         "POST /v1/local-session HTTP/1.1\r\nContent-Length: 1024\r\n\r\n" + std::string(1024, ' '),
         kRequest},
        {"1025 on another target", withHeader("Content-Length: 1025", std::string(1025, ' ')),
         kRequest},
        {"body longer than its length", withHeader("Content-Length: 2", "hello"), 400},
        {"body without a length", withHeader("Host: h", "x"), 400},
        {"peer closes mid-header", "GET / HTTP/1.1\r\nHost: h\r\n", kSilent},
        {"peer closes mid-body", withHeader("Content-Length: 10", "short"), kSilent},
        {"nothing at all", "", kSilent},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status(readAll(c.bytes)), c.expected) << c.why;
}

TEST(RequestReader, LimitsTheHeaderBlockTo8192Bytes) {
    const auto padded = [](std::size_t headerBytes) {
        // "GET / HTTP/1.1\r\nX: " is 19 bytes; the separator follows the pad.
        return "GET / HTTP/1.1\r\nX: " + std::string(headerBytes - 19, 'a') + "\r\n\r\n";
    };
    EXPECT_EQ(status(readAll(padded(8192))), kRequest) << "separator at offset 8192";
    EXPECT_EQ(status(readAll(padded(8193))), 400) << "separator at offset 8193";
    EXPECT_EQ(status(readAll("GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'))), 400)
        << "no separator, but more than 8192 bytes";
}

TEST(RequestReader, FindsASeparatorSplitAcrossReceives) {
    Script script;
    script.chunks = {"GET /health HTTP/1.1\r\n\r", "\n"};
    EXPECT_EQ(status(script.read()), kRequest);
}

TEST(RequestReader, ClosesSilentlyWhenThePeerTimesOut) {
    Script script;
    script.chunks = {"GET / HTTP/1.1\r\n"};
    script.timeOutAtEnd = true;
    EXPECT_EQ(status(script.read()), kSilent);
}

TEST(RequestReader, AnswersATricklingHeaderAfterFiveSeconds) {
    Script script;
    for (int i = 0; i < 100; ++i)
        script.chunks.push_back("X");
    script.step = 1s;
    EXPECT_EQ(status(script.read()), 400);
}

TEST(RequestReader, AnswersAShortBodyOnceTheDeadlineHasPassed) {
    Script script;
    script.chunks.push_back(withHeader("Content-Length: 100", "abc"));
    for (int i = 0; i < 100; ++i)
        script.chunks.push_back("x");
    script.step = 2s;
    EXPECT_EQ(status(script.read()), 400);
}

TEST(DecimalInteger, ReadsNumbersAsPeersDo) {
    EXPECT_EQ(decimalInteger("0"), 0);
    EXPECT_EQ(decimalInteger("+7"), 7);
    EXPECT_EQ(decimalInteger("-7"), -7);
    EXPECT_EQ(decimalInteger("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(decimalInteger("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "+", "-", " 1", "1 ", "1.0", "1e3", "9223372036854775808",
                            "-9223372036854775809", "\xd9\xa1", "0x10"})
        EXPECT_EQ(decimalInteger(bad), std::nullopt) << bad;
}

TEST(ResponseBytes, WritesTheFixedHeadAndTheBody) {
    EXPECT_EQ(responseBytes(429, ""), "HTTP/1.1 429 Response\r\nContent-Type: application/json\r\n"
                                      "Content-Length: 0\r\nConnection: close\r\n"
                                      "Cache-Control: no-store\r\n\r\n");
    EXPECT_EQ(responseBytes(200, "{\"a\":\"\xc3\xa9\"}"),
              "HTTP/1.1 200 Response\r\nContent-Type: application/json\r\n"
              "Content-Length: 10\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n"
              "{\"a\":\"\xc3\xa9\"}");
}
