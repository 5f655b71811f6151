#include "discovery_datagram.h"
#include "host_fixture.h"

#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using nlohmann::json;

namespace {

// A datagram socket of the test, bound to `source` on a port of the system's
// choosing.
class Datagrams {
public:
    explicit Datagrams(const char* source = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in from = ipv4(source);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Datagrams() {
        if (fd_ >= 0)
            close(fd_);
    }
    Datagrams(const Datagrams&) = delete;
    Datagrams& operator=(const Datagrams&) = delete;

    bool ready() const { return fd_ >= 0; }
    std::uint16_t port() const {
        sockaddr_in self{};
        socklen_t length = sizeof self;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &length);
        return ntohs(self.sin_port);
    }
    bool send(std::string_view datagram, const char* to = "127.0.0.1") const {
        sockaddr_in target = ipv4(to);
        target.sin_port = htons(kDiscoveryPort);
        return sendto(fd_, datagram.data(), datagram.size(), 0,
                      reinterpret_cast<const sockaddr*>(&target),
                      sizeof target) == static_cast<ssize_t>(datagram.size());
    }
    // The next datagram within `limit`, with its sender's port.
    std::optional<std::pair<std::string, std::uint16_t>>
    receive(std::chrono::milliseconds limit = 2s) const {
        pollfd wanted{fd_, POLLIN, 0};
        if (poll(&wanted, 1, static_cast<int>(limit.count())) <= 0)
            return std::nullopt;
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n =
            recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0)
            return std::nullopt;
        return std::pair{std::string(buffer, static_cast<std::size_t>(n)), ntohs(sender.sin_port)};
    }

private:
    int fd_ = -1;
};

json discover(const std::string& nonce) {
    return {{"type", "zephlink.discover"}, {"v", 1}, {"nonce", nonce}};
}

using Responder = HostTest;

} // namespace

TEST_F(Responder, RepliesToTheSendersPortWithItsIdentity) {
    ASSERT_TRUE(host->responderRunning());
    Datagrams client;
    ASSERT_TRUE(client.ready());
    const std::string nonce = identifier();
    ASSERT_TRUE(client.send(discover(nonce).dump()));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->second, kDiscoveryPort) << "sent from the responder's own port";
    const json answer = json::parse(reply->first);
    EXPECT_EQ(answer, (json{{"type", "zephlink.here"},
                            {"v", 1},
                            {"nonce", nonce},
                            {"hostId", host->hostId()},
                            {"name", "Test host"},
                            {"port", 8788}}));
    EXPECT_EQ(replyHostId(reply->first, nonce), host->hostId());
}

TEST_F(Responder, StaysSilentForMalformedOrForeignDatagrams) {
    Datagrams client;
    std::string exact = discover(identifier()).dump();
    exact.insert(1, 1024 - exact.size(), ' ');
    std::string tooLong = exact;
    tooLong.insert(1, 1, ' ');
    const struct {
        const char* why;
        std::string datagram;
    } ignored[] = {
        {"version as text",
         R"({"type":"zephlink.discover","v":"1","nonce":")" + identifier() + "\"}"},
        {"upper-case nonce", discover("ABCDEF0123456789ABCDEF0123456789").dump()},
        {"31-digit nonce", discover(identifier().substr(1)).dump()},
        {"a reply", json{{"type", "zephlink.here"}, {"v", 1}, {"nonce", identifier()}}.dump()},
        {"an array", "[1,2,3]"},
        {"not JSON", "hello"},
        {"1025 bytes", tooLong},
        {"a single byte", "{"},
    };
    // Each ignored datagram is followed by a good one; the first reply must
    // belong to the good one, so nothing answered the bad one.
    for (const auto& c : ignored) {
        ASSERT_TRUE(client.send(c.datagram)) << c.why;
        const std::string probe = identifier();
        ASSERT_TRUE(client.send(discover(probe).dump()));
        const auto reply = client.receive();
        ASSERT_TRUE(reply) << c.why;
        EXPECT_EQ(json::parse(reply->first)["nonce"], probe) << c.why;
    }
    ASSERT_TRUE(client.send(exact));
    EXPECT_TRUE(client.receive()) << "1024 bytes are still a request";
    EXPECT_FALSE(client.receive(300ms)) << "exactly one reply per request";
}

TEST_F(Responder, IgnoresSendersOutsidePrivateNetworks) {
    ASSERT_TRUE(addLoopbackAddress("203.0.113.9", 1));
    ASSERT_TRUE(addLoopbackAddress("169.254.3.3", 2));
    Datagrams outsider("203.0.113.9");
    Datagrams linkLocal("169.254.3.3");
    ASSERT_TRUE(outsider.ready());
    ASSERT_TRUE(linkLocal.ready());
    ASSERT_TRUE(outsider.send(discover(identifier()).dump(), "203.0.113.9"));
    ASSERT_TRUE(linkLocal.send(discover(identifier()).dump(), "169.254.3.3"));
    EXPECT_TRUE(linkLocal.receive()) << "link-local senders are private";
    EXPECT_FALSE(outsider.receive(500ms));
}

TEST_F(Responder, AnswersTheMulticastGroup) {
    Datagrams client;
    const std::string nonce = identifier();
    ASSERT_TRUE(client.send(discover(nonce).dump(), std::string(kDiscoveryGroup).c_str()));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(json::parse(reply->first)["nonce"], nonce);
}

TEST_F(Responder, AnswersEveryRequestWithoutDeduplication) {
    Datagrams client;
    const std::string datagram = discover(identifier()).dump();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(client.send(datagram));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(client.receive()) << i;
}
