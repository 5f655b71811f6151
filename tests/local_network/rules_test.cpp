#include "addresses.h"
#include "bonjour.h"
#include "characters.h"
#include "clip_store.h"
#include "discovery_datagram.h"
#include "encoding.h"
#include "errors.h"
#include "http_request.h"
#include "local_discovery.h"
#include "local_session.h"
#include "serial_queue.h"

#include <deque>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zephlink;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(Rules, PrivateAddressesAndCharacters) {
    for (const char* text : {"10.0.0.1", "127.0.0.1", "169.254.1.1", "172.16.0.1", "172.31.255.255",
                             "192.168.0.1", "010.0.0.1"})
        EXPECT_TRUE(privateAddress(text)) << text;
    for (const char* text : {"192.169.0.1", "169.253.1.1", "172.15.0.1", "172.32.0.1", "10.0.0",
                             "10.0.0.1 ", "192.168.1.256", "::ffff:10.0.0.1", "10.0.0.0x1"})
        EXPECT_FALSE(privateAddress(text)) << text;
    const std::pair<std::string, std::size_t> counts[] = {
        {"e\u0301\u0302x", 2},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 2},
        {"\u0E01\u0E33\u0E01\u0E33", 2},
        {"\r\n", 1},
    };
    for (const auto& [text, count] : counts) {
        EXPECT_EQ(characterCount(text), count) << text;
        EXPECT_EQ(characterPrefix(text + "z", count), text) << text;
    }
    EXPECT_TRUE(validUtf8(std::string("Mac\xe2\x80\x99s \xf0\x9f\x94\x90 nul\0", 17)));
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xc3"})
        EXPECT_FALSE(validUtf8(bad)) << bad;
    EXPECT_EQ(characterPrefix("a\xffz", 80), "a\xef\xbf\xbdz");
    std::string euros;
    for (int i = 0; i < 45; ++i)
        euros += "\xE2\x82\xAC";
    EXPECT_EQ(serviceName(std::string(39, 'n') + "\U0001F1E9\U0001F1EAz"),
              "Zephlink " + std::string(39, 'n') + "\U0001F1E9\U0001F1EA");
    EXPECT_EQ(serviceName(euros), "Zephlink " + euros.substr(0, 18 * 3)) << "one DNS label";
    EXPECT_EQ(hostService("Desk", std::string(32, '6')),
              (ServiceRecord{"local.",
                             "_zephlink._tcp.",
                             "Zephlink Desk",
                             8788,
                             {{"v", "1"}, {"hostId", std::string(32, '6')}}}));
    EXPECT_EQ(discoveryReply(std::string(32, 'a'), std::string(32, 'b'), "bad \xff"), std::nullopt);
}

TEST(Rules, ASessionGrantsItsGroupOnlyWhenEveryPartIsSound) {
    const json device = {{"device", std::string(32, 'a')}, {"name", "Laptop"}, {"platform", "mac"}};
    const auto error = [&](const json& patch, const std::string& server) -> std::string {
        json j = {{"v", 1},
                  {"mode", "trusted-lan"},
                  {"hostId", std::string(32, 'b')},
                  {"name", "Desk"},
                  {"room", std::string(32, 'c')},
                  {"token", encode64(random(32))},
                  {"key", encode64(random(32))},
                  {"devices", std::vector<json>(64, device)}};
        j.merge_patch(patch);
        try {
            EXPECT_EQ(j.get<LocalSession>().group(server),
                      (Group{server, j["room"].get<std::string>(), j["token"].get<std::string>(),
                             j["key"].get<std::string>()}));
            return "";
        } catch (const DazarError& e) {
            return e.message();
        } catch (const json::exception&) {
            return "not decoded";
        }
    };
    json longName = device;
    longName["name"] = std::string(81, 'n');
    const std::string nearby = "Invalid nearby host";
    const std::string credentials = "Invalid key or envelope";
    const std::pair<json, std::string> cases[] = {
        {json::object(), ""},
        {{{"mode", "relay"}}, nearby},
        {{{"hostId", std::string(32, 'B')}}, nearby},
        {{{"v", 2}, {"room", "x"}}, nearby},
        {{{"devices", {longName}}}, nearby},
        {{{"devices", std::vector<json>(65, device)}}, nearby},
        {{{"room", "room"}}, "Invalid group"},
        {{{"key", encode64(random(33))}}, credentials},
        {{{"token", encode64(random(31))}}, credentials},
        {{{"v", "1"}}, "not decoded"},
    };
    for (const auto& [patch, message] : cases)
        EXPECT_EQ(error(patch, "http://192.168.1.20:8788"), message) << patch;
    EXPECT_EQ(error(json::object(), "http://8.8.8.8:8788"),
              "Public servers require HTTPS; HTTP is only for a trusted private LAN");
}

TEST(Rules, TheClipStoreKeepsItsEdgesAndStaysBounded) {
    std::int64_t now = 1'800'000'000'000;
    ClipStore store{[&] { return now; }};
    const auto envelope = [&](std::int64_t at, std::size_t bytes = 48) {
        return json(Envelope{1, identifier(), identifier(), at, encode64(random(12)),
                             encode64(random(bytes))});
    };
    const auto seqs = [&](std::int64_t after) {
        std::string text;
        for (const SharedBytes& piece : store.batch(after))
            text += *piece;
        const json answer = json::parse(text);
        std::vector<std::int64_t> out;
        for (const json& clip : answer["clips"])
            out.push_back(clip["seq"]);
        return std::pair{out, answer["reset"].get<bool>()};
    };
    for (const json& patch :
         {json{{"v", 2}}, json{{"id", std::string(32, 'A')}}, json{{"nonce", encode64(random(11))}},
          json{{"ciphertext", encode64(random(15))}}, json{{"createdAt", now - 900001}},
          json{{"createdAt", now + 120001}}, json{{"nonce", nullptr}}}) {
        json j = envelope(now);
        j.merge_patch(patch);
        EXPECT_EQ(store.post(j.dump()).status, 400) << patch;
    }
    for (const json& edge : {envelope(now - 900000), envelope(now + 120000), envelope(now, 16)})
        EXPECT_EQ(store.post(edge.dump()).status, 201) << edge;
    json first = envelope(now);
    ASSERT_EQ(store.post(first.dump()).status, 201);
    first["v"] = 1.0;
    first["extra"] = json::array({1});
    EXPECT_EQ(store.post(first.dump()).status, 200) << "a repeat by canonical bytes";
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(store.post(envelope(now).dump()).status, 201);
    EXPECT_EQ(store.frames().size(), clips::kMaxFrames);
    EXPECT_EQ(store.idCount(), clips::kMaxClipIds);
    EXPECT_EQ(store.post(first.dump()).seq, 10005) << "the first id has long fallen out";
    std::vector<std::int64_t> kept;
    for (std::int64_t seq = 9906; seq <= 10005; ++seq)
        kept.push_back(seq);
    EXPECT_EQ(seqs(0), std::pair(kept, true));
    EXPECT_EQ(seqs(9905), std::pair(kept, false)) << "the oldest retained follows the cursor";
    EXPECT_EQ(seqs(10005), std::pair(std::vector<std::int64_t>{}, false));
    now += 900000;
    EXPECT_EQ(seqs(9905).first.size(), 100u) << "exactly 900 s old is kept";
    now += 1;
    EXPECT_EQ(seqs(9905), std::pair(std::vector<std::int64_t>{}, true)) << "every frame expired";
    EXPECT_EQ(seqs(10005), std::pair(std::vector<std::int64_t>{}, false)) << "nothing missed";
}

TEST(Rules, TheReaderTakesAnyBoundariesButNotMoreThanFiveSeconds) {
    struct Script {
        std::deque<std::string> chunks;
        std::chrono::steady_clock::duration step = 0s;
        std::chrono::steady_clock::time_point now{};
        ReadResult read() {
            return readRequest(
                [this](std::span<char> into) -> ssize_t {
                    EXPECT_LE(into.size(), kReceiveChunk);
                    now += step;
                    if (chunks.empty())
                        return 0;
                    const std::size_t n = std::min(chunks.front().size(), into.size());
                    std::copy_n(chunks.front().begin(), n, into.begin());
                    chunks.front().erase(0, n);
                    if (chunks.front().empty())
                        chunks.pop_front();
                    return static_cast<ssize_t>(n);
                },
                [this] { return now; });
        }
    };
    Script bytes;
    for (const char c :
         std::string("POST /c HTTP/1.1\r\nX-Empty:\r\nContent-Length: 10000\r\n\r\n"))
        bytes.chunks.emplace_back(1, c);
    bytes.chunks.insert(bytes.chunks.end(), {std::string(6000, 'a'), std::string(4000, 'b')});
    const auto request = std::get<HttpRequest>(bytes.read());
    EXPECT_EQ(request.headers,
              (std::map<std::string, std::string>{{"x-empty", ""}, {"content-length", "10000"}}));
    EXPECT_EQ(request.body, std::string(6000, 'a') + std::string(4000, 'b'));
    Script header{std::deque<std::string>(5, "X"), 1s};
    Script body{{"POST /x HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "a", "b", "c", "d"}, 1s};
    EXPECT_EQ(std::get<HttpStatus>(header.read()), 400) << "the header arrives too late";
    EXPECT_EQ(std::get<HttpStatus>(body.read()), 400) << "the body arrives too late";
}

TEST(Rules, HostsAreRememberedProbedAndSoughtByTheRules) {
    const std::string id(32, '1');
    HostMemory memory;
    memory.remember({{id, "http://10.0.0.1:8788"}}, 1000);
    memory.remember({{id, "http://10.0.0.2:8788"}}, 2000);
    memory.remember({}, 15000);
    EXPECT_EQ(memory.hosts(), (HostAddresses{{id, "http://10.0.0.2:8788"}}));
    memory.remember({}, 15001);
    EXPECT_TRUE(memory.hosts().empty());
    EXPECT_EQ(probedHostId(
                  json{{"ok", true}, {"protocol", 1}, {"autoJoin", true}, {"hostId", id}}.dump()),
              id);
    for (const json& refused :
         {json{{"autoJoin", false}, {"hostId", id}}, json{{"autoJoin", 1}, {"hostId", id}},
          json{{"autoJoin", true}, {"hostId", std::string(32, 'A')}}})
        EXPECT_EQ(probedHostId(refused.dump()), std::nullopt) << refused;
    EXPECT_EQ(discoveryTargets({"10.2.0.255", "192.168.1.255", "10.2.0.255"}),
              (std::vector<std::string>{"10.2.0.255", "127.0.0.1", "192.168.1.255", "239.255.77.77",
                                        "255.255.255.255"}));
}

TEST(Rules, TheSerialQueueRunsJobsInOrderAndShutsDownCleanly) {
    std::vector<int> trace;
    std::promise<void> entered, open, busy, release;
    auto queue = std::make_unique<SerialQueue>("test.serial");
    EXPECT_FALSE(queue->current());
    queue->async([&, opened = open.get_future().share()] {
        entered.set_value();
        (void)opened.wait_for(5s);
    });
    entered.get_future().wait();
    auto held = std::make_shared<int>(0);
    queue->asyncAfter(400ms, [&, held] { trace.push_back(100); });
    queue->asyncAfter(250ms, [&, r = release.get_future().share()] {
        busy.set_value();
        (void)r.wait_for(5s);
    });
    queue->asyncAfter(200ms, [&] { trace.push_back(99); });
    for (int i = 0; i < 3; ++i)
        queue->async([&, i] { trace.push_back(queue->current() ? i : -1); });
    queue->async([] { throw std::runtime_error("job failed"); });
    open.set_value();
    ASSERT_EQ(busy.get_future().wait_for(5s), std::future_status::ready);
    auto shutdown = std::async(std::launch::async, [&] { queue->shutdown(); });
    EXPECT_EQ(shutdown.wait_for(100ms), std::future_status::timeout) << "waits for the job";
    release.set_value();
    ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(trace, (std::vector<int>{0, 1, 2, 99}));
    EXPECT_EQ(held.use_count(), 1) << "dropped jobs released what they held";
    EXPECT_FALSE(queue->async([] {}));
}
