#include "host_fixture.h"

#include <thread>

using namespace zephlink;
using namespace zephlink::test;

namespace {

constexpr const char* kErrorHead = "Content-Type: application/json\r\nContent-Length: 0\r\n"
                                   "Connection: close\r\nCache-Control: no-store\r\n\r\n";

using HostFraming = HostTest;

} // namespace

TEST_F(HostFraming, AnswersHealthWithTheFixedHead) {
    const RawResponse response = transact("GET /health HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(response.answered);
    const std::string body = response.body;
    EXPECT_EQ(response.head, "HTTP/1.1 200 Response\r\nContent-Type: application/json\r\n"
                             "Content-Length: " +
                                 std::to_string(body.size()) +
                                 "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n");
    EXPECT_EQ(response.json(),
              (nlohmann::json{
                  {"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", host->hostId()}}));
}

TEST_F(HostFraming, AnswersMalformedRequestsWithEmptyErrorBodies) {
    const struct {
        const char* why;
        std::string request;
        int status;
    } cases[] = {
        {"HTTP/1.0", "GET /health HTTP/1.0\r\n\r\n", 400},
        {"same header in two cases", "GET /health HTTP/1.1\r\nHost: a\r\nHOST: a\r\n\r\n", 400},
        {"origin", "GET /health HTTP/1.1\r\nOrigin: http://site.example\r\n\r\n", 403},
        {"chunked",
         "POST /v1/local-session HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 403},
        {"length not a number", "POST /v1/local-session HTTP/1.1\r\nContent-Length: ten\r\n\r\n",
         413},
        {"session body of 1025",
         "POST /v1/local-session HTTP/1.1\r\nContent-Length: 1025\r\n\r\n" + std::string(1025, '{'),
         413},
        {"body longer than declared",
         "POST /v1/local-session HTTP/1.1\r\nContent-Length: 1\r\n\r\n{}", 400},
    };
    for (const auto& c : cases) {
        const RawResponse response = transact(c.request);
        EXPECT_EQ(response.status, c.status) << c.why;
        EXPECT_EQ(response.head,
                  "HTTP/1.1 " + std::to_string(c.status) + " Response\r\n" + kErrorHead)
            << c.why;
        EXPECT_EQ(response.body, "") << c.why;
    }
}

TEST_F(HostFraming, AcceptsTheLargestHeaderBlockAndNoMore) {
    const auto padded = [](std::size_t headerBytes) {
        const std::string start = "GET /health HTTP/1.1\r\nX-Pad: ";
        return start + std::string(headerBytes - start.size(), 'p') + "\r\n\r\n";
    };
    EXPECT_EQ(transact(padded(8192)).status, 200);
    EXPECT_EQ(transact(padded(8193)).status, 400);
    EXPECT_EQ(transact("GET /health HTTP/1.1\r\nX-Pad: " + std::string(9000, 'p')).status, 400)
        << "no end of header in sight";
}

TEST_F(HostFraming, StillAnswersAPeerThatKeepsSendingAfterARefusal) {
    // The refusal comes while the declared 70000 bytes are still arriving;
    // closing on unread data would reset the connection and lose the answer.
    RawConnection connection;
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(
        connection.send("POST /v1/rooms/x/clips HTTP/1.1\r\nContent-Length: 70000\r\n\r\n"));
    std::thread sender([&] { connection.send(std::string(70000, 'x')); });
    const RawResponse response = connection.response();
    sender.join();
    EXPECT_EQ(response.status, 413);
}

TEST_F(HostFraming, ReadsALargeBodyInManyPieces) {
    Envelope envelope = fresh();
    envelope.ciphertext = encode64(random(40976));
    const std::string request = httpRequest("POST", clipsPath(), {bearer()}, body(envelope));
    RawConnection connection;
    ASSERT_TRUE(connection.connected());
    for (std::size_t at = 0; at < request.size(); at += 1000) {
        ASSERT_TRUE(connection.send(std::string_view(request).substr(at, 1000)));
        if (at % 20000 == 0)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(connection.response().status, 201);
}

TEST_F(HostFraming, ClosesOnAPeerThatLeavesMidRequest) {
    RawConnection connection;
    ASSERT_TRUE(connection.send("POST /v1/local-session HTTP/1.1\r\nContent-Length: 10\r\n\r\n{"));
    ASSERT_EQ(shutdown(connection.fd(), SHUT_WR), 0);
    const RawResponse response = connection.response(5s);
    EXPECT_FALSE(response.answered);
}

TEST_F(HostFraming, DropsAPeerThatSendsNothingAfterThreeSeconds) {
    RawConnection connection;
    ASSERT_TRUE(connection.connected());
    const auto start = std::chrono::steady_clock::now();
    const RawResponse response = connection.response(8s);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(response.answered);
    EXPECT_GE(waited, 2500ms) << "dropped by the receive time-out, not at once";
    EXPECT_LT(waited, 7s);
}

TEST_F(HostFraming, AnswersATricklingRequest400AtTheFiveSecondDeadline) {
    // A byte every second never trips the 3-second receive time-out; the
    // whole-request deadline ends it.
    RawConnection connection;
    ASSERT_TRUE(connection.send("POST /v1/local-session HTTP/1.1\r\nContent-Length: 100\r\n\r\n"));
    std::atomic<bool> done = false;
    std::thread trickle([&] {
        for (int i = 0; i < 8 && !done; ++i) {
            if (!connection.send("x"))
                return;
            std::this_thread::sleep_for(1s);
        }
    });
    const RawResponse response = connection.response(10s);
    done = true;
    trickle.join();
    EXPECT_EQ(response.status, 400);
}
