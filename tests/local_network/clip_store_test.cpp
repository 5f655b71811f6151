#include "clip_store.h"
#include "envelopes.h"

#include <functional>
#include <gtest/gtest.h>

using namespace zephlink;
using nlohmann::json;
using test::envelopeAt;

namespace {

constexpr std::int64_t kStart = 1'800'000'000'000;

class ClipStoreTest : public ::testing::Test {
protected:
    std::int64_t now = kStart;
    ClipStore store{[this] { return now; }};

    ClipStore::PostOutcome post(const Envelope& e) { return store.post(test::body(e)); }
    Envelope fresh() { return envelopeAt(now); }
};

} // namespace

TEST_F(ClipStoreTest, NumbersNewClipsFromOne) {
    EXPECT_EQ(post(fresh()).status, 201);
    const auto second = post(fresh());
    EXPECT_EQ(second.status, 201);
    EXPECT_EQ(second.seq, 2);
    EXPECT_EQ(store.sequence(), 2);
}

TEST_F(ClipStoreTest, AnswersRepeatsOfAnIdWithTheStoredSequence) {
    const Envelope first = fresh();
    post(fresh());
    EXPECT_EQ(post(first).seq, 2);
    const auto identical = post(first);
    EXPECT_EQ(identical.status, 200);
    EXPECT_EQ(identical.seq, 2);

    Envelope conflicting = fresh();
    conflicting.id = first.id;
    const auto conflict = post(conflicting);
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(conflict.seq, 2);
    EXPECT_EQ(store.sequence(), 2) << "repeats change nothing";
    EXPECT_EQ(store.frames().size(), 2u);
}

TEST_F(ClipStoreTest, ComparesRepeatsByCanonicalBytesNotByText) {
    const Envelope e = fresh();
    ASSERT_EQ(post(e).status, 201);
    // Other member order, other spacing, an extra member, 1.0 for 1: the
    // same envelope all the same.
    const std::string rewritten = "{ \"ciphertext\":\"" + e.ciphertext + "\", \"nonce\":\"" +
                                  e.nonce + "\", \"createdAt\":" + std::to_string(e.createdAt) +
                                  ", \"origin\":\"" + e.origin + "\", \"id\":\"" + e.id +
                                  "\", \"v\":1.0, \"extra\":[1] }";
    EXPECT_EQ(store.post(rewritten).status, 200);
}

TEST_F(ClipStoreTest, RefusesEnvelopesThatCannotBeRelayed) {
    const struct {
        const char* why;
        std::function<void(json&)> alter;
    } cases[] = {
        {"version 2", [](json& j) { j["v"] = 2; }},
        {"version as text", [](json& j) { j["v"] = "1"; }},
        {"version 1.5", [](json& j) { j["v"] = 1.5; }},
        {"upper-case id", [](json& j) { j["id"] = std::string(32, 'A'); }},
        {"short origin", [](json& j) { j["origin"] = std::string(31, 'a'); }},
        {"nonce of 11 bytes", [](json& j) { j["nonce"] = encode64(random(11)); }},
        {"nonce of 13 bytes", [](json& j) { j["nonce"] = encode64(random(13)); }},
        {"padded nonce", [](json& j) { j["nonce"] = encode64(random(12)) + "=="; }},
        {"ciphertext of 15 bytes", [](json& j) { j["ciphertext"] = encode64(random(15)); }},
        {"ciphertext of 40977 bytes", [](json& j) { j["ciphertext"] = encode64(random(40977)); }},
        {"ciphertext in the standard alphabet",
         [](json& j) { j["ciphertext"] = std::string(24, '+'); }},
        {"created 900.001 s ago", [](json& j) { j["createdAt"] = kStart - 900001; }},
        {"created 120.001 s ahead", [](json& j) { j["createdAt"] = kStart + 120001; }},
        {"createdAt as text", [](json& j) { j["createdAt"] = std::to_string(kStart); }},
        {"missing nonce", [](json& j) { j.erase("nonce"); }},
    };
    for (const auto& c : cases) {
        json j = envelopeAt(kStart);
        c.alter(j);
        EXPECT_EQ(store.post(j.dump()).status, 400) << c.why;
    }
    for (const char* body : {"", "null", "[]", "{", "\"text\"", "{\"v\":1}"})
        EXPECT_EQ(store.post(body).status, 400) << body;
    EXPECT_EQ(store.sequence(), 0);
}

TEST_F(ClipStoreTest, AcceptsTheEdgesOfTheAllowedRanges) {
    for (const std::int64_t createdAt : {kStart - 900000, kStart + 120000}) {
        EXPECT_EQ(post(envelopeAt(createdAt)).status, 201) << createdAt;
    }
    Envelope smallest = fresh();
    smallest.ciphertext = encode64(random(16));
    EXPECT_EQ(post(smallest).status, 201);
    Envelope largest = fresh();
    largest.ciphertext = encode64(random(40976));
    EXPECT_EQ(post(largest).status, 201);
}

TEST_F(ClipStoreTest, StaysBoundedAfterTenThousandPosts) {
    const Envelope first = fresh();
    ASSERT_EQ(post(first).status, 201);
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(post(fresh()).status, 201);
    EXPECT_EQ(store.frames().size(), kMaxFrames);
    EXPECT_EQ(store.idCount(), kMaxClipIds);
    EXPECT_EQ(store.frames().front().seq, 10001 - 99);
    // The first id has long fallen out: it is a new clip again.
    const auto again = post(first);
    EXPECT_EQ(again.status, 201);
    EXPECT_EQ(again.seq, 10002);
}

TEST_F(ClipStoreTest, ForgetsTheOldestIdAfterAThousand) {
    const Envelope first = fresh();
    post(first);
    for (int i = 0; i < 999; ++i)
        post(fresh());
    EXPECT_EQ(post(first).status, 200) << "1000 ids are remembered";
    post(fresh());
    EXPECT_EQ(post(first).status, 201) << "the 1001st pushes the first out";
}

TEST_F(ClipStoreTest, DropsFramesAfter900Seconds) {
    post(fresh());
    now += 600000;
    post(fresh());
    now += 300000;
    store.pruneFrames();
    EXPECT_EQ(store.frames().size(), 2u) << "exactly 900 s is not more than 900 s";
    now += 1;
    store.pruneFrames();
    ASSERT_EQ(store.frames().size(), 1u);
    EXPECT_EQ(store.frames().front().seq, 2);
}

TEST_F(ClipStoreTest, BatchesWhatFollowsTheCursor) {
    for (int i = 0; i < 3; ++i)
        post(fresh());
    const json batch = store.batch(1);
    EXPECT_EQ(batch["cursor"], 3);
    EXPECT_EQ(batch["reset"], false);
    ASSERT_EQ(batch["clips"].size(), 2u);
    EXPECT_EQ(batch["clips"][0]["seq"], 2);
    EXPECT_EQ(batch["clips"][1]["seq"], 3);
    EXPECT_EQ(batch["clips"][1]["envelope"].get<Envelope>(), store.frames().back().envelope);
    const json current = store.batch(3);
    EXPECT_TRUE(current["clips"].empty());
    EXPECT_EQ(current["reset"], false);
}

TEST_F(ClipStoreTest, ResetsAClientThatMissedClips) {
    for (int i = 0; i < 101; ++i)
        post(fresh());
    const json fromStart = store.batch(0);
    EXPECT_EQ(fromStart["reset"], true) << "clip 1 is gone";
    EXPECT_EQ(fromStart["clips"].size(), 100u);
    EXPECT_EQ(store.batch(1)["reset"], false) << "clip 2 is the oldest retained";

    const json ahead = store.batch(500);
    EXPECT_EQ(ahead["reset"], true) << "the host started again below the client";
    EXPECT_EQ(ahead["clips"].size(), 100u) << "every retained frame";
    EXPECT_EQ(ahead["cursor"], 101);
}

TEST_F(ClipStoreTest, ResetsWhenEveryFrameHasExpired) {
    post(fresh());
    post(fresh());
    now += 900001;
    const json behind = store.batch(1);
    EXPECT_EQ(behind["reset"], true);
    EXPECT_TRUE(behind["clips"].empty());
    EXPECT_EQ(store.batch(2)["reset"], false) << "nothing missed";
}

TEST(ResetRule, FollowsTheRetainedWindow) {
    EXPECT_FALSE(resetNeeded(0, 0, std::nullopt)) << "a fresh host and a fresh client";
    EXPECT_TRUE(resetNeeded(5, 4, 1));
    EXPECT_FALSE(resetNeeded(4, 4, 1));
    EXPECT_FALSE(resetNeeded(9, 20, 10));
    EXPECT_TRUE(resetNeeded(8, 20, 10));
    EXPECT_TRUE(resetNeeded(3, 4, std::nullopt));
    EXPECT_FALSE(resetNeeded(4, 4, std::nullopt));
}

TEST(PollQuery, ReadsAfterAndWait) {
    const auto read = [](const char* target) { return parsePollQuery(target); };
    const auto q = read("/v1/rooms/r/clips?after=12&wait=20");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->after, 12);
    EXPECT_EQ(q->wait, 20);
    EXPECT_EQ(read("/v1/rooms/r/clips")->after, 0);
    EXPECT_EQ(read("/v1/rooms/r/clips?")->wait, 0);
    EXPECT_EQ(read("/v1/rooms/r/clips?wait=3&after=+4")->after, 4);
    EXPECT_EQ(read("/v1/rooms/r/clips?after")->after, 0) << "no value counts as absent";
    EXPECT_EQ(read("/v1/rooms/r/clips?after=%31%30")->after, 10) << "percent-decoded";
    EXPECT_EQ(read("/v1/rooms/r/clips?after=7#fragment")->after, 7);
}

TEST(PollQuery, RefusesEveryHostileQuery) {
    for (const char* target : {
             "/c?wait=21",
             "/c?wait=-1",
             "/c?after=-1",
             "/c?after=",
             "/c?wait=",
             "/c?after=1&after=2",
             "/c?after&after",
             "/c?after=1&wait=1&x=1",
             "/c?cursor=1",
             "/c?After=1",
             "/c?after=1.0",
             "/c?after=1e2",
             "/c?after=%2",
             "/c?after=%zz",
             "/c?after=1&",
             "/c?&",
             "/c?after=99999999999999999999",
             "/c?after=1 2",
             "/c?after={1}",
             "/c?after=\xc3\xa9",
         })
        EXPECT_EQ(parsePollQuery(target), std::nullopt) << target;
}
