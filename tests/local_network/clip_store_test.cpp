#include "clip_store.h"
#include "envelopes.h"

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

    int post(const Envelope& e) { return store.post(test::body(e)).status; }
    json batchJson(std::int64_t after) {
        std::string text;
        for (const SharedBytes& piece : store.batch(after))
            text += *piece;
        return json::parse(text);
    }
    // The sequence numbers of a batch's clips, and its reset flag.
    std::pair<std::vector<std::int64_t>, bool> batch(std::int64_t after) {
        const json answer = batchJson(after);
        EXPECT_EQ(answer["cursor"], store.sequence());
        std::vector<std::int64_t> seqs;
        for (const json& clip : answer["clips"])
            seqs.push_back(clip["seq"].get<std::int64_t>());
        return {seqs, answer["reset"].get<bool>()};
    }
};

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> out;
    for (std::int64_t n = first; n <= last; ++n)
        out.push_back(n);
    return out;
}

} // namespace

TEST_F(ClipStoreTest, ComparesRepeatsByCanonicalBytesNotByText) {
    const Envelope e = envelopeAt(now);
    ASSERT_EQ(post(e), 201);
    // Other member order and spacing, an extra member, 1.0 for 1.
    const std::string rewritten = "{ \"ciphertext\":\"" + e.ciphertext + "\", \"nonce\":\"" +
                                  e.nonce + "\", \"createdAt\":" + std::to_string(e.createdAt) +
                                  ", \"origin\":\"" + e.origin + "\", \"id\":\"" + e.id +
                                  "\", \"v\":1.0, \"extra\":[1] }";
    EXPECT_EQ(store.post(rewritten).status, 200);
}

TEST_F(ClipStoreTest, RefusesEnvelopesThatCannotBeRelayedAndTakesTheEdges) {
    const struct {
        const char* why;
        json patch;
    } refused[] = {
        {"version 2", {{"v", 2}}},
        {"upper-case id", {{"id", std::string(32, 'A')}}},
        {"short origin", {{"origin", std::string(31, 'a')}}},
        {"nonce of 11 bytes", {{"nonce", encode64(random(11))}}},
        {"ciphertext of 15 bytes", {{"ciphertext", encode64(random(15))}}},
        {"ciphertext of 40977 bytes", {{"ciphertext", encode64(random(40977))}}},
        {"created 900.001 s ago", {{"createdAt", kStart - 900001}}},
        {"created 120.001 s ahead", {{"createdAt", kStart + 120001}}},
        {"missing nonce", {{"nonce", nullptr}}},
    };
    for (const auto& c : refused) {
        json j = envelopeAt(kStart);
        j.merge_patch(c.patch);
        EXPECT_EQ(store.post(j.dump()).status, 400) << c.why;
    }
    for (const char* body : {"", "[]", "{\"v\":1}"})
        EXPECT_EQ(store.post(body).status, 400) << body;
    EXPECT_EQ(store.sequence(), 0);
    for (const Envelope& edge : {envelopeAt(kStart - 900000), envelopeAt(kStart + 120000),
                                 envelopeAt(kStart, 16), envelopeAt(kStart, 40976)})
        EXPECT_EQ(post(edge), 201) << edge.createdAt - kStart << " ms, " << edge.ciphertext.size();
}

TEST_F(ClipStoreTest, StaysBoundedAfterTenThousandPosts) {
    const Envelope first = envelopeAt(now);
    ASSERT_EQ(post(first), 201);
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(post(envelopeAt(now)), 201);
    EXPECT_EQ(store.frames().size(), clips::kMaxFrames);
    EXPECT_EQ(store.idCount(), clips::kMaxClipIds);
    EXPECT_EQ(store.frames().front().seq, 10001 - 99);
    const auto again = store.post(test::body(first));
    EXPECT_EQ(again.status, 201) << "the first id has long fallen out";
    EXPECT_EQ(again.seq, 10002);
}

TEST_F(ClipStoreTest, BatchesWhatFollowsTheCursorOrResetsAClientThatMissedClips) {
    EXPECT_EQ(batch(0), std::pair(std::vector<std::int64_t>{}, false)) << "fresh host and client";
    Envelope last;
    for (int i = 0; i < 101; ++i)
        post(last = envelopeAt(now));
    EXPECT_EQ(batch(0), std::pair(range(2, 101), true)) << "clip 1 is gone";
    EXPECT_EQ(batch(1), std::pair(range(2, 101), false)) << "clip 2 is the oldest retained";
    EXPECT_EQ(batch(99), std::pair(range(100, 101), false));
    EXPECT_EQ(batch(101), std::pair(std::vector<std::int64_t>{}, false));
    EXPECT_EQ(batch(500), std::pair(range(2, 101), true)) << "the host started again below";
    EXPECT_EQ(batchJson(100)["clips"][0]["envelope"].get<Envelope>(), last);

    now += 600000;
    post(envelopeAt(now));
    now += 300000;
    EXPECT_EQ(batch(2), std::pair(range(3, 102), false)) << "exactly 900 s old is kept";
    now += 1;
    EXPECT_EQ(batch(2), std::pair(std::vector<std::int64_t>{102}, true)) << "3 to 101 expired";
    EXPECT_EQ(batch(101), std::pair(std::vector<std::int64_t>{102}, false));
    now += 600000;
    EXPECT_EQ(batch(101), std::pair(std::vector<std::int64_t>{}, true)) << "every frame expired";
    EXPECT_EQ(batch(102), std::pair(std::vector<std::int64_t>{}, false)) << "nothing missed";
}
