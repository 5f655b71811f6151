// The discovery cycle with the datagram exchange and the requests played by
// the test. The device's own host is real, so every case runs in the test
// process's own network namespace.
#include "characters.h"
#include "discovery_fakes.h"
#include "netns.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kLoopbackHost = "http://127.0.0.1:8788";

std::string lan(int n) {
    return "http://10.0.0." + std::to_string(n) + ":8788";
}

// Opens a gate after at most five seconds, so that a forgotten gate cannot
// hang a test.
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
    TestMainThread mainThread;
    Deliveries deliveries;
    FakeServers servers;
    std::shared_ptr<FakeAdvertiser> advertiser = std::make_shared<FakeAdvertiser>();
    // What the exchange number k finds, and the wall clock it sets.
    std::function<HostAddresses(int)> found = [](int) { return HostAddresses{}; };
    std::function<std::int64_t(int)> clockAt = [](int) { return 1'000'000; };
    std::atomic<int> exchanges{0};
    std::atomic<std::int64_t> now{1'000'000};
    std::unique_ptr<LocalDiscovery> discovery;

    void SetUp() override { cutOffSystemBus(); }
    void TearDown() override { discovery.reset(); }

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
        options.request = servers.request();
        discovery = std::make_unique<LocalDiscovery>(device, name, deliveries.callback(),
                                                     mainThread.executor(), options);
        return *discovery;
    }

    bool delivered(std::size_t count, std::chrono::milliseconds limit = 10s) {
        return mainThread.runUntil([&] { return deliveries.all.size() >= count; }, limit);
    }
};

} // namespace

TEST_F(Cycles, AsksTheLowerIdentifierFirstAndStopsAtItsSoundSession) {
    found = [](int) { return HostAddresses{{hostNumber(2), lan(2)}, {hostNumber(1), lan(1)}}; };
    const json first = sessionAnswer(hostNumber(1));
    servers.session(lan(1), first);
    servers.session(lan(2), sessionAnswer(hostNumber(2)));
    make().start();
    ASSERT_TRUE(delivered(1));
    const Delivery& outcome = deliveries.all[0];
    ASSERT_TRUE(outcome.session);
    EXPECT_EQ(outcome.session->hostId, hostNumber(1));
    EXPECT_EQ(outcome.session->room, first["room"]);
    EXPECT_EQ(outcome.server, lan(1));
    EXPECT_EQ(servers.sessionServers(), std::vector<std::string>{lan(1)});

    const auto calls = servers.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].server, kLoopbackHost) << "the probe comes first";
    EXPECT_EQ(calls[0].path, "/health");
    EXPECT_EQ(calls[0].method, "GET");
    EXPECT_EQ(calls[0].timeout, 1.0);
    EXPECT_FALSE(calls[0].body);
    EXPECT_EQ(calls[1].method, "POST");
    EXPECT_EQ(calls[1].timeout, 1.5);
    EXPECT_FALSE(calls[1].hasToken);
    ASSERT_TRUE(calls[1].body);
    EXPECT_EQ(json::parse(*calls[1].body),
              (json{{"device", device}, {"name", "Desk"}, {"platform", "mac"}}));
}

TEST_F(Cycles, AsksTheNextHostWhenTheFirstDoesNotGiveASoundSession) {
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}, {hostNumber(2), lan(2)}}; };
    json shortToken = sessionAnswer(hostNumber(1));
    shortToken["token"] = encode64(random(31));
    const struct {
        const char* why;
        FakeServers::Handler first;
    } cases[] = {
        {"unreachable",
         [](const Call&) -> std::string {
             throw DazarError("Relay unavailable. Check network and server.");
         }},
        {"an error status",
         [](const Call&) -> std::string { throw DazarError("Relay returned HTTP 400"); }},
        {"a session of another host",
         [](const Call&) { return sessionAnswer(hostNumber(3)).dump(); }},
        {"a token of 31 bytes", [&](const Call&) { return shortToken.dump(); }},
        {"not JSON", [](const Call&) { return std::string("<html>"); }},
    };
    const json second = sessionAnswer(hostNumber(2));
    servers.session(lan(2), second);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        servers.on(lan(1), "/v1/local-session", c.first);
        servers.clearCalls();
        deliveries.all.clear();
        make().start();
        ASSERT_TRUE(delivered(1));
        ASSERT_TRUE(deliveries.all[0].session);
        EXPECT_EQ(deliveries.all[0].session->room, second["room"]);
        EXPECT_EQ(deliveries.all[0].server, lan(2));
        EXPECT_EQ(servers.sessionServers(), (std::vector<std::string>{lan(1), lan(2)}));
        discovery.reset();
    }
}

TEST_F(Cycles, RemembersAHostThirteenSecondsAfterItsLastAnswer) {
    found = [](int k) { return k == 0 ? HostAddresses{{hostNumber(1), lan(1)}} : HostAddresses{}; };
    const std::int64_t offsets[] = {0, 13000, 14000};
    clockAt = [&](int k) { return 1'000'000 + offsets[std::min(k, 2)]; };
    servers.session(lan(1), sessionAnswer(hostNumber(1)));
    make(20ms).start();
    ASSERT_TRUE(delivered(3));
    EXPECT_TRUE(deliveries.all[0].session);
    EXPECT_TRUE(deliveries.all[1].session) << "13 seconds after its answer";
    EXPECT_FALSE(deliveries.all[2].session) << "14 seconds after its answer";
    EXPECT_FALSE(deliveries.all[2].server);
}

TEST_F(Cycles, ReachesTheHostOnThisMachineOverLoopback) {
    const std::string id = hostNumber(5);
    found = [&](int) { return HostAddresses{{id, lan(5)}}; };
    servers.health(healthAnswer(id));
    servers.session(kLoopbackHost, sessionAnswer(id));
    servers.session(lan(5), sessionAnswer(id));
    make().start();
    ASSERT_TRUE(delivered(1));
    EXPECT_EQ(deliveries.all[0].server, kLoopbackHost);
    EXPECT_EQ(servers.sessionServers(), std::vector<std::string>{kLoopbackHost});
}

TEST_F(Cycles, AsksAProbedHostThatNoDatagramAnnounced) {
    servers.health(healthAnswer(hostNumber(5)));
    servers.session(kLoopbackHost, sessionAnswer(hostNumber(5)));
    make().start();
    ASSERT_TRUE(delivered(1));
    ASSERT_TRUE(deliveries.all[0].session);
    EXPECT_EQ(deliveries.all[0].session->hostId, hostNumber(5));
    EXPECT_EQ(deliveries.all[0].server, kLoopbackHost);
}

TEST_F(Cycles, KeepsTheLanAddressWhenTheProbeDoesNotInviteDevices) {
    const std::string id = hostNumber(5);
    found = [&](int) { return HostAddresses{{id, lan(5)}}; };
    json closed = healthAnswer(id);
    closed["autoJoin"] = false;
    servers.health(closed);
    servers.session(kLoopbackHost, sessionAnswer(id));
    servers.session(lan(5), sessionAnswer(id));
    make().start();
    ASSERT_TRUE(delivered(1));
    EXPECT_EQ(deliveries.all[0].server, lan(5));
    EXPECT_EQ(servers.sessionServers(), std::vector<std::string>{lan(5)});
}

TEST_F(Cycles, AsksAtMostSixteenHostsPerCycle) {
    found = [](int) {
        HostAddresses hosts;
        for (int n = 1; n <= 20; ++n)
            hosts[hostNumber(n)] = lan(n);
        return hosts;
    };
    make().start();
    ASSERT_TRUE(delivered(1));
    EXPECT_FALSE(deliveries.all[0].session);
    std::vector<std::string> expected;
    for (int n = 1; n <= 16; ++n)
        expected.push_back(lan(n));
    EXPECT_EQ(servers.sessionServers(), expected);
}

TEST_F(Cycles, ReportsNothingFoundOncePerCycle) {
    make(30ms).start();
    ASSERT_TRUE(delivered(4));
    for (const Delivery& outcome : deliveries.all) {
        EXPECT_FALSE(outcome.session);
        EXPECT_FALSE(outcome.server);
    }
    const int seen = exchanges.load();
    EXPECT_GE(seen, 4);
    EXPECT_LE(seen, 5) << "one delivery per exchange, the next cycle possibly under way";
}

TEST_F(Cycles, StopThenStartAtOnceDropsTheCycleCaughtMidRequest) {
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    Gate gate;
    std::atomic<int> asked{0};
    servers.on(lan(1), "/v1/local-session", [&](const Call&) -> std::string {
        if (asked++ == 0) {
            gate.pass();
            return sessionAnswer(hostNumber(1)).dump(); // sound, but too late
        }
        throw DazarError("Relay unavailable. Check network and server.");
    });
    make(30ms).start();
    ASSERT_EQ(gate.entered.get_future().wait_for(5s), std::future_status::ready);
    discovery->stop();
    discovery->start();
    EXPECT_FALSE(gate.passed) << "stop and start did not wait for the request";
    gate.open.set_value();
    ASSERT_TRUE(delivered(3));
    for (const Delivery& outcome : deliveries.all)
        EXPECT_FALSE(outcome.session) << "the first start's session was delivered";
}

TEST_F(Cycles, ACallbackAlreadyPostedDiesWithStop) {
    make().start();
    ASSERT_TRUE(mainThread.waitForJob(10s));
    discovery->stop();
    for (auto& job : mainThread.take())
        job();
    EXPECT_TRUE(deliveries.all.empty());
}

TEST_F(Cycles, ACallbackPostedBeforeDestructionRunsHarmlessly) {
    make().start();
    ASSERT_TRUE(mainThread.waitForJob(10s));
    discovery.reset();
    for (auto& job : mainThread.take())
        job();
    EXPECT_TRUE(deliveries.all.empty());
}

TEST_F(Cycles, NothingArrivesAfterStop) {
    make(30ms).start();
    ASSERT_TRUE(delivered(1));
    discovery->stop();
    const std::size_t before = deliveries.all.size();
    mainThread.runFor(300ms);
    EXPECT_EQ(deliveries.all.size(), before);
    const int exchanged = exchanges.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(exchanges.load(), exchanged) << "the chain of cycles ended";
}

TEST_F(Cycles, ASecondStartChangesNothing) {
    make().start();
    discovery->start();
    ASSERT_TRUE(delivered(1));
    mainThread.runFor(300ms);
    EXPECT_EQ(deliveries.all.size(), 1u);
    EXPECT_EQ(exchanges.load(), 1) << "one chain of cycles";
    EXPECT_EQ(advertiser->published().size(), 1u);
}

TEST_F(Cycles, DestructionWaitsOutARequestAndDeliversNothing) {
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    Gate gate;
    servers.on(lan(1), "/v1/local-session", [&](const Call&) {
        gate.pass();
        return sessionAnswer(hostNumber(1)).dump();
    });
    make().start();
    ASSERT_EQ(gate.entered.get_future().wait_for(5s), std::future_status::ready);
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);
        gate.open.set_value();
    });
    discovery.reset();
    opener.join();
    EXPECT_TRUE(gate.passed);
    mainThread.runFor(100ms);
    EXPECT_TRUE(deliveries.all.empty());
}

TEST_F(Cycles, AdvertisesItsHostWhileRunningAndWithdrawsOnStop) {
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += static_cast<char>('a' + i % 26);
    found = [](int) { return HostAddresses{{hostNumber(1), lan(1)}}; };
    make(4s, longName).start();
    EXPECT_TRUE(discovery->hosting());
    ASSERT_EQ(advertiser->published().size(), 1u);
    const auto first = advertiser->published()[0];
    EXPECT_EQ(first.service, hostService(longName.substr(0, 80), device));
    EXPECT_EQ(first.service.name, "Zephlink " + longName.substr(0, 40));
    EXPECT_FALSE(first.withdrawn);
    ASSERT_TRUE(delivered(1));
    const auto calls = servers.calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back().path, "/v1/local-session");
    ASSERT_TRUE(calls.back().body);
    EXPECT_EQ(json::parse(*calls.back().body)["name"], longName.substr(0, 80));

    discovery->stop();
    EXPECT_FALSE(discovery->hosting());
    EXPECT_TRUE(advertiser->published()[0].withdrawn);
    discovery->start();
    ASSERT_EQ(advertiser->published().size(), 2u);
    EXPECT_FALSE(advertiser->published()[1].withdrawn);
    discovery.reset();
    EXPECT_TRUE(advertiser->published()[1].withdrawn);
}

TEST_F(Cycles, WithoutItsPortTheDeviceIsAPureClient) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in any = ipv4("0.0.0.0");
    any.sin_port = htons(8788);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    make().start();
    EXPECT_FALSE(discovery->hosting());
    EXPECT_TRUE(advertiser->published().empty()) << "nothing to advertise";
    EXPECT_TRUE(delivered(1)) << "discovery runs all the same";
    close(taken);
}

TEST_F(Cycles, StopFreesTheHostsPorts) {
    make().start();
    ASSERT_TRUE(discovery->hosting());
    discovery->stop();
    const auto binds = [](int type) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any = ipv4("0.0.0.0");
        any.sin_port = htons(type == SOCK_STREAM ? 8788 : 8789);
        const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
        close(fd);
        return bound;
    };
    EXPECT_TRUE(binds(SOCK_STREAM));
    // The responder notices within half a second.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!binds(SOCK_DGRAM) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(binds(SOCK_DGRAM));
}
