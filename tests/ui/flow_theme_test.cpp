// The resource bundle, its lookup, the typefaces, the artwork and the symbol
// icons.
#include "flow_icon_provider.h"
#include "flow_theme.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephlink;

namespace {

// The colour of the most opaque pixel, and how many pixels are painted.
std::pair<QRgb, int> ink(const QImage& image) {
    int painted = 0;
    int best = 0;
    QRgb strongest = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            painted += pixel.alpha() > 0 ? 1 : 0;
            if (pixel.alpha() > best) {
                best = pixel.alpha();
                strongest = pixel.rgb();
            }
        }
    }
    return {strongest, painted};
}

} // namespace

TEST(BundleLookup, PrefersTheInstalledResourcesThenBesideTheProgramThenTheBuild) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    for (const char* directory : {"share/zephlink", "bin", "build/src"})
        ASSERT_TRUE(QDir().mkpath(QDir(root.filePath(directory)).filePath(kBundleName)));
    const auto bundleIn = [&](const char* directory) {
        return QDir(root.filePath(directory)).filePath(kBundleName);
    };
    const QString build = bundleIn("build/src");
    EXPECT_EQ(locateBundle(root.filePath("share/zephlink"), root.filePath("bin"), build).path,
              bundleIn("share/zephlink"));
    EXPECT_EQ(locateBundle(root.filePath("share/nothing"), root.filePath("bin"), build).path,
              bundleIn("bin"));
    EXPECT_EQ(locateBundle(root.filePath("share/nothing"), root.filePath("else"), build).path,
              build);
    EXPECT_EQ(locateBundle(QString(), QString(), build).path, build);

    // A file of the bundle's name is no bundle.
    QFile impostor(root.filePath(kBundleName));
    ASSERT_TRUE(impostor.open(QIODevice::WriteOnly));
    impostor.close();
    const BundleLookup found = locateBundle(root.path(), root.path(), root.filePath(kBundleName));
    EXPECT_FALSE(found.path.has_value());
    EXPECT_EQ(found.tried, root.filePath(kBundleName));
}

TEST(BundleLookupDeathTest, MissingEverywhereStopsWithThePathTried) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const BundleLookup missing =
        locateBundle("/nonexistent/share/zephlink", "/nonexistent/bin", "/nonexistent/build");
    EXPECT_FALSE(missing.path.has_value());
    EXPECT_EXIT(bundleOrExit(missing), testing::ExitedWithCode(1),
                "(^|\n)could not load resource bundle: from "
                "/nonexistent/bin/Zephlink_Zephlink\\.bundle\n");
}

TEST(FlowTheme, ArtworkIsFoundByNameAndNothingElseIs) {
    FlowThemeSingleton theme;
    for (const char* art : {"flow_mascot", "flow_mac_onboarding_cutout"}) {
        const QUrl url = theme.artwork(art);
        ASSERT_TRUE(url.isLocalFile()) << art;
        EXPECT_FALSE(QImage(url.toLocalFile()).isNull()) << art;
    }
    for (const char* hostile : {"no_such_art", "../CMakeCache", "/etc/passwd"})
        EXPECT_TRUE(theme.artwork(hostile).isEmpty()) << hostile;
}

TEST(FlowIconProvider, DrawsEverySymbolInTheAskedColourAndSize) {
    for (const char* symbol :
         {"paperclip", "gearshape", "arrow.left", "arrow.right", "pause.circle", "play.circle",
          "smartphone", "desktopcomputer", "link", "doc.text", "doc.on.doc"}) {
        const QImage image =
            FlowIconProvider::render(FlowTheme::bundle(), symbol, FlowTheme::teal(), {40, 40});
        EXPECT_EQ(image.size(), QSize(40, 40)) << symbol;
        const auto [strongest, painted] = ink(image);
        EXPECT_EQ(strongest, FlowTheme::teal().rgb()) << symbol;
        EXPECT_GT(painted, 40) << symbol << " draws almost nothing";
        EXPECT_LT(painted, 40 * 40 * 3 / 4) << symbol << " is a filled square";
    }
}

TEST(FlowIconProvider, RefusesNamesThatLeaveTheIconsFolder) {
    for (const char* hostile :
         {"", "../icons/link", "link/../link", "..", "/etc/passwd", "nosuchsymbol"}) {
        EXPECT_TRUE(
            FlowIconProvider::render(FlowTheme::bundle(), hostile, FlowTheme::ink(), {24, 24})
                .isNull())
            << hostile;
    }
    EXPECT_FALSE(FlowIconProvider::validName(QString(65, QChar(u'a'))));
    EXPECT_TRUE(FlowIconProvider::validName("doc.on.doc"));
}

TEST(FlowIconProvider, ReadsItsUrlsAndBoundsTheSize) {
    EXPECT_EQ(FlowIconProvider::source("link", QColor(4, 51, 67), 40).toString(),
              "image://flowicon/link/043343/40");
    FlowIconProvider provider;
    const std::tuple<const char*, QSize, QSize> cases[] = {
        {"link/043343/40", QSize(), QSize(40, 40)},
        {"link/043343/40", QSize(18, 18), QSize(18, 18)}, // the view's own size wins
        {"link/043343/999999", QSize(), QSize(512, 512)},
        {"link/043343/-5", QSize(), QSize(24, 24)},
        {"link/not-a-colour/20", QSize(), QSize(0, 0)},
    };
    for (const auto& [id, requested, expected] : cases) {
        QSize size(-2, -2);
        const QImage image = provider.requestImage(id, &size, requested);
        EXPECT_EQ(image.size(), expected) << id;
        EXPECT_EQ(size, image.size()) << id;
    }
    EXPECT_EQ(ink(provider.requestImage("link/043343/40", nullptr, QSize())).first,
              QColor(4, 51, 67).rgb());
    EXPECT_EQ(ink(provider.requestImage("link", nullptr, QSize())).first, FlowTheme::ink().rgb());
}
