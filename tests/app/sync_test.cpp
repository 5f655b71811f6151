#include "fakes.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

// Launched and connected to a nearby host; the first poll is queued.
struct Syncing : Harness {
    Group group = freshGroup("http://127.0.0.1:8788");
    Syncing() {
        launch();
        now = app->receiveAfter() + 100000;
        app->discovered(sessionFor(group), group.server);
    }
    // Answers the queued poll with the given clips.
    void deliver(std::vector<Envelope> clips, std::int64_t cursor = 1) {
        server.polls.push_back([clips, cursor] { return batchOf(clips, cursor); });
        ASSERT_TRUE(runJob());
    }
    Envelope clip(const std::string& text, std::int64_t createdAt, std::string id = identifier()) {
        return sealedAt(text, group, createdAt, std::string(32, 'b'), std::move(id));
    }
};

} // namespace

TEST(Send, RefusesBeforeSealing) {
    Syncing h;
    h.app->send(" zephlink://pair?server=x");
    EXPECT_EQ(h.status(), "Invitations cannot be sent as clips.");
    h.app->send("");
    EXPECT_EQ(h.status(), "Text must be between 1 and 32,768 UTF-8 bytes");
    h.app->send(QString(32769, 'x'));
    EXPECT_EQ(h.status(), "Text must be between 1 and 32,768 UTF-8 bytes");
    EXPECT_EQ(h.app->lastTime(), 0);
    h.app->stop();
    h.app->send("hello");
    EXPECT_EQ(h.status(), "Resume sync before sending.");
    EXPECT_TRUE(h.server.posted.empty());
}

TEST(Send, SealsTheUntrimmedTextAndRecordsItOnSuccess) {
    Syncing h;
    h.jobs.clear();
    h.app->send("  spaced \n");
    EXPECT_TRUE(h.app->busy());
    EXPECT_NE(h.app->lastTime(), 0) << "claimed before the post";
    ASSERT_TRUE(h.runJob());
    EXPECT_FALSE(h.app->busy());
    ASSERT_EQ(h.server.posted.size(), 1u);
    EXPECT_EQ(openClip(h.server.posted[0], h.group), "  spaced \n");
    EXPECT_EQ(h.server.posted[0].origin, h.app->device());
    EXPECT_EQ(h.app->lastID(), h.server.posted[0].id);
    EXPECT_EQ(h.app->history(), QStringList{"  spaced \n"});
    EXPECT_EQ(h.status(), "Sent to nearby devices");
}

TEST(Send, AFailedPostKeepsTheClaimButNotTheHistory) {
    Syncing h;
    h.jobs.clear();
    h.server.postResult = [] { throw DazarError("Network unavailable"); };
    h.app->send("lost");
    const auto claimed = h.app->lastTime();
    h.runJob();
    EXPECT_EQ(h.status(), "Network unavailable");
    EXPECT_EQ(h.app->lastTime(), claimed);
    EXPECT_TRUE(h.app->history().isEmpty());
    EXPECT_FALSE(h.app->busy());
}

TEST(Background, AResultArrivingAfterStopIsDropped) {
    Syncing h;
    h.jobs.clear();
    h.app->send("in flight");
    h.app->stop();
    const QString paused = h.status();
    h.runJob();
    EXPECT_FALSE(h.app->busy());
    EXPECT_EQ(h.status(), paused);
    EXPECT_TRUE(h.app->history().isEmpty());
}

TEST(Background, ASecondJobWhileBusyIsDroppedSilently) {
    Syncing h;
    h.jobs.clear();
    h.app->send("first");
    h.app->stop();
    h.app->setInvitation(QString::fromStdString(h.group.invitation()));
    h.app->join();
    EXPECT_EQ(h.jobs.size(), 1u) << "join dropped while the post is in flight";
}

TEST(Poll, ReceivesInCreationOrderWithIdTieBreak) {
    Syncing h;
    const std::int64_t t = h.now - 1000;
    const std::string low(32, '1');
    const std::string high(32, '9');
    // Delivered out of order; the equal-time pair arrives greater id first.
    h.deliver({h.clip("later", t + 10), h.clip("high", t, high), h.clip("low", t, low),
               h.clip("early", t - 10)},
              4);
    EXPECT_EQ(h.app->history(), (QStringList{"later", "high", "low", "early"}));
    EXPECT_EQ(h.pasteboard.text, "later");
    EXPECT_EQ(h.app->cursor(), 4);
    EXPECT_EQ(h.status(), "Ready · waiting for nearby devices");
    EXPECT_EQ(h.jobs.size(), 1u) << "the next cycle starts at once";
    EXPECT_EQ(h.server.pollCursors.back(), 0);
    h.deliver({});
    EXPECT_EQ(h.server.pollCursors.back(), 4);
}

TEST(Poll, OfTwoEqualTimeClipsTheGreaterIdEndsOnTheClipboard) {
    Syncing h;
    const std::int64_t t = h.now - 1000;
    h.deliver({h.clip("b", t, std::string(32, 'b')), h.clip("a", t, std::string(32, 'a'))});
    EXPECT_EQ(h.pasteboard.text, "b");
    EXPECT_EQ(h.app->lastID(), std::string(32, 'b'));
}

TEST(Receive, SkipsSeenIdsBeforeOpening) {
    Syncing h;
    Envelope clip = h.clip("once", h.now);
    h.deliver({clip});
    clip.ciphertext = encode64(Bytes(20, 0)); // would be rejected if opened
    h.app->setStatusText("untouched");
    h.deliver({clip});
    EXPECT_EQ(h.app->history().size(), 1);
    EXPECT_EQ(h.status(), "Ready · waiting for nearby devices");
}

TEST(Receive, RejectsInvalidClipsAndGoesOnWithTheBatch) {
    Syncing h;
    Envelope bad = h.clip("bad", h.now - 5);
    bad.origin = std::string(32, 'c'); // breaks authentication
    h.server.polls.push_back([&] { return batchOf({bad, h.clip("good", h.now)}, 2); });
    h.app->setStatusText("");
    // Watch the status as the batch is handled.
    QStringList statuses;
    QObject::connect(&h.app->flow(), &FlowModel::statusChanged,
                     [&] { statuses << h.app->flow().status(); });
    h.runJob();
    EXPECT_TRUE(statuses.contains("Rejected an invalid encrypted clip"));
    EXPECT_EQ(h.app->history(), QStringList{"good"});
    EXPECT_EQ(h.app->seen().count(bad.id), 0u);
}

TEST(Receive, EchoesOnlyMarkTheIdSeen) {
    Syncing h;
    Envelope echo = sealedAt("mine", h.group, h.now, h.app->device());
    h.deliver({echo});
    EXPECT_EQ(h.app->seen().count(echo.id), 1u);
    EXPECT_TRUE(h.app->history().isEmpty());
    EXPECT_EQ(h.app->lastTime(), 0);
}

TEST(Receive, ClipsFromBeforeTheLastStartAreIgnored) {
    Syncing h;
    h.deliver({h.clip("old", h.app->receiveAfter() - 1)});
    EXPECT_TRUE(h.app->history().isEmpty());
    EXPECT_EQ(h.pasteboard.count, 0);
}

TEST(Receive, OnlyFreshNewestClipsReachTheClipboard) {
    struct Case {
        const char* why;
        std::int64_t age; // now - createdAt
        bool written;
    };
    const Case cases[] = {
        {"exactly two minutes old", 120000, true},
        {"one millisecond too old", 120001, false},
        {"two minutes in the future", -120000, true},
        {"too far in the future", -120001, false},
    };
    for (const Case& c : cases) {
        Syncing h;
        h.now = h.app->receiveAfter() + 200000;
        h.deliver({h.clip("text", h.now - c.age)});
        EXPECT_EQ(h.app->history(), QStringList{"text"}) << c.why;
        EXPECT_EQ(h.pasteboard.text == "text", c.written) << c.why;
        EXPECT_EQ(h.app->lastTime() != 0, c.written) << c.why;
    }
}

TEST(Receive, AnOlderClipDoesNotReplaceTheNewest) {
    Syncing h;
    h.deliver({h.clip("newer", h.now - 10)});
    h.deliver({h.clip("older", h.now - 20)});
    EXPECT_EQ(h.pasteboard.text, "newer");
    EXPECT_EQ(h.app->history(), (QStringList{"older", "newer"}));
    EXPECT_EQ(h.app->lastTime(), h.now - 10);
}

TEST(Receive, AnExtremeCreationTimeDoesNotOverflow) {
    Syncing h;
    h.deliver({h.clip("far future", std::numeric_limits<std::int64_t>::max())});
    EXPECT_EQ(h.pasteboard.count, 0);
    EXPECT_EQ(h.app->history(), QStringList{"far future"});
}

TEST(Receive, TheSendInFlightProtectsTheClipboard) {
    Syncing h;
    h.pasteboard.copy("my copy");
    h.app->capture(); // post queued behind the poll
    const std::int64_t sentAt = h.app->lastTime();
    h.server.polls.push_back([&] { return batchOf({h.clip("older", sentAt - 1)}, 1); });
    h.runJob(); // the poll answers first
    EXPECT_EQ(h.pasteboard.text, "my copy");
    EXPECT_EQ(h.app->lastTime(), sentAt);
}

TEST(Receive, HistoryKeepsTwentyAndSeenIdsAreBounded) {
    Syncing h;
    std::vector<Envelope> clips;
    for (int i = 0; i < 25; ++i)
        clips.push_back(h.clip("clip " + std::to_string(i), h.now - 100 + i));
    h.deliver(clips);
    EXPECT_EQ(h.app->history().size(), 20);
    EXPECT_EQ(h.app->history().front(), "clip 24");
    EXPECT_EQ(h.app->history().back(), "clip 5");
    EXPECT_EQ(h.app->historyItems().front(), "1. clip 24");
}

TEST(Receive, TheThousandAndFirstIdReplacesTheSeenSet) {
    Syncing h;
    std::vector<Envelope> clips;
    for (int i = 0; i < 1001; ++i)
        clips.push_back(h.clip("c", h.now - 5000 + i));
    h.deliver(clips);
    EXPECT_EQ(h.app->seen().size(), 1u);
    EXPECT_EQ(h.app->seen().count(clips.back().id), 1u);
}

TEST(Poll, RetriesWithDoublingDelaysUpToThirtySeconds) {
    Syncing h;
    std::vector<int> delays;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(h.runJob()); // no answer queued: "Network unavailable"
        EXPECT_EQ(h.status(), "Network unavailable");
        delays.push_back(h.runTimer());
    }
    EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    h.deliver({});
    h.runJob();
    EXPECT_EQ(h.runTimer(), 1000) << "back to one second after a success";
}

TEST(Poll, ARetryAfterStopDoesNothing) {
    Syncing h;
    h.runJob();
    h.app->stop();
    h.runTimer();
    EXPECT_TRUE(h.jobs.empty());
}

TEST(Poll, A401DropsTheGroupUntilASessionIsAdoptedAgain) {
    Syncing h;
    const auto generation = h.app->generation();
    h.server.polls.push_back([]() -> Batch { throw DazarError("Re-pair required (401)"); });
    h.runJob();
    EXPECT_EQ(h.status(), "Nearby host restarted · reconnecting automatically…");
    EXPECT_FALSE(h.app->group());
    EXPECT_EQ(h.app->cursor(), 0);
    EXPECT_EQ(h.app->generation(), generation + 1);
    EXPECT_TRUE(h.timers.empty()) << "the loop ends";
    EXPECT_TRUE(h.jobs.empty());
    h.app->send("hello");
    EXPECT_EQ(h.status(), "Resume sync before sending.");
    h.app->discovered(sessionFor(h.group), h.group.server);
    EXPECT_TRUE(h.app->group());
    EXPECT_EQ(h.jobs.size(), 1u);
}

TEST(History, SelectAndCopyUseTheChosenEntry) {
    Syncing h;
    h.deliver({h.clip("one\ntwo", h.now - 10), h.clip("three", h.now - 20)});
    h.app->selectHistory(1);
    EXPECT_EQ(h.app->preview(), "three");
    EXPECT_EQ(h.app->historyItems()[1], "2. three");
    h.app->copyHistory();
    EXPECT_EQ(h.pasteboard.text, "three");
    EXPECT_EQ(h.status(), "Copied locally");
    h.app->selectHistory(0);
    EXPECT_EQ(h.app->historyItems()[0], "1. one two");
    h.app->selectHistory(7);
    EXPECT_EQ(h.app->preview(), "");
    h.app->setStatusText("before");
    h.app->copyHistory();
    EXPECT_EQ(h.status(), "before");
}
