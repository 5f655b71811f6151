// Reading, framing and admission of requests, over real sockets.
#include "host_fixture.h"

#include <sys/resource.h>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;

namespace {

using HostHttp = HostTest;

std::string head(int status, std::size_t bodyBytes) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Response\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(bodyBytes) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
}

std::string health(const std::string& headers, const std::string& body = "") {
    return "GET /health HTTP/1.1\r\n" + headers + "\r\n\r\n" + body;
}

std::string session(std::size_t length, const std::string& body) {
    return "POST /v1/local-session HTTP/1.1\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n" + body;
}

// A header block whose separator starts at offset `bytes`.
std::string headerOf(std::size_t bytes) {
    const std::string start = "GET /health HTTP/1.1\r\nX-Pad: ";
    return start + std::string(bytes - start.size(), 'p') + "\r\n\r\n";
}

} // namespace

TEST_F(HostHttp, AnswersHealthWithTheFixedHead) {
    const RawResponse response = transact(kHealth);
    EXPECT_EQ(response.head, head(200, response.body.size()));
    EXPECT_EQ(response.json(),
              (nlohmann::json{
                  {"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", host->hostId()}}));
}

TEST_F(HostHttp, FramesHostileRequestsByTheRules) {
    std::string paddedDevice = nearbyDevice().dump();
    paddedDevice.insert(1, 1024 - paddedDevice.size(), ' ');
    const struct {
        const char* why;
        std::string request;
        int status;             // 0: closed without a word
        bool halfClose = false; // the peer leaves after sending
    } cases[] = {
        {"two spaces after the method", "GET  /health HTTP/1.1\r\n\r\n", 200},
        {"two pieces", "GET /health\r\n\r\n", 400},
        {"HTTP/1.0", "GET /health HTTP/1.0\r\n\r\n", 400},
        {"absolute target", "GET http://h/health HTTP/1.1\r\n\r\n", 400},
        {"header without colon", health("Host h"), 400},
        {"bare LF line endings", "GET /health HTTP/1.1\nHost: h\n\n\r\n\r\n", 400},
        {"same header in two cases", health("Host: a\r\nHOST: a"), 400},
        {"header not UTF-8", health("X-A: \xff"), 400},
        {"header block of 8192", headerOf(8192), 200},
        {"header block of 8193", headerOf(8193), 400},
        {"no end of header in sight", "GET /health HTTP/1.1\r\nX: " + std::string(9000, 'p'), 400},
        {"origin in capitals", health("ORIGIN: x"), 403},
        {"empty origin", health("origin:"), 403},
        {"chunked",
         "POST /v1/local-session HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 403},
        {"space before the colon", health("Origin : x"), 200},
        {"plus sign length", health("Content-Length: +5", "hello"), 200},
        {"padded length value", health("Content-Length: \t5 ", "hello"), 200},
        {"negative length", health("Content-Length: -1"), 413},
        {"length with letters", health("Content-Length: 5x", "hello"), 413},
        {"length beyond 64 bits", health("Content-Length: 99999999999999999999"), 413},
        {"length 60001", health("Content-Length: 60001"), 413},
        {"session body of 1025", session(1025, std::string(1025, '{')), 413},
        {"session body of 1024", session(1024, paddedDevice), 200},
        {"1025 on another target", health("Content-Length: 1025", std::string(1025, ' ')), 200},
        {"body longer than declared", session(1, "{}"), 400},
        {"body without a length", health("Host: h", "x"), 400},
        {"peer leaves mid-header", "GET /health HTTP/1.1\r\nHost: h\r\n", 0, true},
    };
    for (const auto& c : cases) {
        RawConnection connection;
        ASSERT_TRUE(connection.send(c.request)) << c.why;
        if (c.halfClose) {
            ASSERT_EQ(shutdown(connection.fd(), SHUT_WR), 0);
        }
        const RawResponse response = connection.response(5s);
        EXPECT_EQ(response.status, c.status) << c.why;
        EXPECT_EQ(response.answered, c.status != 0) << c.why;
        if (c.status >= 400) {
            EXPECT_EQ(response.head + response.body, head(c.status, 0)) << c.why;
        }
    }
}

TEST_F(HostHttp, StillAnswersAPeerThatKeepsSendingAfterARefusal) {
    // Closing on unread data would reset the connection and lose the answer.
    RawConnection connection;
    ASSERT_TRUE(connection.send("POST /x HTTP/1.1\r\nContent-Length: 70000\r\n\r\n"));
    std::thread sender([&] { connection.send(std::string(70000, 'x')); });
    EXPECT_EQ(connection.response().status, 413);
    sender.join();
}

TEST_F(HostHttp, DropsAPeerThatSendsNothingAfterThreeSeconds) {
    RawConnection connection;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(connection.response(8s).answered);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 2500ms) << "dropped by the receive time-out, not at once";
    EXPECT_LT(waited, 7s);
}

TEST_F(HostHttp, ServesOnlyPeersOnPrivateNetworks) {
    const struct {
        const char* address;
        bool served;
    } peers[] = {{"169.254.7.7", true},
                 {"192.168.50.1", true},
                 {"203.0.113.5", false},
                 {"172.32.0.1", false},
                 {"8.8.8.8", false}};
    int label = 0;
    for (const auto& peer : peers) {
        ASSERT_TRUE(addLoopbackAddress(peer.address, ++label));
        RawConnection connection(peer.address, peer.address);
        ASSERT_TRUE(connection.connected()) << peer.address;
        connection.send(kHealth); // may fail: the host has closed already
        EXPECT_EQ(connection.response(5s).status, peer.served ? 200 : 0) << peer.address;
    }
}

TEST_F(HostHttp, ServesTheNextRequestOnceOneOf33SlowPeersLeaves) {
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 32; ++i) {
        slow.push_back(std::make_unique<RawConnection>());
        ASSERT_TRUE(slow.back()->send("GET /health HTTP/1.1\r\n")); // never finished
    }
    // Connections are accepted in order, so the 33rd finds every slot taken.
    EXPECT_FALSE(transact(kHealth, nullptr, 2s).answered);
    slow.front()->reset();
    // The slot is handed back on the host's own thread, a moment after the close.
    RawResponse next;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!next.answered && std::chrono::steady_clock::now() < deadline)
        next = transact(kHealth, nullptr, 2s);
    EXPECT_EQ(next.status, 200);
}

TEST_F(HostHttp, Refuses601stRequestOfAPeerWithinItsMinute) {
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(transact(kHealth, "127.0.0.9").status, 200) << i;
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 429);
    EXPECT_EQ(transact(kHealth, "127.0.0.10").status, 200) << "another address, another window";
    EXPECT_EQ(transact("GET /health HTTP/1.0\r\n\r\n", "127.0.0.9").status, 400)
        << "reading comes before admission";
    advance(59999ms);
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 429);
    advance(1ms);
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 200) << "a new window";
}

TEST_F(HostHttp, RefusesA257thPeerWhile256AreTracked) {
    for (int i = 0; i < 256; ++i) {
        const std::string source = "127.0.1." + std::to_string(i);
        ASSERT_EQ(transact(kHealth, source.c_str()).status, 200) << source;
    }
    EXPECT_EQ(transact(kHealth, "127.0.2.1").status, 503);
    EXPECT_EQ(transact(kHealth, "127.0.1.77").status, 200) << "tracked peers are still served";
    advance(60s);
    EXPECT_EQ(transact(kHealth, "127.0.2.1").status, 200) << "expired windows make room";
}

TEST_F(HostHttp, WaitsOutOfDescriptorsInsteadOfSpinningAndServesOnceSomeAreFree) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(probe + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd = dup(0); fd >= 0; fd = dup(0))
        filler.push_back(fd);
    close(filler.back());
    filler.pop_back();
    RawConnection connection; // takes the last descriptor: the host cannot accept it
    const auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(1500ms);
    const auto used = cpu() - before;
    for (const int fd : filler)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_LT(used, 100ms) << "the accept loop spun";
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.send(kHealth));
    EXPECT_EQ(connection.response(5s).status, 200);
}
