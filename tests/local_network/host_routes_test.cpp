// Routing, authorisation, sessions, clips and polls, over real sockets.
#include "host_fixture.h"
#include "local_session.h"

#include <future>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using nlohmann::json;

namespace {

using HostRoutes = HostTest;
using HostClips = HostTest;

nlohmann::json clip(std::int64_t seq, const Envelope& envelope) {
    return {{"seq", seq}, {"envelope", envelope}};
}

// A poll answer's body as the JSON writer spells it.
std::string batch(const json& clips, std::int64_t cursor, bool reset) {
    return json{{"clips", clips}, {"cursor", cursor}, {"reset", reset}}.dump();
}

} // namespace

TEST_F(HostRoutes, RoutesByExactMethodTargetAndBearer) {
    const std::string token = host->group().token;
    const std::string clips = clipsPath();
    const struct {
        const char* why;
        std::string method;
        std::string target;
        std::string authorization; // empty: no header
        int status;
    } cases[] = {
        {"health", "GET", "/health", "", 200},
        {"health with a query", "GET", "/health?x=1", "", 401},
        {"health by POST", "POST", "/health", "", 401},
        {"session by GET", "GET", "/v1/local-session", "", 401},
        {"clips without bearer", "GET", clips, "", 401},
        {"clips with a wrong token", "GET", clips, "Bearer " + encode64(random(32)), 401},
        {"clips with a truncated token", "GET", clips, "Bearer " + token.substr(1), 401},
        {"another room", "GET", "/v1/rooms/" + identifier() + "/clips", "Bearer " + token, 401},
        {"below the clips path", "GET", clips + "/1", "Bearer " + token, 401},
        {"clips", "GET", clips, "Bearer " + token, 200},
        {"bearer padded with blanks", "GET", clips, "\t Bearer " + token + " \t", 200},
        {"clips with a query", "GET", clips + "?after=0", "Bearer " + token, 200},
        {"PUT on clips", "PUT", clips, "Bearer " + token, 405},
        {"PUT on clips without bearer", "PUT", clips, "", 401},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> headers;
        if (!c.authorization.empty())
            headers.emplace_back("Authorization", c.authorization);
        EXPECT_EQ(transact(httpRequest(c.method, c.target, headers)).status, c.status) << c.why;
    }
}

TEST_F(HostRoutes, HandsItsGroupToADeviceThatIntroducesItself) {
    const std::string me = identifier();
    const RawResponse response = askSession(nearbyDevice(me, "My phone"));
    ASSERT_EQ(response.status, 200);
    const auto session = response.json().get<LocalSession>();
    EXPECT_EQ(session.v, 1);
    EXPECT_EQ(session.mode, "trusted-lan");
    EXPECT_EQ(session.hostId, host->hostId());
    EXPECT_EQ(session.name, "Test host");
    EXPECT_EQ(session.devices, (std::vector<NearbyDevice>{{me, "My phone", "android"}}));
    EXPECT_EQ(session.group("http://127.0.0.1:8788"), host->group());
    const json second = askSession(nearbyDevice()).json()["devices"];
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(second[0]["device"] == me || second[1]["device"] == me);
}

TEST_F(HostRoutes, RefusesUnsoundIntroductions) {
    const auto times = [](std::string_view text, int count) {
        std::string out;
        for (int i = 0; i < count; ++i)
            out += text;
        return out;
    };
    const std::string flag = "\U0001F1E9\U0001F1EA";
    // Characters as peers count them: extended grapheme clusters.
    for (const std::string& name : {times(flag, 80), times("\u0E01\u0E33", 41)})
        EXPECT_EQ(askSession(nearbyDevice(identifier(), name)).status, 200) << name;
    const std::string id = identifier();
    const struct {
        const char* why;
        std::string body;
    } refused[] = {
        {"upper-case id", nearbyDevice(std::string(32, 'A')).dump()},
        {"81 characters", nearbyDevice(id, std::string(81, 'n')).dump()},
        {"81 flags", nearbyDevice(id, times(flag, 81)).dump()},
        {"80 ZWJ-joined pairs, 160 characters", nearbyDevice(id, times("a\u200Db", 80)).dump()},
        {"platform linux", json{{"device", id}, {"name", "x"}, {"platform", "linux"}}.dump()},
        {"platform missing", json{{"device", id}, {"name", "x"}}.dump()},
        {"no body", ""},
    };
    for (const auto& c : refused)
        EXPECT_EQ(transact(httpRequest("POST", "/v1/local-session", {}, c.body)).status, 400)
            << c.why;
}

TEST_F(HostRoutes, RefusesThe65thDeviceUntilOneIsSilentForMoreThan20Seconds) {
    const json first = nearbyDevice();
    ASSERT_EQ(askSession(first).status, 200);
    advance(10s);
    for (int i = 0; i < 63; ++i)
        ASSERT_EQ(askSession(nearbyDevice()).status, 200) << i;
    EXPECT_EQ(askSession(nearbyDevice()).status, 400);
    advance(10s);
    EXPECT_EQ(askSession(first).status, 200) << "a registered device may refresh";
    advance(10s);
    EXPECT_EQ(askSession(nearbyDevice()).status, 400) << "silent for exactly 20 seconds";
    advance(1ms);
    const RawResponse late = askSession(nearbyDevice());
    ASSERT_EQ(late.status, 200);
    EXPECT_EQ(late.json()["devices"].size(), 2u) << "the refreshed one and the newcomer";
}

TEST_F(HostClips, SendsAnAnswerOfManyPiecesByteForByte) {
    // 40 clips make 81 pieces: more than one scatter-gather send takes.
    json clips = json::array();
    for (std::int64_t seq = 1; seq <= 40; ++seq) {
        const Envelope envelope = seq == 2 ? envelopeAt(clock->load(), 40976) : fresh();
        const RawResponse posted = postClip(envelope);
        ASSERT_EQ(posted.status, 201);
        EXPECT_EQ(posted.json(), (json{{"seq", seq}}));
        clips.push_back(clip(seq, envelope));
    }
    EXPECT_EQ(pollClips("?after=0").body, batch(clips, 40, false));
}

TEST_F(HostClips, APostWakesAWaitingPollButRepeatsAndConflictsDoNot) {
    const Envelope first = fresh();
    ASSERT_EQ(postClip(first).status, 201);
    auto poll = std::async(std::launch::async, [&] { return pollClips("?after=1&wait=15"); });
    std::this_thread::sleep_for(300ms); // a post before the poll waits is answered too
    Envelope conflicting = fresh();
    conflicting.id = first.id;
    const std::pair<Envelope, int> repeats[] = {{first, 200}, {conflicting, 409}};
    for (const auto& [envelope, status] : repeats) {
        const RawResponse response = postClip(envelope);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.json(), (json{{"seq", 1}})) << "the stored clip's seq";
    }
    EXPECT_EQ(pollClips("?after=1&wait=1").body, batch(json::array(), 1, false));
    EXPECT_EQ(poll.wait_for(0ms), std::future_status::timeout) << "a repeat ended the wait";
    const Envelope second = fresh();
    ASSERT_EQ(postClip(second).status, 201);
    ASSERT_EQ(poll.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(poll.get().body, batch(json::array({clip(2, second)}), 2, false));
}

TEST_F(HostClips, AnswersAPollThatIsBehindOrAheadAtOnce) {
    std::vector<Envelope> posted;
    for (int i = 0; i < 3; ++i) {
        posted.push_back(fresh());
        ASSERT_EQ(postClip(posted.back()).status, 201);
    }
    const json every = json::array({clip(1, posted[0]), clip(2, posted[1]), clip(3, posted[2])});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pollClips("?after=1&wait=20").body,
              batch(json::array({every[1], every[2]}), 3, false));
    EXPECT_EQ(pollClips("?after=9&wait=20").body, batch(every, 3, true))
        << "the host's sequence is below the client's";
    EXPECT_EQ(pollClips("?after=3&wait=0").body, batch(json::array(), 3, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    advance(900001ms);
    EXPECT_EQ(pollClips("?after=1").body, batch(json::array(), 3, true))
        << "expired clips are gone";
}

TEST_F(HostClips, ReadsThePollQueryStrictly) {
    ASSERT_EQ(postClip(fresh()).status, 201);
    const struct {
        const char* query;
        int status;
        std::size_t clips = 0;
    } cases[] = {
        {"", 200, 1},
        {"?after", 200, 1},
        {"?wait=0&after=+1", 200, 0},
        {"?after=9223372036854775807", 200, 1},
        {"?wait=21", 400},
        {"?after=-1", 400},
        {"?after=", 400},
        {"?after=1&after=1", 400},
        {"?after=0&wait=0&x", 400},
        {"?after=1.5", 400},
        {"?after=%zz", 400},
        {"?after=99999999999999999999", 400},
    };
    for (const auto& c : cases) {
        const RawResponse response = pollClips(c.query);
        EXPECT_EQ(response.status, c.status) << c.query;
        if (c.status == 200) {
            EXPECT_EQ(response.json()["clips"].size(), c.clips) << c.query;
        }
    }
}
