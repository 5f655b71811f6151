// The real X11 clipboard under Xvfb, with xclip and a small offering program
// playing the user and other applications. What reaches capture is checked
// end to end (two_desktops.sh).
#include "qt_pasteboard.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

using namespace zephlink;

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
