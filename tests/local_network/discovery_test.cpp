#include "addresses.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "errors.h"
#include "local_discovery.h"
#include "local_host.h"
#include "netns.h"
#include "socket.h"

#include <condition_variable>
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
// Without a system bus, Avahi is silently absent.
const int kNoBus = ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zephlink-bus", 1);

std::string hostNumber(int n) {
    char text[33];
    std::snprintf(text, sizeof text, "%032x", n);
    return text;
}

std::string lan(int n) {
    return "http://10.0.0." + std::to_string(n) + ":8788";
}

std::string sessionAnswer(const std::string& hostId) {
    const json answer = {{"v", 1},
                         {"mode", "trusted-lan"},
                         {"hostId", hostId},
                         {"name", "Desk"},
                         {"room", identifier()},
                         {"token", encode64(random(32))},
                         {"key", encode64(random(32))},
                         {"devices", json::array()}};
    return answer.dump();
}

[[noreturn]] std::string unreachable() {
    throw DazarError("Relay unavailable. Check network and server.");
}

struct FakeAdvertiser : Advertiser {
    std::vector<std::shared_ptr<std::pair<ServiceRecord, bool>>> published; // record, withdrawn
    std::unique_ptr<Advertisement> publish(const ServiceRecord& service) override {
        struct Handle : Advertisement {
            std::shared_ptr<std::pair<ServiceRecord, bool>> record;
            ~Handle() override { withdraw(); }
            void withdraw() override { record->second = true; }
        };
        published.push_back(std::make_shared<std::pair<ServiceRecord, bool>>(service, false));
        auto handle = std::make_unique<Handle>();
        handle->record = published.back();
        return handle;
    }
};

class Cycles : public ::testing::Test {
protected:
    // The test's thread is the main thread: posted jobs wait until it runs them.
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> jobs;
    std::vector<std::pair<std::optional<LocalSession>, std::optional<std::string>>> deliveries;
    // Answers by server and path; a request without one fails as unreachable.
    std::map<std::string, std::function<std::string()>> answers;
    std::vector<std::string> calls; // "server path body timeout", under the mutex
    std::shared_ptr<FakeAdvertiser> advertiser = std::make_shared<FakeAdvertiser>();
    HostAddresses found;
    std::atomic<int> exchanges{0};
    std::unique_ptr<LocalDiscovery> discovery;

    void make(std::chrono::milliseconds interval = 4s, const std::string& name = "Desk") {
        LocalDiscovery::Options options;
        options.interval = interval;
        options.advertiser = advertiser;
        options.discover = [this] {
            ++exchanges;
            return found;
        };
        options.request = [this](std::string_view server, std::string_view path,
                                 std::optional<std::string>, std::string_view method,
                                 std::optional<std::string> body, double timeout) {
            const auto known = answers.find(std::string(server) + std::string(path));
            {
                const std::lock_guard lock(mutex);
                calls.push_back(std::string(method) + " " + std::string(server) +
                                std::string(path) + " " + body.value_or("") + " " +
                                std::to_string(timeout).substr(0, 3));
            }
            return known != answers.end() ? known->second() : unreachable();
        };
        discovery = std::make_unique<LocalDiscovery>(
            hostNumber(0xd0), name,
            [this](auto session, auto server) { deliveries.emplace_back(session, server); },
            [this](std::function<void()> job) {
                const std::lock_guard lock(mutex);
                jobs.push_back(std::move(job));
                posted.notify_all();
            },
            options);
        discovery->start();
    }
    // Runs the main thread's jobs until `count` deliveries arrived or `limit` passed.
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
    void reset() {
        discovery.reset();
        answers.clear();
        calls.clear();
        deliveries.clear();
        exchanges = 0;
    }
    void answer(const std::string& at, std::string text) {
        answers[at] = [text] { return text; };
    }
};

} // namespace

TEST_F(Cycles, AskTheRightHostsInTheRightOrderAndDropStaleCycles) {
    found = {{hostNumber(2), lan(2)}, {hostNumber(1), lan(1)}};
    const std::string sound = sessionAnswer(hostNumber(1)), second = sessionAnswer(hostNumber(2));
    const std::string body =
        json{{"device", hostNumber(0xd0)}, {"name", "Desk"}, {"platform", "mac"}}.dump();
    for (const auto& [first, chosen] : std::vector<std::pair<std::function<std::string()>, bool>>{
             {[&] { return sound; }, true},
             {unreachable, false},
             {[] { return sessionAnswer(hostNumber(3)); }, false}}) {
        reset();
        answers[lan(1) + kSession] = first;
        answer(lan(2) + kSession, second);
        make();
        ASSERT_TRUE(delivered(1));
        EXPECT_EQ(deliveries[0].second, lan(chosen ? 1 : 2));
        EXPECT_EQ(deliveries[0].first.value().room, json::parse(chosen ? sound : second)["room"]);
        std::vector<std::string> expected = {"GET " + kLoopbackHost + "/health  1.0",
                                             "POST " + lan(1) + kSession + " " + body + " 1.5"};
        if (!chosen)
            expected.push_back("POST " + lan(2) + kSession + " " + body + " 1.5");
        EXPECT_EQ(calls, expected);
    }
    found.clear();
    for (int n = 1; n <= 20; ++n)
        found[hostNumber(n)] = lan(n);
    reset();
    make();
    ASSERT_TRUE(delivered(1));
    EXPECT_FALSE(deliveries[0].first);
    EXPECT_EQ(calls.size(), 1u + 16u) << "at most sixteen hosts are asked";

    // The host on this machine is reached over loopback when it takes devices.
    const std::string id = hostNumber(5);
    for (const auto& [announced, autoJoin, server] :
         {std::tuple{HostAddresses{{id, lan(5)}}, true, kLoopbackHost},
          {HostAddresses{}, true, kLoopbackHost},
          {HostAddresses{{id, lan(5)}}, false, lan(5)}}) {
        reset();
        found = announced;
        answer(kLoopbackHost + "/health",
               json{{"ok", true}, {"protocol", 1}, {"autoJoin", autoJoin}, {"hostId", id}}.dump());
        answer(kLoopbackHost + kSession, sessionAnswer(id));
        answer(lan(5) + kSession, sessionAnswer(id));
        make();
        ASSERT_TRUE(delivered(1));
        EXPECT_EQ(deliveries[0].second, server);
        EXPECT_EQ(calls.size(), 2u) << "one session request";
    }

    // A cycle caught mid-request by stop and start delivers nothing.
    reset();
    found = {{hostNumber(1), lan(1)}};
    std::promise<void> entered, open;
    std::atomic<int> asked{0};
    answers[lan(1) + kSession] = [&, opened = open.get_future().share()] {
        if (asked++ != 0)
            return unreachable();
        entered.set_value();
        (void)opened.wait_for(5s);
        return sessionAnswer(hostNumber(1));
    };
    make(30ms);
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    discovery->stop();
    discovery->start();
    open.set_value();
    ASSERT_TRUE(delivered(3));
    for (const auto& [session, server] : deliveries)
        EXPECT_FALSE(session) << "the first start's session was delivered";
    for (const bool destroy : {false, true}) {
        reset();
        make(30ms);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(posted.wait_for(lock, 10s, [&] { return !jobs.empty(); }));
        }
        destroy ? discovery.reset() : discovery->stop(); // the posted job must not deliver
        (void)delivered(1, 300ms);
        EXPECT_TRUE(deliveries.empty()) << destroy;
        const int exchanged = exchanges.load();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(exchanges.load(), exchanged) << "the chain of cycles ended";
    }
}

TEST_F(Cycles, AdvertiseTheirHostWhileRunningOrArePureClientsWithoutItsPort) {
    const auto other = LocalHost::create(hostNumber(9), "Other");
    ASSERT_TRUE(other->start());
    make();
    EXPECT_FALSE(discovery->hosting());
    EXPECT_TRUE(advertiser->published.empty());
    EXPECT_TRUE(delivered(1)) << "discovery runs all the same";
    other->stop();
    ASSERT_TRUE(other->waitUntilFinished(5s));

    reset();
    const std::string longName(100, 'n');
    found = {{hostNumber(1), lan(1)}};
    make(4s, longName);
    discovery->start(); // changes nothing
    EXPECT_TRUE(discovery->hosting());
    ASSERT_TRUE(delivered(1));
    (void)delivered(2, 300ms);
    EXPECT_EQ(exchanges.load(), 1) << "one chain of cycles";
    ASSERT_EQ(advertiser->published.size(), 1u);
    EXPECT_EQ(advertiser->published[0]->first, hostService(std::string(80, 'n'), hostNumber(0xd0)));
    EXPECT_FALSE(advertiser->published[0]->second);
    EXPECT_NE(calls.back().find("\"name\":\"" + std::string(80, 'n') + "\""), std::string::npos);
    discovery.reset();
    EXPECT_TRUE(advertiser->published[0]->second) << "withdrawn";
}

TEST(Exchange, KeepsOnlyRepliesToThisRequestFromPrivateAddressesAndAtMost64) {
    EXPECT_EQ(avahiAdvertiser()->publish(hostService("Desk", hostNumber(1))), nullptr)
        << "without a system bus the advertisement is silently absent";
    for (const char* address : {"10.9.0.1", "10.9.0.2", "203.0.113.7"})
        ASSERT_TRUE(addLoopbackAddress(address));
    // Plays the hosts for one exchange: each request is answered with
    // script(nonce), every reply sent from the address it names.
    const auto exchange = [](const auto& script) {
        const Socket hosts = ipv4Socket(SOCK_DGRAM);
        const sockaddr_in port = address("0.0.0.0", kDiscoveryPort);
        const ip_mreq group{address(kDiscoveryGroup, 0).sin_addr, address("0.0.0.0", 0).sin_addr};
        EXPECT_TRUE(setFlag(hosts.fd(), SOL_SOCKET, SO_REUSEADDR) &&
                    bind(hosts.fd(), reinterpret_cast<const sockaddr*>(&port), sizeof port) == 0 &&
                    setsockopt(hosts.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) ==
                        0);
        std::map<std::string, Socket> senders;
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
            const auto nonce = requestNonce(
                std::string_view(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0))));
            for (const auto& [source, datagram] : nonce ? script(*nonce) : decltype(script(""))()) {
                Socket& sender = senders[source];
                const sockaddr_in at = address(source, 0);
                if (!sender.valid()) {
                    sender = ipv4Socket(SOCK_DGRAM);
                    bind(sender.fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at);
                }
                sendto(sender.fd(), datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&from), length);
            }
        }
        return found.get();
    };
    const auto here = [](const std::string& nonce, int host, json patch = json::object()) {
        json reply = {{"type", "zephlink.here"},    {"v", 1},         {"nonce", nonce},
                      {"hostId", hostNumber(host)}, {"name", "Desk"}, {"port", 8788}};
        reply.merge_patch(patch);
        return reply.dump();
    };
    const auto padded = [](std::string text, std::size_t bytes) {
        return text.insert(1, bytes - text.size(), ' ');
    };
    std::string earlier;
    const auto script = [&](const std::string& nonce) {
        if (earlier.empty())
            earlier = nonce;
        return std::vector<std::pair<std::string, std::string>>{
            {"127.0.0.1", here(nonce, 1)},
            {"10.9.0.1", here(nonce, 1)}, // the latest address counts
            {"10.9.0.2", here(nonce, 2, {{"name", nullptr}})},
            {"203.0.113.7", here(nonce, 3)},
            {"127.0.0.1", here(nonce, 4, {{"port", 8789}})},
            {"127.0.0.1", here(identifier(), 6)},
            {"127.0.0.1", here(earlier, 7)}, // stale in the second exchange
            {"127.0.0.1", here(nonce, 8, {{"v", "1"}})},
            {"127.0.0.1", padded(here(nonce, 10), 1024)},
            {"127.0.0.1", padded(here(nonce, 11), 1025)},
            {"127.0.0.1", here(nonce, 12, {{"hostId", "ABCDEF0123456789ABCDEF0123456789"}})},
        };
    };
    const HostAddresses expected{{hostNumber(1), "http://10.9.0.1:8788"},
                                 {hostNumber(2), "http://10.9.0.2:8788"},
                                 {hostNumber(10), "http://127.0.0.1:8788"}};
    HostAddresses first = exchange(script);
    EXPECT_EQ(first.erase(hostNumber(7)), 1u) << "the exchange's own nonce";
    EXPECT_EQ(first, expected);
    EXPECT_EQ(exchange(script), expected) << "an earlier exchange's nonce";
    const auto seventy = exchange([&](const std::string& nonce) {
        std::vector<std::pair<std::string, std::string>> replies;
        for (int n = 1; n <= 70; ++n)
            replies.emplace_back("127.0.0.1", here(nonce, n));
        return replies;
    });
    EXPECT_EQ(seventy.size(), 64u);
}
