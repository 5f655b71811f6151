// The discovery client: its cycles with the exchange and the requests played
// by the test, and the exchange on real sockets. The device's own host is
// real, so every case runs in the test process's own network namespace.
#include "addresses.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "errors.h"
#include "local_discovery.h"
#include "netns.h"
#include "socket.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>

using namespace zephlink;
using namespace zephlink::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kLoopbackHost = "http://127.0.0.1:8788";
const std::string kSession = "/v1/local-session";

std::string hostNumber(int n) {
    char text[33];
    std::snprintf(text, sizeof text, "%032x", n);
    return text;
}

std::string lan(int n) {
    return "http://10.0.0." + std::to_string(n) + ":8788";
}

json sessionAnswer(const std::string& hostId) {
    return {{"v", 1},
            {"mode", "trusted-lan"},
            {"hostId", hostId},
            {"name", "Desk"},
            {"room", identifier()},
            {"token", encode64(random(32))},
            {"key", encode64(random(32))},
            {"devices", json::array()}};
}

[[noreturn]] std::string unreachable() {
    throw DazarError("Relay unavailable. Check network and server.");
}

// No test may reach an mDNS responder on the machine's own system bus.
void cutOffSystemBus() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zephlink-test-bus", 1);
}

struct Delivery {
    std::optional<LocalSession> session;
    std::optional<std::string> server;
};

// Publishing and withdrawing happen on the thread of start() and stop().
struct FakeAdvertiser : Advertiser {
    struct Published {
        ServiceRecord service;
        bool withdrawn = false;
    };
    std::vector<std::shared_ptr<Published>> published;

    std::unique_ptr<Advertisement> publish(const ServiceRecord& service) override {
        struct Handle : Advertisement {
            std::shared_ptr<Published> record;
            explicit Handle(std::shared_ptr<Published> r) : record(std::move(r)) {}
            ~Handle() override { withdraw(); }
            void withdraw() override { record->withdrawn = true; }
        };
        published.push_back(std::make_shared<Published>(Published{service}));
        return std::make_unique<Handle>(published.back());
    }
};

struct Call {
    std::string server;
    std::string path;
    std::string method;
    std::optional<std::string> body;
    double timeout = 0;
    bool hasToken = false;
    bool operator==(const Call&) const = default;
};

// Holds a request in flight for at most five seconds.
struct Gate {
    std::promise<void> entered;
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<bool> passed{false};

    void pass() {
        entered.set_value();
        (void)opened.wait_for(5s);
        passed = true;
    }
};

class Cycles : public ::testing::Test {
protected:
    const std::string device = hostNumber(0xd0);
    // The test's own main thread: posted jobs wait until the test runs them.
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> jobs;
    std::vector<Delivery> deliveries; // touched on the main thread only
    // The clip-server requests are answered by server and path; one without
    // an answer fails as an unreachable server does.
    std::map<std::string, std::function<std::string()>> answers;
    std::vector<Call> calls; // under the mutex
    std::shared_ptr<FakeAdvertiser> advertiser = std::make_shared<FakeAdvertiser>();
    // What exchange number k finds, and the wall clock it sets.
    std::function<HostAddresses(int)> found = [](int) { return HostAddresses{}; };
    std::function<std::int64_t(int)> clockAt = [](int) { return 1'000'000; };
    std::atomic<int> exchanges{0};
    std::atomic<std::int64_t> now{1'000'000};
    std::unique_ptr<LocalDiscovery> discovery;

    void SetUp() override { cutOffSystemBus(); }
    void TearDown() override { discovery.reset(); }

    void answer(const std::string& server, const std::string& path, const json& body) {
        answers[server + path] = [text = body.dump()] { return text; };
    }
    LocalDiscovery& make(std::chrono::milliseconds interval = 4s,
                         const std::string& name = "Desk") {
        LocalDiscovery::Options options;
        options.clock = [this] { return now.load(); };
        options.interval = interval;
        options.advertiser = advertiser;
        options.discover = [this] {
            const int k = exchanges++;
            now = clockAt(k);
            return found(k);
        };
        options.request = [this](std::string_view server, std::string_view path,
                                 std::optional<std::string> token, std::string_view method,
                                 std::optional<std::string> body, double timeout) {
            const auto known = answers.find(std::string(server) + std::string(path));
            {
                const std::lock_guard lock(mutex);
                calls.push_back({std::string(server), std::string(path), std::string(method),
                                 std::move(body), timeout, token.has_value()});
            }
            return known != answers.end() ? known->second() : unreachable();
        };
        discovery = std::make_unique<LocalDiscovery>(
            device, name,
            [this](std::optional<LocalSession> session, std::optional<std::string> server) {
                deliveries.push_back({std::move(session), std::move(server)});
            },
            [this](std::function<void()> job) {
                const std::lock_guard lock(mutex);
                jobs.push_back(std::move(job));
                posted.notify_all();
            },
            options);
        return *discovery;
    }
    // Runs the main thread's jobs as they come until `count` deliveries
    // arrived or `limit` passed.
    bool delivered(std::size_t count, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (deliveries.size() < count) {
            std::unique_lock lock(mutex);
            if (!posted.wait_until(lock, deadline, [&] { return !jobs.empty(); }))
                return false;
            auto job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
        }
        return true;
    }
    void runFor(std::chrono::milliseconds period) { (void)delivered(SIZE_MAX, period); }
    // The servers asked for a session, in order.
    std::vector<std::string> sessionServers() {
        const std::lock_guard lock(mutex);
        std::vector<std::string> servers;
        for (const Call& call : calls) {
            if (call.path == kSession)
                servers.push_back(call.server);
        }
        return servers;
    }
    void reset() {
        discovery.reset();
        answers.clear();
        calls.clear();
        deliveries.clear();
    }
};

} // namespace

TEST_F(Cycles, AsksTheLowerIdentifierFirstAndTheOtherOnlyWhenItFails) {
    found = [](int) { return HostAddresses{{hostNumber(2), lan(2)}, {hostNumber(1), lan(1)}}; };
    const auto text = [](const json& answer) { return [t = answer.dump()] { return t; }; };
    const json sound = sessionAnswer(hostNumber(1));
    json shortToken = sessionAnswer(hostNumber(1));
    shortToken["token"] = encode64(random(31));
    const json second = sessionAnswer(hostNumber(2));
    const struct {
        const char* why;
        std::function<std::string()> first;
        bool firstChosen = false;
    } cases[] = {
        {"not JSON", [] { return std::string("<html>"); }},
        {"a sound session", text(sound), true},
        {"unreachable", [] { return unreachable(); }},
        {"a session of another host", text(sessionAnswer(hostNumber(3)))},
        {"a token of 31 bytes", text(shortToken)},
    };
    const std::string request =
        json{{"device", device}, {"name", "Desk"}, {"platform", "mac"}}.dump();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        reset();
        answers[lan(1) + kSession] = c.first;
        answer(lan(2), kSession, second);
        make().start();
        ASSERT_TRUE(delivered(1));
        ASSERT_TRUE(deliveries[0].session);
        EXPECT_EQ(deliveries[0].server, lan(c.firstChosen ? 1 : 2));
        EXPECT_EQ(deliveries[0].session->room, (c.firstChosen ? sound : second)["room"]);
        ASSERT_EQ(calls.size(), c.firstChosen ? 2u : 3u);
        EXPECT_EQ(calls[0], (Call{kLoopbackHost, "/health", "GET", std::nullopt, 1.0}));
        EXPECT_EQ(calls[1], (Call{lan(1), kSession, "POST", request, 1.5}));
        if (!c.firstChosen) {
            EXPECT_EQ(calls[2], (Call{lan(2), kSession, "POST", request, 1.5}));
        }
    }
}

TEST_F(Cycles, RemembersAHostThirteenSecondsAfterItsLastAnswer) {
    found = [](int k) { return k == 0 ? HostAddresses{{hostNumber(1), lan(1)}} : HostAddresses{}; };
    clockAt = [](int k) { return 1'000'000 + (k == 0 ? 0 : k == 1 ? 13000 : 14000); };
    answer(lan(1), kSession, sessionAnswer(hostNumber(1)));
    make(20ms).start();
    ASSERT_TRUE(delivered(3));
    EXPECT_TRUE(deliveries[0].session);
    EXPECT_TRUE(deliveries[1].session) << "13 seconds after its answer";
    EXPECT_FALSE(deliveries[2].session || deliveries[2].server) << "14 seconds after its answer";
}

TEST_F(Cycles, ReachesTheHostOnThisMachineOverLoopbackWhenItTakesDevices) {
    const std::string id = hostNumber(5);
    const struct {
        const char* why;
        HostAddresses announced;
        bool autoJoin;
        std::string server;
    } cases[] = {
        {"announced on the LAN too", {{id, lan(5)}}, true, kLoopbackHost},
        {"not announced at all", {}, true, kLoopbackHost},
        {"a probe without autoJoin", {{id, lan(5)}}, false, lan(5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        reset();
        found = [announced = c.announced](int) { return announced; };
        answer(kLoopbackHost, "/health",
               {{"ok", true}, {"protocol", 1}, {"autoJoin", c.autoJoin}, {"hostId", id}});
        answer(kLoopbackHost, kSession, sessionAnswer(id));
        answer(lan(5), kSession, sessionAnswer(id));
        make().start();
        ASSERT_TRUE(delivered(1));
        EXPECT_EQ(deliveries[0].server, c.server);
        EXPECT_EQ(sessionServers(), std::vector<std::string>{c.server});
    }
}

TEST_F(Cycles, AsksAtMostSixteenOfTwentyHosts) {
    HostAddresses twenty;
    std::vector<std::string> expected;
    for (int n = 1; n <= 20; ++n) {
        twenty[hostNumber(n)] = lan(n);
        if (n <= 16)
            expected.push_back(lan(n));
    }
    found = [twenty](int) { return twenty; };
    make().start();
    ASSERT_TRUE(delivered(1));
    EXPECT_FALSE(deliveries[0].session);
    EXPECT_EQ(sessionServers(), expected);
}

TEST_F(Cycles, StopThenStartAtOnceDropsTheCycleCaughtMidRequest) {
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    Gate gate;
    std::atomic<int> asked{0};
    answers[lan(1) + kSession] = [&] {
        if (asked++ != 0)
            return unreachable();
        gate.pass();
        return sessionAnswer(hostNumber(1)).dump(); // sound, but too late
    };
    make(30ms).start();
    ASSERT_EQ(gate.entered.get_future().wait_for(5s), std::future_status::ready);
    discovery->stop();
    discovery->start();
    EXPECT_FALSE(gate.passed) << "stop and start did not wait for the request";
    gate.open.set_value();
    ASSERT_TRUE(delivered(3));
    for (const Delivery& outcome : deliveries)
        EXPECT_FALSE(outcome.session) << "the first start's session was delivered";
}

TEST_F(Cycles, ACallbackAlreadyPostedDiesWithStopOrDestruction) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destruction" : "stop");
        make(30ms).start();
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(posted.wait_for(lock, 10s, [&] { return !jobs.empty(); }));
        }
        if (destroy)
            discovery.reset(); // the posted job must not touch the object
        else
            discovery->stop();
        runFor(300ms);
        EXPECT_TRUE(deliveries.empty());
        const int exchanged = exchanges.load();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(exchanges.load(), exchanged) << "the chain of cycles ended";
    }
}

TEST_F(Cycles, DestructionWaitsOutARequestAndDeliversNothing) {
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    Gate gate;
    answers[lan(1) + kSession] = [&] {
        gate.pass();
        return sessionAnswer(hostNumber(1)).dump();
    };
    make().start();
    ASSERT_EQ(gate.entered.get_future().wait_for(5s), std::future_status::ready);
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);
        gate.open.set_value();
    });
    discovery.reset();
    opener.join();
    EXPECT_TRUE(gate.passed);
    runFor(100ms);
    EXPECT_TRUE(deliveries.empty());
}

TEST_F(Cycles, AdvertisesItsHostWhileRunningAndWithdrawsItOnStop) {
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += static_cast<char>('a' + i % 26);
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    make(4s, longName).start();
    discovery->start(); // changes nothing
    EXPECT_TRUE(discovery->hosting());
    ASSERT_TRUE(delivered(1));
    runFor(300ms);
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(exchanges.load(), 1) << "one chain of cycles";
    const auto& published = advertiser->published;
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0]->service, hostService(longName.substr(0, 80), device));
    EXPECT_EQ(published[0]->service.name, "Zephlink " + longName.substr(0, 40));
    EXPECT_FALSE(published[0]->withdrawn);
    EXPECT_EQ(json::parse(calls.back().body.value_or(""))["name"], longName.substr(0, 80));

    discovery->stop();
    EXPECT_FALSE(discovery->hosting());
    EXPECT_TRUE(published[0]->withdrawn);
    EXPECT_TRUE(bindableWithin(SOCK_STREAM, 8788, 1s));
    EXPECT_TRUE(bindableWithin(SOCK_DGRAM, 8789, 1s));
    discovery->start();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_FALSE(published[1]->withdrawn);
    discovery.reset();
    EXPECT_TRUE(published[1]->withdrawn);
}

TEST_F(Cycles, WithoutItsPortTheDeviceIsAPureClient) {
    const auto other = LocalHost::create(hostNumber(9), "Other");
    ASSERT_TRUE(other->start());
    make().start();
    EXPECT_FALSE(discovery->hosting());
    EXPECT_TRUE(advertiser->published.empty()) << "nothing to advertise";
    EXPECT_TRUE(delivered(1)) << "discovery runs all the same";
    other->stop();
    EXPECT_TRUE(other->waitUntilFinished(5s));
}

namespace {

struct Reply {
    std::string source;
    std::string datagram;
};

// Runs one exchange while playing the hosts: each request that reaches port
// 8789, directly or through the group, is answered with script(nonce), every
// reply sent from the address it names. Returns what the exchange found and
// how many requests arrived.
std::pair<HostAddresses, int>
exchange(const std::function<std::vector<Reply>(const std::string&)>& script) {
    const Socket hosts = ipv4Socket(SOCK_DGRAM);
    const sockaddr_in port = address("0.0.0.0", kDiscoveryPort);
    const ip_mreq group{address(kDiscoveryGroup, 0).sin_addr, address("0.0.0.0", 0).sin_addr};
    EXPECT_TRUE(setFlag(hosts.fd(), SOL_SOCKET, SO_REUSEADDR) &&
                bind(hosts.fd(), reinterpret_cast<const sockaddr*>(&port), sizeof port) == 0 &&
                setsockopt(hosts.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) == 0);
    std::map<std::string, Socket> senders;
    int requests = 0;
    auto found = std::async(std::launch::async, [] { return discover(); });
    while (found.wait_for(0s) != std::future_status::ready) {
        pollfd wanted{hosts.fd(), POLLIN, 0};
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (poll(&wanted, 1, 50) <= 0)
            continue;
        const ssize_t n = recvfrom(hosts.fd(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        const auto nonce =
            requestNonce(std::string_view(buffer, n > 0 ? static_cast<std::size_t>(n) : 0));
        requests += nonce ? 1 : 0;
        for (const Reply& reply : nonce ? script(*nonce) : std::vector<Reply>{}) {
            Socket& sender = senders[reply.source];
            const sockaddr_in at = address(reply.source, 0);
            if (!sender.valid()) {
                sender = ipv4Socket(SOCK_DGRAM);
                EXPECT_EQ(bind(sender.fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
            }
            sendto(sender.fd(), reply.datagram.data(), reply.datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&from), length);
        }
    }
    return {found.get(), requests};
}

json here(const std::string& nonce, const std::string& hostId) {
    return {{"type", "zephlink.here"}, {"v", 1},         {"nonce", nonce},
            {"hostId", hostId},        {"name", "Desk"}, {"port", 8788}};
}

std::string with(json reply, const char* member, const json& value) {
    reply.merge_patch({{member, value}});
    return reply.dump();
}

std::string padded(const json& reply, std::size_t bytes) {
    std::string text = reply.dump();
    return text.insert(1, bytes - text.size(), ' ');
}

} // namespace

TEST(Exchange, KeepsOnlyRepliesToThisRequestFromPrivateAddresses) {
    cutOffSystemBus();
    ASSERT_TRUE(addLoopbackAddress("10.9.0.1", 1));
    ASSERT_TRUE(addLoopbackAddress("10.9.0.2", 2));
    ASSERT_TRUE(addLoopbackAddress("203.0.113.7", 3));
    std::string earlier;
    const auto script = [&](const std::string& nonce) {
        if (earlier.empty())
            earlier = nonce;
        return std::vector<Reply>{
            {"127.0.0.1", here(nonce, hostNumber(1)).dump()},
            {"10.9.0.1", here(nonce, hostNumber(1)).dump()}, // the latest address counts
            {"10.9.0.2", with(here(nonce, hostNumber(2)), "name", nullptr)},
            {"203.0.113.7", here(nonce, hostNumber(3)).dump()}, // a public sender
            {"127.0.0.1", with(here(nonce, hostNumber(4)), "port", 8789)},
            {"127.0.0.1", here(identifier(), hostNumber(6)).dump()},
            {"127.0.0.1", here(earlier, hostNumber(7)).dump()}, // stale in the second exchange
            {"127.0.0.1", with(here(nonce, hostNumber(8)), "v", "1")},
            {"127.0.0.1", padded(here(nonce, hostNumber(10)), 1024)},
            {"127.0.0.1", padded(here(nonce, hostNumber(11)), 1025)},
            {"127.0.0.1", here(nonce, "ABCDEF0123456789ABCDEF0123456789").dump()},
        };
    };
    const HostAddresses expected{{hostNumber(1), "http://10.9.0.1:8788"},
                                 {hostNumber(2), "http://10.9.0.2:8788"},
                                 {hostNumber(10), "http://127.0.0.1:8788"}};
    auto [first, requests] = exchange(script);
    EXPECT_GE(requests, 2) << "sent to loopback and to the discovery group";
    EXPECT_EQ(first.erase(hostNumber(7)), 1u) << "the exchange's own nonce";
    EXPECT_EQ(first, expected);
    EXPECT_EQ(exchange(script).first, expected) << "an earlier exchange's nonce";
}

TEST(Exchange, HearsAtMostSixtyFourHosts) {
    cutOffSystemBus();
    const auto found = exchange([](const std::string& nonce) {
        std::vector<Reply> replies;
        for (int n = 1; n <= 70; ++n)
            replies.push_back({"127.0.0.1", here(nonce, hostNumber(n)).dump()});
        return replies;
    });
    EXPECT_EQ(found.first.size(), 64u);
}

TEST(Avahi, WithoutASystemBusTheAdvertisementIsSilentlyAbsent) {
    cutOffSystemBus();
    EXPECT_EQ(avahiAdvertiser()->publish(hostService("Desk", hostNumber(1))), nullptr);
}
