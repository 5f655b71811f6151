// Capture and sync with a nearby host: what is posted, written and kept.
#include "fakes.h"

using namespace zephlink;
using namespace zephlink::test;

namespace {

using Extra = QMap<QString, QByteArray>;
using Copy = std::function<void(FakePasteboard&)>;

// A copy, then the clipboard's signal twice; returns every text posted.
QStringList copyAndSend(
    Harness& h, const Group& group, const Copy& copy = [](auto&) {}) {
    h.jobs.clear();
    copy(h.pasteboard);
    h.pasteboard.listener();
    h.pasteboard.listener();
    while (h.runJob()) {
    }
    return h.sent(group);
}

} // namespace

TEST(Capture, SendsEachNewShareableCopyOnceUntrimmed) {
    const auto typed = [](const char* type, const char* data = "") -> Copy {
        return [=](FakePasteboard& p) { p.copy("pw", Extra{{type, data}}); };
    };
    const std::pair<Copy, QStringList> cases[] = {
        {[](FakePasteboard& p) { p.copy(" hello\n"); }, {" hello\n"}},
        {typed("com.agilebits.onepassword"), {}},
        {typed("x-kde-passwordManagerHint", "secret\n"), {}},
        {typed("x-kde-passwordManagerHint", "public"), {"pw"}},
        {[](FakePasteboard& p) { p.copy(std::nullopt); }, {}},
    };
    for (const auto& [copy, sent] : cases) {
        Harness h;
        const Group group = h.launchWithHost();
        EXPECT_EQ(copyAndSend(h, group, copy), sent);
        // Made harmless without a new copy: it was dealt with already.
        h.pasteboard.formats = {{"text/plain", "x"}};
        h.pasteboard.text = "x";
        EXPECT_EQ(copyAndSend(h, group), sent);
    }
}

TEST(Capture, ManualCopiesAndTheSameTextAgainAreNeverSent) {
    Harness h;
    const Group group = h.launchWithHost();
    h.app->setAutomaticSending(false);
    copyAndSend(h, group, [](FakePasteboard& p) { p.copy("while manual"); });
    h.app->setAutomaticSending(true);
    h.app->writeClipboard("received"); // and a clipboard manager takes it over
    for (const char* text : {"received", "A", "A", "B", "A"})
        copyAndSend(h, group, [&](FakePasteboard& p) { p.copy(text); });
    EXPECT_EQ(copyAndSend(h, group,
                          [](FakePasteboard& p) {
                              p.copy("A", Extra{{"m", "1"}});
                          }),
              (QStringList{"A", "B", "A"}));
}

// A refused text claims nothing; a sent one claims the clipboard's newest
// slot before its post, so an older clip arriving meanwhile is not written.
TEST(Send, PostsTheUntrimmedTextHavingClaimedTheClipboardFirst) {
    for (const bool fails : {false, true}) {
        Harness h;
        const Group group = h.launchWithHost();
        h.app->send("");
        EXPECT_EQ(h.status(), "Text must be between 1 and 32,768 UTF-8 bytes");
        h.deliver({sealedAt("fresh", group, h.now - 2)});
        if (fails)
            h.fail = [] { throw DazarError("Network unavailable"); };
        h.app->send("  spaced \n");
        h.app->send("second");
        EXPECT_EQ(h.status(),
                  "Previous operation in progress; this clip was not sent. Retry explicitly.");
        h.deliver({sealedAt("older", group, h.now - 1)});
        h.runJob();
        EXPECT_EQ(h.pasteboard.written, QStringList{"fresh"});
        EXPECT_EQ(h.status(), fails ? "Network unavailable" : "Sent to nearby devices");
        EXPECT_EQ(h.history().size(), fails ? 2 : 3);
        EXPECT_EQ(h.sent(group), fails ? QStringList() : QStringList{"  spaced \n"});
        EXPECT_TRUE(fails || h.posted[0].origin == h.app->device());
    }
}

// Of the copies made during a post, the latest leaves when it ends, if sync
// still runs in the same epoch; a result from an older epoch is dropped.
TEST(Send, TheLatestCopyLeavesWhenThePostEnds) {
    for (const bool paused : {false, true}) {
        Harness h;
        const Group group = h.launchWithHost();
        h.jobs.clear();
        for (const char* text : {"first", "too soon", "latest"}) {
            h.pasteboard.copy(text);
            h.pasteboard.listener();
        }
        if (paused) {
            h.app->toggleSync();
            h.app->toggleSync();
            h.found(sessionFor(group), group.server);
            h.jobs.pop_back();
        }
        while (h.runJob()) {
        }
        EXPECT_EQ(h.sent(group), paused ? QStringList{"first"} : (QStringList{"first", "latest"}));
        EXPECT_EQ(h.status(),
                  paused ? "Ready · waiting for nearby devices" : "Sent to nearby devices")
            << paused;
    }
}

TEST(Poll, ReceivesInCreationOrderAndAsksFromTheCursor) {
    Harness h;
    const Group group = h.launchWithHost();
    const std::int64_t t = h.now;
    h.deliver({sealedAt("later", group, t + 10), sealedAt("high", group, t, std::string(32, '9')),
               sealedAt("low", group, t, std::string(32, '1')), sealedAt("early", group, t - 10)},
              4);
    EXPECT_EQ(h.history(), (QStringList{"later", "high", "low", "early"}));
    EXPECT_EQ(h.pasteboard.written, (QStringList{"early", "low", "high", "later"}))
        << "of two equal-time clips the greater id is the newer";
    h.deliver({});
    EXPECT_EQ(h.cursors, (std::vector<std::int64_t>{0, 4}));
    EXPECT_EQ(h.jobs.size(), 1u) << "the next cycle starts at once";
}

TEST(Poll, RetriesWithDoublingDelaysUntilA401) {
    Harness h;
    const Group group = h.launchWithHost();
    std::vector<int> delays;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(h.runJob());
        delays.push_back(h.runTimer());
    }
    EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
    h.deliver({});
    h.runJob();
    EXPECT_EQ(h.runTimer(), 1000) << "back to one second after a success";
    h.pollError = "Re-pair required (401)";
    h.runJob();
    EXPECT_EQ(h.shown.mid(h.shown.size() - 2),
              (QStringList{"Re-pair required (401)",
                           "Nearby host restarted · reconnecting automatically…"}));
    EXPECT_FALSE(h.app->paired());
    EXPECT_TRUE(h.timers.empty() && h.jobs.empty());
}

TEST(Receive, BadClipsAreRejectedEchoesAndOldOnesAndSeenIdsSkipped) {
    Harness h;
    const Group group = h.launchWithHost();
    Envelope clip = sealedAt("once", group, h.now - 1);
    Envelope forged = clip;
    forged.origin = std::string(32, 'c'); // breaks authentication
    h.deliver({forged, sealedAt("good", group, h.now - 5),
               sealedAt("mine", group, h.now, identifier(), h.app->device()),
               sealedAt("old", group, h.now - 60001)});
    EXPECT_TRUE(h.shown.contains("Rejected an invalid encrypted clip"));
    EXPECT_EQ(h.history(), QStringList{"good"});
    h.deliver({clip});
    EXPECT_EQ(h.history(), (QStringList{"once", "good"})) << "a rejected id is not seen";
    EXPECT_EQ(h.pasteboard.written, (QStringList{"good", "once"})) << "an echo claims nothing";
    clip.ciphertext = encode64(Bytes(20, 0)); // would be rejected if opened
    h.shown.clear();
    h.deliver({clip});
    EXPECT_TRUE(h.shown.isEmpty());
    EXPECT_EQ(h.history().size(), 2);
}

TEST(Receive, OnlyFreshClipsNewerThanTheLastReachTheClipboard) {
    const std::int64_t end = std::numeric_limits<std::int64_t>::max();
    // created (from now), written, written once a clip of a second ago follows
    const std::tuple<std::int64_t, bool, int> cases[] = {{-120000, true, 2},
                                                         {-120001, false, 1},
                                                         {120000, true, 1},
                                                         {120001, false, 1},
                                                         {end, false, 1}};
    for (const auto& [created, written, afterwards] : cases) {
        Harness h;
        const Group group = h.launchWithHost();
        h.now += 200000;
        h.deliver({sealedAt("text", group, created == end ? end : h.now + created)});
        EXPECT_EQ(h.history(), QStringList{"text"}) << created;
        EXPECT_EQ(h.pasteboard.written.size(), written ? 1 : 0) << created;
        h.deliver({sealedAt("a second ago", group, h.now - 1000)});
        EXPECT_EQ(h.pasteboard.written.size(), afterwards) << created;
    }
}

TEST(Receive, HistoryKeepsTwentyAndTheThousandAndFirstIdReplacesTheSeenSet) {
    Harness h;
    const Group group = h.launchWithHost();
    std::vector<Envelope> clips;
    for (int i = 0; i < 1001; ++i)
        clips.push_back(sealedAt("clip " + std::to_string(i), group, h.now - 2000 + i));
    h.deliver(clips);
    EXPECT_EQ(h.history().size(), 20);
    EXPECT_EQ(h.history().back(), "clip 981");
    h.deliver({clips.front(), clips.back()});
    EXPECT_EQ(h.history().mid(0, 2), (QStringList{"clip 0", "clip 1000"}));
}
