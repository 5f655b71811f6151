#include "fakes.h"
#include "sync_engine.h"

#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

const std::string kDevice(32, 'd');
const std::string kPeer(32, 'b');

// The sync engine alone, running with a nearby group; the first poll is
// queued. Clipboard writes and messages are collected.
struct Syncing {
    Group group = freshGroup("http://127.0.0.1:8788");
    SessionState session{[this] { statuses << session.status(); }};
    FakeServer server;
    Jobs jobs;
    Timers timers;
    // The real clock: sealing here stamps clips with it.
    std::int64_t now = nowMilliseconds();
    std::int64_t started = now - 1'000'000;
    QStringList written;
    std::optional<QString> shareable;
    QString connected = "connected";
    QStringList statuses;
    SyncEngine sync{session, ports()};

    SyncPorts ports() {
        SyncPorts p;
        p.server = server.port();
        p.now = [this] { return now; };
        p.background = jobs.port();
        p.after = timers.port();
        p.writeClipboard = [this](const QString& text) { written << text; };
        p.shareable = [this] { return shareable; };
        p.connectedStatus = [this] { return connected; };
        p.refresh = [] {};
        return p;
    }

    Syncing() {
        sync.setDevice(kDevice);
        sync.setReceiveAfter(started);
        session.setRunning(true);
        session.setGroup(group);
        sync.poll(group, session.advance(), 1);
    }
    QString status() const { return session.status(); }
    // Answers the queued poll with the given clips.
    void deliver(std::vector<Envelope> clips, std::int64_t cursor = 1) {
        server.polls.push_back([clips, cursor] { return batchOf(clips, cursor); });
        ASSERT_TRUE(jobs.run());
    }
    Envelope clip(const std::string& text, std::int64_t createdAt, std::string id = identifier(),
                  const std::string& origin = kPeer) {
        return sealedAt(text, group, createdAt, origin, std::move(id));
    }
};

} // namespace

TEST(Send, RefusesBeforeSealing) {
    Syncing h;
    const std::pair<QString, const char*> cases[] = {
        {" zephlink://pair?server=x", "Invitations cannot be sent as clips."},
        {"", "Text must be between 1 and 32,768 UTF-8 bytes"},
        {QString(32769, 'x'), "Text must be between 1 and 32,768 UTF-8 bytes"},
    };
    for (const auto& [text, message] : cases) {
        h.sync.send(text);
        EXPECT_EQ(h.status(), message);
    }
    h.session.setGroup(std::nullopt);
    h.sync.send("hello");
    EXPECT_EQ(h.status(), "Resume sync before sending.");
    h.session.setGroup(h.group);
    h.session.setRunning(false);
    h.sync.send("hello");
    EXPECT_EQ(h.status(), "Resume sync before sending.");
    EXPECT_EQ(h.jobs.size(), 1u) << "only the poll";
    // Nothing refused claimed the clipboard's newest slot.
    h.session.setRunning(true);
    h.deliver({h.clip("fresh", h.now - 1)});
    EXPECT_EQ(h.written, QStringList{"fresh"});
}

TEST(Send, SealsTheUntrimmedTextAndClaimsTheClipboardBeforeThePost) {
    for (const bool fails : {false, true}) {
        Syncing h;
        if (fails)
            h.server.postResult = [] { throw DazarError("Network unavailable"); };
        const std::int64_t before = nowMilliseconds();
        h.sync.send("  spaced \n");
        EXPECT_TRUE(h.session.busy());
        h.sync.send("second");
        EXPECT_EQ(h.status(),
                  "Previous operation in progress; this clip was not sent. Retry explicitly.");
        // The poll answers before the post with a clip older than the send.
        h.deliver({h.clip("older", before - 1)});
        h.jobs.run();
        EXPECT_FALSE(h.session.busy());
        EXPECT_TRUE(h.written.isEmpty()) << fails;
        EXPECT_EQ(h.status(), fails ? "Network unavailable" : "Sent to nearby devices");
        EXPECT_EQ(h.sync.history(),
                  fails ? QStringList{"older"} : (QStringList{"  spaced \n", "older"}));
        ASSERT_EQ(h.server.posted.size(), fails ? 0u : 1u);
        if (!fails) {
            EXPECT_EQ(openClip(h.server.posted[0], h.group), "  spaced \n");
            EXPECT_EQ(h.server.posted[0].origin, kDevice);
        }
    }
}

TEST(SendClipboard, SendsOnlyWhatCaptureCallsShareable) {
    Syncing h;
    h.sync.sendClipboard();
    EXPECT_EQ(h.status(), "No shareable text; sensitive content and invitations are skipped.");
    h.shareable = "fine";
    h.sync.sendClipboard();
    h.jobs.queue.pop_front();
    h.jobs.run();
    EXPECT_EQ(openClip(h.server.posted.at(0), h.group), "fine");
    h.sync.setCompose("typed");
    h.sync.sendText();
    h.jobs.run();
    EXPECT_EQ(openClip(h.server.posted.at(1), h.group), "typed");
}

TEST(Background, ResultsOfAnOldGenerationAreDroppedSilently) {
    Syncing h;
    h.jobs.queue.clear();
    bool done = false;
    h.sync.background([&]() -> std::function<void()> { return [&] { done = true; }; });
    h.sync.background([&]() -> std::function<void()> { return [&] { done = true; }; });
    EXPECT_EQ(h.jobs.size(), 1u) << "a second job while busy is dropped";
    h.session.advance();
    h.jobs.run();
    EXPECT_FALSE(h.session.busy());
    EXPECT_FALSE(done);
    h.sync.background([]() -> std::function<void()> { throw DazarError("Relay said no"); });
    h.session.advance();
    h.jobs.run();
    EXPECT_TRUE(h.statuses.isEmpty()) << "nor is a stale error shown";
    h.sync.background([]() -> std::function<void()> { throw DazarError("Relay said no"); });
    h.jobs.run();
    EXPECT_EQ(h.status(), "Relay said no");
}

TEST(Poll, ReceivesInCreationOrderWithIdTieBreak) {
    Syncing h;
    const std::int64_t t = h.now - 1000;
    // Delivered out of order; the equal-time pair arrives greater id first.
    h.deliver({h.clip("later", t + 10), h.clip("high", t, std::string(32, '9')),
               h.clip("low", t, std::string(32, '1')), h.clip("early", t - 10)},
              4);
    EXPECT_EQ(h.sync.history(), (QStringList{"later", "high", "low", "early"}));
    EXPECT_EQ(h.written, (QStringList{"early", "low", "high", "later"}))
        << "of two equal-time clips the greater id is the newer";
    EXPECT_EQ(h.status(), "connected");
    EXPECT_EQ(h.jobs.size(), 1u) << "the next cycle starts at once";
    h.deliver({});
    EXPECT_EQ(h.server.pollCursors, (std::vector<std::int64_t>{0, 4}));
    EXPECT_EQ(h.session.cursor(), 1);
}

TEST(Poll, RetriesWithDoublingDelaysUpToThirtySeconds) {
    Syncing h;
    std::vector<int> delays;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(h.jobs.run()); // no answer queued: "Network unavailable"
        EXPECT_EQ(h.status(), "Network unavailable");
        delays.push_back(h.timers.run());
    }
    EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    h.deliver({});
    h.jobs.run();
    EXPECT_EQ(h.timers.run(), 1000) << "back to one second after a success";
}

TEST(Poll, TheLoopEndsWhenSyncStopsOrTheGenerationMoves) {
    const std::function<void(SessionState&)> ends[] = {
        [](SessionState& s) { s.setRunning(false); },
        [](SessionState& s) { s.advance(); },
    };
    for (const auto& end : ends) {
        Syncing retry;
        retry.jobs.run(); // fails; a retry is due
        end(retry.session);
        retry.timers.run();
        EXPECT_EQ(retry.jobs.size(), 0u) << "the retry does nothing";

        Syncing late;
        late.server.polls.push_back([&] { return batchOf({late.clip("x", late.now)}, 9); });
        end(late.session);
        late.jobs.run();
        EXPECT_TRUE(late.sync.history().isEmpty()) << "an answer in flight is dropped";
        EXPECT_EQ(late.session.cursor(), 0);
        EXPECT_EQ(late.jobs.size(), 0u);
    }
}

TEST(Poll, A401DropsTheGroupAndEndsTheLoop) {
    Syncing h;
    const auto generation = h.session.generation();
    h.session.setCursor(5);
    h.server.polls.push_back([]() -> Batch { throw DazarError("Re-pair required (401)"); });
    h.jobs.run();
    EXPECT_EQ(h.statuses, (QStringList{"Re-pair required (401)",
                                       "Nearby host restarted · reconnecting automatically…"}));
    EXPECT_FALSE(h.session.group());
    EXPECT_EQ(h.session.cursor(), 0);
    EXPECT_EQ(h.session.generation(), generation + 1);
    EXPECT_EQ(h.timers.queue.size(), 0u);
    EXPECT_EQ(h.jobs.size(), 0u);
}

TEST(Receive, SkipsSeenIdsBeforeOpeningAndRetriesRejectedOnes) {
    Syncing h;
    Envelope clip = h.clip("once", h.now);
    Envelope forged = clip;
    forged.origin = std::string(32, 'c'); // breaks authentication
    h.deliver({forged, h.clip("good", h.now - 5)});
    EXPECT_TRUE(h.statuses.contains("Rejected an invalid encrypted clip"));
    EXPECT_EQ(h.sync.history(), QStringList{"good"}) << "the rest of the batch goes on";
    h.deliver({clip});
    EXPECT_EQ(h.sync.history(), (QStringList{"once", "good"})) << "a rejected id is not seen";
    clip.ciphertext = encode64(Bytes(20, 0)); // would be rejected if opened
    h.statuses.clear();
    h.deliver({clip});
    EXPECT_EQ(h.statuses, QStringList{"connected"});
    EXPECT_EQ(h.sync.history().size(), 2);
}

TEST(Receive, EchoesAndClipsFromBeforeTheStartOnlyMarkTheIdSeen) {
    Syncing h;
    const Envelope echo = h.clip("mine", h.now - 1, identifier(), kDevice);
    const Envelope old = h.clip("old", h.started - 1);
    h.deliver({echo, old});
    EXPECT_TRUE(h.sync.history().isEmpty());
    EXPECT_TRUE(h.written.isEmpty());
    h.deliver({h.clip("newer than neither", h.now - 2)});
    EXPECT_EQ(h.written, QStringList{"newer than neither"}) << "the echo did not claim the slot";
}

TEST(Receive, OnlyFreshNewestClipsReachTheClipboard) {
    using At = std::int64_t (*)(std::int64_t now);
    struct Case {
        const char* why;
        At createdAt;
        bool written;
        int afterwards; // clips written once a clip of a second ago follows
    };
    const Case cases[] = {
        {"exactly two minutes old", [](std::int64_t n) { return n - 120000; }, true, 2},
        {"one millisecond too old", [](std::int64_t n) { return n - 120001; }, false, 1},
        {"two minutes in the future", [](std::int64_t n) { return n + 120000; }, true, 1},
        {"too far in the future", [](std::int64_t n) { return n + 120001; }, false, 1},
        {"at the end of time",
         [](std::int64_t) { return std::numeric_limits<std::int64_t>::max(); }, false, 1},
    };
    for (const Case& c : cases) {
        Syncing h;
        h.deliver({h.clip("text", c.createdAt(h.now))});
        EXPECT_EQ(h.sync.history(), QStringList{"text"}) << c.why;
        EXPECT_EQ(!h.written.isEmpty(), c.written) << c.why;
        // Only a written clip claims the newest slot.
        h.deliver({h.clip("a second ago", h.now - 1000)});
        EXPECT_EQ(h.written.size(), c.afterwards) << c.why;
    }
}

TEST(Receive, HistoryKeepsTwentyAndTheThousandAndFirstIdReplacesTheSeenSet) {
    Syncing h;
    std::vector<Envelope> clips;
    for (int i = 0; i < 1001; ++i)
        clips.push_back(h.clip("clip " + std::to_string(i), h.now - 5000 + i));
    h.deliver(clips);
    EXPECT_EQ(h.sync.history().size(), 20);
    EXPECT_EQ(h.sync.history().front(), "clip 1000");
    EXPECT_EQ(h.sync.history().back(), "clip 981");
    EXPECT_EQ(h.sync.historyItems().front(), "1. clip 1000");
    // Only the newest id is remembered: the first is taken again, the last not.
    h.deliver({clips.front(), clips.back()});
    EXPECT_EQ(h.sync.history().front(), "clip 0");
    EXPECT_EQ(h.sync.history()[1], "clip 1000");
}

TEST(History, ForgettingAndSelectingAndCopying) {
    Syncing h;
    h.deliver({h.clip("one\n" + std::string(60, 'x'), h.now - 10), h.clip("three", h.now - 20)});
    EXPECT_EQ(h.sync.historyItems()[0], "1. one " + QString(51, 'x'));
    h.sync.selectHistory(1);
    EXPECT_EQ(h.sync.preview(), "three");
    EXPECT_EQ(h.sync.historyItems()[1], "2. three");
    h.deliver({h.clip("four", h.now - 5)});
    EXPECT_EQ(h.sync.preview(), "one\n" + QString(60, 'x')) << "the selection follows the list";
    h.sync.selectHistory(2);
    h.sync.copyHistory();
    EXPECT_EQ(h.written.back(), "three");
    EXPECT_EQ(h.status(), "Copied locally");
    h.sync.selectHistory(0);
    EXPECT_EQ(h.sync.preview(), "four");
    h.session.setStatus("before");
    h.sync.copyHistory();
    EXPECT_EQ(h.status(), "Copied locally");
    for (const int outside : {-1, 3}) {
        h.sync.selectHistory(outside);
        EXPECT_EQ(h.sync.preview(), "");
        h.sync.refreshHistory();
        EXPECT_EQ(h.sync.preview(), "");
        h.session.setStatus("before");
        h.sync.copyHistory();
        EXPECT_EQ(h.status(), "before");
    }

    // Forgetting the history keeps the newest clip's claim; starting afresh
    // drops it too.
    h.sync.forgetHistory();
    h.sync.refreshHistory();
    EXPECT_TRUE(h.sync.history().isEmpty());
    EXPECT_TRUE(h.sync.historyItems().isEmpty());
    const auto writes = h.written.size();
    h.deliver({h.clip("older than the claim", h.now - 30)});
    EXPECT_EQ(h.written.size(), writes);
    h.sync.startAfresh();
    h.deliver({h.clip("after a fresh start", h.now - 40)});
    EXPECT_EQ(h.written.back(), "after a fresh start");
}
