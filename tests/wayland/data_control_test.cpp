#include "clip.h"
#include "data_control_pasteboard.h"
#include "fake_compositor.h"
#include "wayland_session.h"

#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 5000;
const char* const kSocket = "zephlink-test-0";
const std::string kUtf8 = "text/plain;charset=utf-8";
const std::string kHint = "x-kde-passwordManagerHint";

struct DataControl : ::testing::Test {
    QTemporaryDir runtime;
    std::unique_ptr<FakeCompositor> compositor;
    std::unique_ptr<DataControlPasteboard> port;
    int signalled = 0;

    void SetUp() override { qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8()); }
    void start(std::map<std::string, std::string> before = {}) {
        compositor = std::make_unique<FakeCompositor>(kSocket);
        if (!before.empty())
            compositor->copy(std::move(before));
        port =
            std::make_unique<DataControlPasteboard>(DataControlPasteboard::Protocol::Ext, kSocket);
        port->setChangeListener([this] { ++signalled; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return compositor->devicesMade == 1; }, kWaitMs));
    }
    bool counts(long n) {
        return QTest::qWaitFor([&] { return port->changeCount() == n; }, kWaitMs) && signalled == n;
    }
    // What another program pastes from our own selection.
    QByteArray paste(const std::string& type) {
        int fd = -1;
        if (!QTest::qWaitFor([&] { return (fd = compositor->paste(type)) >= 0; }, kWaitMs))
            return "(not our selection)";
        QByteArray bytes;
        char buffer[4096];
        const bool ended = QTest::qWaitFor(
            [&] {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0)
                    bytes.append(buffer, n);
                return n == 0;
            },
            kWaitMs);
        ::close(fd);
        return ended ? bytes : QByteArray("(never ended)");
    }
};

} // namespace

TEST_F(DataControl, TheChoiceFollowsTheCompositorsGlobals) {
    FakeCompositor fake(kSocket);
    auto probe = std::async(std::launch::async, [] { return compositorGlobals(kSocket, kWaitMs); });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return probe.wait_for(0s) == std::future_status::ready; }, kWaitMs));
    const auto globals = probe.get();
    ASSERT_TRUE(globals);
    EXPECT_EQ(chooseClipboard(*globals, true), ClipboardAccess::DataControlExt);
    EXPECT_FALSE(compositorGlobals("zephlink-nobody-listens", kWaitMs));
    using G = std::vector<std::string>;
    using enum ClipboardAccess;
    EXPECT_EQ(chooseClipboard(G{"zwlr_data_control_manager_v1", "wl_seat"}, true), DataControlWlr);
    EXPECT_EQ(chooseClipboard(G{"wl_seat"}, true), None);
    EXPECT_EQ(chooseClipboard(G{"gtk_shell1", "wl_seat"}, true), XWayland);
    EXPECT_EQ(chooseClipboard(G{"gtk_shell1", "wl_seat"}, false), None);
}

TEST_F(DataControl, CopiesCountOnceAndSecretsAndOwnWritesDoNot) {
    start({{"text/plain", "on the clipboard before"}});
    // Read, so that a send by hand finds it, but not counted as a copy.
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->string().has_value(); }, kWaitMs));
    EXPECT_EQ(*port->string(), QStringLiteral("on the clipboard before"));
    EXPECT_EQ(port->changeCount(), 0);

    compositor->copy({{kUtf8, "ünïcödé"}, {"text/plain", "latin-1 fallback"}});
    ASSERT_TRUE(counts(1));
    EXPECT_EQ(port->string(), QStringLiteral("ünïcödé"));
    EXPECT_EQ(compositor->receives.back(), kUtf8);

    compositor->copy({{"UTF8_STRING", "in the old type"}});
    ASSERT_TRUE(counts(2));
    EXPECT_EQ(port->string(), QStringLiteral("in the old type"));

    // Marked copies are counted but their text is never read.
    const std::size_t reads = compositor->receives.size();
    compositor->copy({{"text/plain", "hunter2"}, {kHint, "secret"}});
    ASSERT_TRUE(counts(3));
    EXPECT_EQ(port->data(QString::fromStdString(kHint)), QByteArray("secret"));
    EXPECT_FALSE(port->string());
    compositor->copy({{"text/plain", "hunter3"}, {"org.nspasteboard.ConcealedType", ""}});
    ASSERT_TRUE(counts(4));
    EXPECT_TRUE(port->types().contains(QStringLiteral("org.nspasteboard.ConcealedType")));
    EXPECT_FALSE(port->string());
    EXPECT_EQ(compositor->receives.size(), reads + 1) << "only the hint was read";

    // An own write counts once at once and is served from memory; the
    // compositor's echo of it and a manager taking it over do not count.
    port->write(QStringLiteral("received"), {{QString::fromStdString(kHint), "secret"}});
    EXPECT_EQ(port->changeCount(), 5);
    EXPECT_EQ(port->string(), QStringLiteral("received"));
    EXPECT_EQ(paste(kUtf8), QByteArray("received"));
    EXPECT_EQ(paste("UTF8_STRING"), QByteArray("received"));
    EXPECT_EQ(paste(kHint), QByteArray("secret"));
    compositor->copy({{"text/plain", "received"}});
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return port->types() == QStringList{"text/plain"}; }, kWaitMs));
    compositor->copy({{"text/plain", "a real copy"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->string() == "a real copy"; }, kWaitMs));
    EXPECT_EQ(port->changeCount(), 6);
    EXPECT_EQ(signalled, 6 - 1) << "the own write itself is not signalled";
}

TEST_F(DataControl, ReadsAreBoundedAndARestartedCompositorIsFoundAgain) {
    start();
    compositor->stall = true;
    compositor->copy({{"text/plain", "never served"}});
    QElapsedTimer loop;
    loop.start();
    QTest::qWait(100);
    EXPECT_LT(loop.elapsed(), 1000) << "a stalled read does not block the event loop";
    ASSERT_TRUE(counts(1));
    EXPECT_FALSE(port->string());
    compositor->stall = false;
    compositor->copy({{"text/plain", std::string(1 << 20, 'z')}});
    ASSERT_TRUE(counts(2));
    const auto bytes = port->string()->toUtf8().size();
    EXPECT_GT(bytes, static_cast<qsizetype>(kMaxTextBytes)) << "over the clip size rule";
    EXPECT_LT(bytes, static_cast<qsizetype>(kMaxTextBytes) + 8) << "read no further than needed";

    compositor.reset();
    compositor = std::make_unique<FakeCompositor>(kSocket);
    compositor->copy({{"text/plain", "after the restart"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->string() == "after the restart"; }, kWaitMs));
    EXPECT_EQ(port->changeCount(), 2) << "the selection at bind is not a copy";
}
