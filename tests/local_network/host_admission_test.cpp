#include "host_fixture.h"

#include <memory>
#include <thread>
#include <vector>

using namespace zephlink;
using namespace zephlink::test;

namespace {

using HostAdmission = HostTest;

const std::string kHealth = "GET /health HTTP/1.1\r\n\r\n";

// Retries until the host answers, for at most `limit`: a closed slot is
// handed back on the host's own thread, a moment after the close.
RawResponse firstAnswer(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        RawResponse response = transact(kHealth, nullptr, 2s);
        if (response.answered || std::chrono::steady_clock::now() >= deadline)
            return response;
        std::this_thread::sleep_for(20ms);
    }
}

} // namespace

TEST_F(HostAdmission, ServesPrivateAndLinkLocalPeers) {
    ASSERT_TRUE(addLoopbackAddress("169.254.7.7", 1));
    ASSERT_TRUE(addLoopbackAddress("192.168.50.1", 2));
    RawConnection linkLocal("169.254.7.7", "169.254.7.7");
    ASSERT_TRUE(linkLocal.connected());
    ASSERT_TRUE(linkLocal.send(kHealth));
    EXPECT_EQ(linkLocal.response().status, 200);
    RawConnection lan("192.168.50.1", "192.168.50.1");
    ASSERT_TRUE(lan.send(kHealth));
    EXPECT_EQ(lan.response().status, 200);
}

TEST_F(HostAdmission, ClosesOnPeersOutsidePrivateNetworks) {
    for (const char* publicAddress : {"203.0.113.5", "172.32.0.1", "8.8.8.8"}) {
        ASSERT_TRUE(addLoopbackAddress(publicAddress, 3));
        RawConnection connection(publicAddress, publicAddress);
        ASSERT_TRUE(connection.connected()) << publicAddress;
        connection.send(kHealth); // may already fail: the host has closed
        EXPECT_FALSE(connection.response(5s).answered) << publicAddress;
    }
}

TEST_F(HostAdmission, ServesTheNextRequestOnceOneOf33SlowPeersLeaves) {
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 32; ++i) {
        slow.push_back(std::make_unique<RawConnection>());
        ASSERT_TRUE(slow.back()->connected());
        ASSERT_TRUE(slow.back()->send("GET /health HTTP/1.1\r\n")); // never finished
    }
    // The accept loop takes connections in order, so the 33rd finds every
    // slot taken.
    RawConnection extra;
    ASSERT_TRUE(extra.connected());
    extra.send(kHealth);
    EXPECT_FALSE(extra.response(2s).answered);

    slow.front()->reset();
    EXPECT_EQ(firstAnswer(2s).status, 200);
}

TEST_F(HostAdmission, Refuses601stRequestOfAPeerWithinItsMinute) {
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(transact(kHealth, "127.0.0.9").status, 200) << i;
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 429);
    EXPECT_EQ(transact(kHealth, "127.0.0.10").status, 200) << "another address, another window";
    // Reading comes before admission: a malformed request is still told so.
    EXPECT_EQ(transact("GET /health HTTP/1.0\r\n\r\n", "127.0.0.9").status, 400);
    advance(60s);
    EXPECT_EQ(transact(kHealth, "127.0.0.9").status, 200) << "a new window";
}

TEST_F(HostAdmission, RefusesA257thPeerWhile256AreTracked) {
    for (int i = 0; i < 256; ++i) {
        const std::string source = "127.0.1." + std::to_string(i);
        ASSERT_EQ(transact(kHealth, source.c_str()).status, 200) << source;
    }
    EXPECT_EQ(transact(kHealth, "127.0.2.1").status, 503);
    EXPECT_EQ(transact(kHealth, "127.0.1.77").status, 200) << "tracked peers are still served";
    advance(60s);
    EXPECT_EQ(transact(kHealth, "127.0.2.1").status, 200) << "expired windows make room";
}
