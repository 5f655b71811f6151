// The datagram exchange on real sockets, and discovery end to end with the
// device's own host, in the test process's own network namespace.
#include "discovery_datagram.h"
#include "discovery_fakes.h"
#include "netns.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Listens where hosts listen (port 8789 and the discovery group) and answers
// each request with the datagrams the test scripts, each sent from the
// address it names.
class FakeResponder {
public:
    struct Reply {
        std::string source;
        std::string datagram;
    };
    using Script = std::function<std::vector<Reply>(const std::string& nonce)>;

    explicit FakeResponder(Script script) : script_(std::move(script)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        sockaddr_in any = ipv4("0.0.0.0");
        any.sin_port = htons(kDiscoveryPort);
        ip_mreq membership{};
        membership.imr_multiaddr = ipv4("239.255.77.77").sin_addr;
        membership.imr_interface.s_addr = htonl(INADDR_ANY);
        ready_ =
            fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0 &&
            setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
        if (ready_)
            thread_ = std::thread([this] { serve(); });
    }
    ~FakeResponder() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        for (const auto& [source, fd] : senders_)
            close(fd);
        if (fd_ >= 0)
            close(fd_);
    }
    FakeResponder(const FakeResponder&) = delete;
    FakeResponder& operator=(const FakeResponder&) = delete;

    bool ready() const { return ready_; }
    int requests() const { return requests_.load(); }

private:
    void serve() {
        char buffer[2048];
        while (!stopping_) {
            pollfd wanted{fd_, POLLIN, 0};
            if (poll(&wanted, 1, 50) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                continue;
            const auto nonce = requestNonce(std::string_view(buffer, static_cast<std::size_t>(n)));
            if (!nonce)
                continue;
            ++requests_;
            for (const Reply& reply : script_(*nonce)) {
                const int sender = senderFrom(reply.source);
                if (sender >= 0)
                    sendto(sender, reply.datagram.data(), reply.datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&from), length);
            }
        }
    }
    int senderFrom(const std::string& source) {
        if (const auto known = senders_.find(source); known != senders_.end())
            return known->second;
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in at = ipv4(source.c_str());
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            close(fd);
            return -1;
        }
        senders_[source] = fd;
        return fd;
    }

    Script script_;
    int fd_ = -1;
    bool ready_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::map<std::string, int> senders_; // the serving thread's own
    std::thread thread_;
};

json here(const std::string& nonce, const std::string& hostId) {
    return {{"type", "zephlink.here"}, {"v", 1},         {"nonce", nonce},
            {"hostId", hostId},        {"name", "Desk"}, {"port", 8788}};
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        cutOffSystemBus();
        ASSERT_TRUE(addLoopbackAddress("10.9.0.1", 1));
        ASSERT_TRUE(addLoopbackAddress("10.9.0.2", 2));
        ASSERT_TRUE(addLoopbackAddress("203.0.113.7", 3));
    }
};

} // namespace

TEST_F(Exchange, KeepsOnlyRepliesToThisRequestFromPrivateAddresses) {
    const auto with = [](json reply, const char* member, json value) {
        reply[member] = std::move(value);
        return reply.dump();
    };
    FakeResponder responder([&](const std::string& nonce) {
        std::string exact = here(nonce, hostNumber(10)).dump();
        exact.insert(1, 1024 - exact.size(), ' ');
        std::string tooLong = here(nonce, hostNumber(9)).dump();
        tooLong.insert(1, 1025 - tooLong.size(), ' ');
        return std::vector<FakeResponder::Reply>{
            {"10.9.0.1", here(nonce, hostNumber(1)).dump()},
            {"127.0.0.1", here(nonce, hostNumber(2)).dump()},
            {"203.0.113.7", here(nonce, hostNumber(3)).dump()}, // public sender
            {"127.0.0.1", with(here(nonce, hostNumber(4)), "port", 8789)},
            {"127.0.0.1", with(here(nonce, hostNumber(5)), "port", "8788")},
            {"127.0.0.1", here(identifier(), hostNumber(6)).dump()}, // another nonce
            {"127.0.0.1", with(here(nonce, hostNumber(7)), "v", "1")},
            {"127.0.0.1", with(here(nonce, hostNumber(8)), "type", "zephlink.discover")},
            {"127.0.0.1", tooLong},
            {"127.0.0.1", exact},
            {"127.0.0.1", here(nonce, "ABCDEF0123456789ABCDEF0123456789").dump()},
            {"127.0.0.1", "[" + here(nonce, hostNumber(11)).dump() + "]"},
        };
    });
    ASSERT_TRUE(responder.ready());
    const HostAddresses found = discover();
    EXPECT_EQ(found, (HostAddresses{{hostNumber(1), "http://10.9.0.1:8788"},
                                    {hostNumber(2), "http://127.0.0.1:8788"},
                                    {hostNumber(10), "http://127.0.0.1:8788"}}));
    EXPECT_GE(responder.requests(), 2) << "sent to loopback and to the discovery group";
}

TEST_F(Exchange, IgnoresARepliedNonceOfAnEarlierExchange) {
    std::string earlier;
    FakeResponder responder([&](const std::string& nonce) {
        std::vector<FakeResponder::Reply> replies{{"127.0.0.1", here(nonce, hostNumber(1)).dump()}};
        if (!earlier.empty() && earlier != nonce)
            replies.push_back({"10.9.0.1", here(earlier, hostNumber(2)).dump()});
        else
            earlier = nonce;
        return replies;
    });
    ASSERT_TRUE(responder.ready());
    EXPECT_EQ(discover(), (HostAddresses{{hostNumber(1), "http://127.0.0.1:8788"}}));
    EXPECT_EQ(discover(), (HostAddresses{{hostNumber(1), "http://127.0.0.1:8788"}}));
}

TEST_F(Exchange, TakesTheLatestAddressOfAHost) {
    FakeResponder responder([](const std::string& nonce) {
        return std::vector<FakeResponder::Reply>{{"10.9.0.1", here(nonce, hostNumber(1)).dump()},
                                                 {"10.9.0.2", here(nonce, hostNumber(1)).dump()}};
    });
    ASSERT_TRUE(responder.ready());
    EXPECT_EQ(discover(), (HostAddresses{{hostNumber(1), "http://10.9.0.2:8788"}}));
}

TEST_F(Exchange, HearsAtMostSixtyFourHosts) {
    FakeResponder responder([](const std::string& nonce) {
        std::vector<FakeResponder::Reply> replies;
        for (int n = 1; n <= 70; ++n)
            replies.push_back({"127.0.0.1", here(nonce, hostNumber(n)).dump()});
        return replies;
    });
    ASSERT_TRUE(responder.ready());
    EXPECT_EQ(discover().size(), 64u);
}

// Without the extra loopback addresses of the fixture: a host's answer to
// the discovery group could come from any of them.
TEST(RealExchange, FindsARealHost) {
    cutOffSystemBus();
    const auto host = LocalHost::create(hostNumber(42), "Desk");
    ASSERT_TRUE(host->start());
    EXPECT_EQ(discover(), (HostAddresses{{hostNumber(42), "http://127.0.0.1:8788"}}));
    host->stop();
    EXPECT_TRUE(host->waitUntilFinished(5s));
}

// Everything real but the advertisement: the device finds its own host
// through the datagrams and the probe, and joins it over loopback.
TEST(RealExchange, ADeviceAloneJoinsItsOwnHost) {
    cutOffSystemBus();
    TestMainThread mainThread;
    Deliveries deliveries;
    LocalDiscovery::Options options;
    options.advertiser = std::make_shared<FakeAdvertiser>();
    const std::string device = hostNumber(0xd0);
    {
        LocalDiscovery discovery(device, "Desk", deliveries.callback(), mainThread.executor(),
                                 options);
        discovery.start();
        ASSERT_TRUE(discovery.hosting());
        ASSERT_TRUE(mainThread.runUntil([&] { return !deliveries.all.empty(); }, 10s));
        discovery.stop();
    }
    const Delivery& outcome = deliveries.all[0];
    ASSERT_TRUE(outcome.session);
    EXPECT_EQ(outcome.session->hostId, device);
    EXPECT_EQ(outcome.server, "http://127.0.0.1:8788");
    EXPECT_EQ(outcome.session->devices, (std::vector<NearbyDevice>{{device, "Desk", "mac"}}));
    EXPECT_EQ(outcome.session->group(*outcome.server).server, "http://127.0.0.1:8788");
}

TEST(Avahi, WithoutASystemBusTheAdvertisementIsSilentlyAbsent) {
    cutOffSystemBus();
    const auto advertisement = avahiAdvertiser()->publish(hostService("Desk", hostNumber(1)));
    EXPECT_EQ(advertisement, nullptr);
}
