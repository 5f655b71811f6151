#include "host_fixture.h"

#include <future>
#include <thread>

using namespace zephlink;
using namespace zephlink::test;
using nlohmann::json;

namespace {

using HostClips = HostTest;

std::int64_t seqOf(const RawResponse& response) {
    return response.json().at("seq");
}

} // namespace

TEST_F(HostClips, StoresAClipOnceAndReportsRepeats) {
    const Envelope envelope = fresh();
    const RawResponse created = postClip(envelope);
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.json(), (json{{"seq", 1}}));
    const RawResponse repeated = postClip(envelope);
    EXPECT_EQ(repeated.status, 200);
    EXPECT_EQ(seqOf(repeated), 1);

    Envelope conflicting = fresh();
    conflicting.id = envelope.id;
    const RawResponse conflict = postClip(conflicting);
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(seqOf(conflict), 1);

    const json batch = pollClips("?after=0").json();
    ASSERT_EQ(batch["clips"].size(), 1u);
    EXPECT_EQ(batch["clips"][0]["envelope"].get<Envelope>(), envelope);
}

TEST_F(HostClips, WakesAWaitingPollWithTheNewClip) {
    auto poll = std::async(std::launch::async, [&] { return pollClips("?after=0&wait=15"); });
    // Give the poll time to reach its wait; a late post is answered too.
    std::this_thread::sleep_for(300ms);
    const Envelope envelope = fresh();
    const auto posted = std::chrono::steady_clock::now();
    ASSERT_EQ(postClip(envelope).status, 201);
    ASSERT_EQ(poll.wait_for(10s), std::future_status::ready);
    const auto woken = std::chrono::steady_clock::now() - posted;
    const RawResponse response = poll.get();
    ASSERT_EQ(response.status, 200);
    const json batch = response.json();
    EXPECT_EQ(batch["cursor"], 1);
    EXPECT_EQ(batch["reset"], false);
    ASSERT_EQ(batch["clips"].size(), 1u);
    EXPECT_EQ(batch["clips"][0]["seq"], 1);
    EXPECT_EQ(batch["clips"][0]["envelope"].get<Envelope>(), envelope);
    EXPECT_LT(woken, 5s) << "woken by the post, not by the end of the wait";
}

TEST_F(HostClips, RepeatedPostsDoNotEndAWait) {
    const Envelope envelope = fresh();
    ASSERT_EQ(postClip(envelope).status, 201);
    const auto start = std::chrono::steady_clock::now();
    auto poll = std::async(std::launch::async, [&] { return pollClips("?after=1&wait=2"); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(postClip(envelope).status, 200);
    Envelope conflicting = fresh();
    conflicting.id = envelope.id;
    EXPECT_EQ(postClip(conflicting).status, 409);
    const RawResponse response = poll.get();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    const json batch = response.json();
    EXPECT_TRUE(batch["clips"].empty());
    EXPECT_EQ(batch["cursor"], 1);
    EXPECT_EQ(batch["reset"], false);
}

TEST_F(HostClips, AnswersAPollThatIsBehindOrAheadAtOnce) {
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(postClip(fresh()).status, 201);
    const auto start = std::chrono::steady_clock::now();
    const json behind = pollClips("?after=1&wait=20").json();
    EXPECT_EQ(behind["clips"].size(), 2u);
    EXPECT_EQ(behind["reset"], false);
    const json ahead = pollClips("?after=9&wait=20").json();
    EXPECT_EQ(ahead["reset"], true) << "the host's sequence is below the client's";
    EXPECT_EQ(ahead["clips"].size(), 3u);
    EXPECT_EQ(ahead["cursor"], 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const json current = pollClips("?after=3&wait=0").json();
    EXPECT_TRUE(current["clips"].empty());
    EXPECT_EQ(current["reset"], false);
}

TEST_F(HostClips, RefusesHostilePollQueries) {
    for (const char* query :
         {"?wait=21", "?after=-1", "?after=", "?after=1&after=1", "?after=0&wait=0&x", "?since=0",
          "?after=%", "?after=1.5", "?wait=1e1"})
        EXPECT_EQ(pollClips(query).status, 400) << query;
}

TEST_F(HostClips, ExpiredClipsAreGoneAndTheClientIsReset) {
    ASSERT_EQ(postClip(fresh()).status, 201);
    advance(900001ms);
    const json batch = pollClips("?after=0").json();
    EXPECT_TRUE(batch["clips"].empty());
    EXPECT_EQ(batch["reset"], true);
    EXPECT_EQ(batch["cursor"], 1);
}

TEST_F(HostClips, KeepsTheLast100FramesAnd1000IdsOverTheWire) {
    // Two peer addresses stay within the 600 requests a peer may make.
    const Envelope first = fresh();
    ASSERT_EQ(postClip(first, "127.0.0.21").status, 201);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(postClip(fresh(), i < 500 ? "127.0.0.21" : "127.0.0.22").status, 201) << i;
    const json batch = pollClips("?after=0", "127.0.0.23").json();
    EXPECT_EQ(batch["cursor"], 1001);
    EXPECT_EQ(batch["reset"], true);
    ASSERT_EQ(batch["clips"].size(), 100u);
    EXPECT_EQ(batch["clips"][0]["seq"], 902);
    const RawResponse again = postClip(first, "127.0.0.23");
    EXPECT_EQ(again.status, 201) << "the first id was forgotten after 1000 newer ones";
    EXPECT_EQ(seqOf(again), 1002);
}
