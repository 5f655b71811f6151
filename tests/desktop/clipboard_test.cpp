// The real X11 clipboard under Xvfb, with xclip and a small offering
// program playing the user and other applications.
#include "../app/harness.h"
#include "qt_pasteboard.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

using namespace zephlink;
using namespace zephlink::test;

namespace {

constexpr int kWaitMs = 3000;

// xclip stays in the background serving the selection until replaced.
void xclipCopy(const QString& text) {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-i"});
    ASSERT_TRUE(xclip.waitForStarted());
    xclip.write(text.toUtf8());
    xclip.closeWriteChannel();
    ASSERT_TRUE(xclip.waitForFinished(kWaitMs));
}

QString xclipPaste() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-o"});
    // Our own process serves the selection: keep its event loop running.
    QElapsedTimer timer;
    timer.start();
    while (!xclip.waitForFinished(10) && timer.elapsed() < kWaitMs)
        QCoreApplication::processEvents();
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

// Starts the offering program; it serves until the test replaces it.
std::unique_ptr<QProcess> offer(const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral(ZEPHLINK_CLIPBOARD_OFFER), arguments);
    process->waitForStarted();
    return process;
}

// The controller on the real clipboard, connected to a nearby group; its
// other ports are fakes and its background jobs are only recorded.
struct OnRealClipboard : Harness {
    QtPasteboard real;
    Group group = freshGroup("http://127.0.0.1:8788");
    std::vector<QString> captured;

    OnRealClipboard() {
        AppEnvironment env;
        // Rebuild the controller on the real clipboard.
        app.reset();
        env.pasteboard = &real;
        env.settings = &settings;
        env.views = &views;
        env.dialogs = &dialogs;
        env.server.post = [](const Group&, const Envelope&) {};
        env.arguments = {"zephlink"};
        env.hostName = [] { return QStringLiteral("desk"); };
        env.now = [] { return nowMilliseconds(); };
        env.identifier = [] { return identifier(); };
        env.background = jobs.port();
        env.after = [](int, std::function<void()>) {};
        env.discovery = [this](const std::string&, const std::string&, DiscoveryCallback callback) {
            auto made = std::make_unique<FakeDiscovery>();
            made->callback = std::move(callback);
            discovery = made.get();
            return made;
        };
        app = std::make_unique<DazarApp>(std::move(env));
        app->applicationDidFinishLaunching();
        discovery->callback(sessionFor(group), group.server);
        jobs.queue.clear();
    }
    int sends() const { return static_cast<int>(jobs.size()); }
};

} // namespace

TEST(RealClipboard, CopiesCountOnceAndOwnWritesOrAManagerTakingThemOverDoNot) {
    QtPasteboard pasteboard;
    int signalled = 0;
    pasteboard.setChangeListener([&] { ++signalled; });
    const long before = pasteboard.changeCount();
    xclipCopy(QStringLiteral("from xclip"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return signalled == 1; }, kWaitMs));
    EXPECT_EQ(pasteboard.changeCount(), before + 1);
    EXPECT_EQ(pasteboard.string(), QStringLiteral("from xclip"));

    pasteboard.write(QStringLiteral("written here"), {});
    EXPECT_EQ(pasteboard.changeCount(), before + 2);
    EXPECT_EQ(xclipPaste(), QStringLiteral("written here"));
    // A clipboard manager re-offers the same text as its own.
    auto manager = offer({QStringLiteral("written here")});
    EXPECT_TRUE(
        QTest::qWaitFor([] { return !QGuiApplication::clipboard()->ownsClipboard(); }, kWaitMs));
    QTest::qWait(200);
    EXPECT_EQ(pasteboard.changeCount(), before + 2);
    EXPECT_EQ(signalled, 1) << "own writes are not signalled";
    xclipCopy(QStringLiteral("a real copy"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return pasteboard.changeCount() == before + 3; }, kWaitMs));
    manager->waitForFinished(kWaitMs);
}

TEST(RealClipboard, ACopyReachesCaptureButSecretsAndOwnWritesDoNot) {
    OnRealClipboard h;
    xclipCopy(QStringLiteral("plain copy"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.sends() == 1; }, 600))
        << "a copy leaves before the next capture tick";
    h.jobs.run(); // the post completes; nothing is in flight any more

    auto secret =
        offer({QStringLiteral("hunter2"), QStringLiteral("x-kde-passwordManagerHint=secret")});
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return h.real.string() == QStringLiteral("hunter2"); }, kWaitMs));
    QTest::qWait(700);
    EXPECT_EQ(h.sends(), 0) << "the password manager's copy is never sent";

    auto concealed =
        offer({QStringLiteral("hunter3"), QStringLiteral("org.nspasteboard.ConcealedType=")});
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return h.real.string() == QStringLiteral("hunter3"); }, kWaitMs));
    QTest::qWait(700);
    EXPECT_EQ(h.sends(), 0);

    h.app->writeClipboard(QStringLiteral("received from a peer"));
    QTest::qWait(700);
    EXPECT_EQ(h.sends(), 0) << "own writes are not captured";
    EXPECT_EQ(xclipPaste(), QStringLiteral("received from a peer"));
    secret->waitForFinished(kWaitMs);
    concealed->waitForFinished(kWaitMs);
}
