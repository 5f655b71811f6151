// The resource bundle's lookup, the artwork and the symbol icons: found by
// name only, drawn in the asked colour, at a bounded size.
#include "flow_icon_provider.h"
#include "flow_theme.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephlink;

TEST(BundleLookup, PrefersTheInstalledResourcesThenBesideTheProgramThenTheBuild) {
    QTemporaryDir root;
    const auto in = [&](const char* directory) {
        return root.filePath(directory) + "/" + kBundleName;
    };
    for (const char* directory : {"share", "bin", "build"})
        ASSERT_TRUE(QDir().mkpath(in(directory)));
    EXPECT_EQ(locateBundle(root.filePath("share"), root.filePath("bin"), in("build")).path,
              in("share"));
    EXPECT_EQ(locateBundle(root.filePath("none"), root.filePath("bin"), in("build")).path,
              in("bin"));
    EXPECT_EQ(locateBundle(root.filePath("none"), root.filePath("else"), in("build")).path,
              in("build"));
    QFile impostor(in("else")); // a file of the bundle's name is no bundle
    ASSERT_TRUE(QDir().mkpath(root.filePath("else")) && impostor.open(QIODevice::WriteOnly));
    impostor.close();
    EXPECT_FALSE(locateBundle(QString(), QString(), in("else")).path);
}

TEST(BundleLookupDeathTest, MissingEverywhereStopsWithThePathTried) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        bundleOrExit(locateBundle("/nonexistent/share", "/nonexistent/bin", "/nonexistent/build")),
        testing::ExitedWithCode(1),
        "(^|\n)could not load resource bundle: from /nonexistent/bin/Zephlink_Zephlink\\.bundle\n");
}

TEST(FlowTheme, ArtworkAndIconsAreFoundByNameAndNothingElseIs) {
    FlowThemeSingleton theme;
    EXPECT_FALSE(QImage(theme.artwork("flow_mascot").toLocalFile()).isNull());
    for (const char* hostile : {"no_such_art", "../CMakeCache", "/etc/passwd"})
        EXPECT_TRUE(theme.artwork(hostile).isEmpty()) << hostile;
    for (const char* hostile : {"", "../icons/link", "link/../link", "..", "/etc/passwd", "nosuch"})
        EXPECT_TRUE(
            FlowIconProvider::render(FlowTheme::bundle(), hostile, FlowTheme::ink(), {24, 24})
                .isNull())
            << hostile;
    EXPECT_FALSE(FlowIconProvider::validName(QString(65, 'a')));
}

TEST(FlowIconProvider, DrawsAtABoundedSize) {
    FlowIconProvider provider;
    // id, size asked by the view, size drawn
    const std::tuple<const char*, QSize, QSize> cases[] = {
        {"link/043343/40", QSize(), QSize(40, 40)},
        {"link/043343/40", QSize(18, 18), QSize(18, 18)},
        {"link/043343/999999", QSize(), QSize(512, 512)},
        {"link/043343/-5", QSize(), QSize(24, 24)},
        {"link/not-a-colour/20", QSize(), QSize(0, 0)},
    };
    for (const auto& [id, requested, expected] : cases) {
        QSize size;
        EXPECT_EQ(provider.requestImage(id, &size, requested).size(), expected) << id;
        EXPECT_EQ(size, expected) << id;
    }
}
