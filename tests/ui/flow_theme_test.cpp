// The resource bundle, its lookup, the typefaces, the artwork and the symbol
// icons.
#include "flow_icon_provider.h"
#include "flow_theme.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephlink;

namespace {

const char* const kSymbols[] = {"paperclip",    "gearshape",   "arrow.left", "arrow.right",
                                "pause.circle", "play.circle", "smartphone", "desktopcomputer",
                                "link",         "doc.text",    "doc.on.doc"};

QString makeBundle(const QTemporaryDir& root, const QString& directory) {
    const QString path = QDir(root.filePath(directory)).filePath(kBundleName);
    EXPECT_TRUE(QDir().mkpath(path));
    return path;
}

// How much of the image is painted, and in which colour mostly.
struct Ink {
    int painted = 0;
    QColor strongest;
};

Ink inkOf(const QImage& image) {
    Ink ink;
    int best = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() > 0)
                ++ink.painted;
            if (pixel.alpha() > best) {
                best = pixel.alpha();
                ink.strongest = pixel;
            }
        }
    }
    return ink;
}

} // namespace

TEST(FlowTheme, PaletteHasTheDesignsFiveColours) {
    EXPECT_EQ(FlowTheme::ink(), QColor(4, 51, 67));
    EXPECT_EQ(FlowTheme::teal(), QColor(0, 145, 148));
    EXPECT_EQ(FlowTheme::cream(), QColor(255, 252, 247));
    EXPECT_EQ(FlowTheme::muted(), QColor(78, 103, 117));
    EXPECT_EQ(FlowTheme::line(), QColor(229, 231, 226));
    for (const QColor& colour : {FlowTheme::ink(), FlowTheme::teal(), FlowTheme::cream(),
                                 FlowTheme::muted(), FlowTheme::line()})
        EXPECT_EQ(colour.alpha(), 255);
}

TEST(BundleLookup, PrefersTheInstalledResourcesThenBesideTheProgramThenTheBuild) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString installed = makeBundle(root, "share/zephlink");
    const QString beside = makeBundle(root, "bin");
    const QString build = makeBundle(root, "build/src");

    BundleLookup found = locateBundle(root.filePath("share/zephlink"), root.filePath("bin"), build);
    EXPECT_EQ(found.path, installed);
    found = locateBundle(root.filePath("share/nothing"), root.filePath("bin"), build);
    EXPECT_EQ(found.path, beside);
    found = locateBundle(root.filePath("share/nothing"), root.filePath("elsewhere"), build);
    EXPECT_EQ(found.path, build);
    found = locateBundle(QString(), QString(), build);
    EXPECT_EQ(found.path, build);
}

TEST(BundleLookup, AFileOfTheBundlesNameIsNoBundle) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    QFile impostor(root.filePath(kBundleName));
    ASSERT_TRUE(impostor.open(QIODevice::WriteOnly));
    impostor.close();
    const BundleLookup found = locateBundle(root.path(), root.path(), root.filePath(kBundleName));
    EXPECT_FALSE(found.path.has_value());
    EXPECT_EQ(found.tried, QDir(root.path()).filePath(kBundleName));
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

TEST(FlowTheme, BuildBundleHoldsTypefacesArtworkAndEverySymbol) {
    const QDir bundle(FlowTheme::bundle());
    for (const char* file : {"Lato-Regular.ttf", "Lato-Bold.ttf", "Lato-Black.ttf",
                             "flow_mascot.png", "flow_mac_onboarding_cutout.png"})
        EXPECT_TRUE(QFileInfo(bundle.filePath(file)).isFile()) << file;
    for (const char* symbol : kSymbols)
        EXPECT_TRUE(QFileInfo(bundle.filePath(QString("icons/%1.svg").arg(symbol))).isFile())
            << symbol;
}

TEST(FlowTheme, RegistersTheBundledFacesAndSkipsMissingOnes) {
    EXPECT_EQ(FlowTheme::registerFonts(FlowTheme::bundle()), 5);
    EXPECT_TRUE(QFontDatabase::families().contains("Lato"));
    EXPECT_TRUE(QFontDatabase::families().contains(FlowTheme::kInformalFamily));

    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    EXPECT_EQ(FlowTheme::registerFonts(empty.path()), 0);
    QFile broken(QDir(empty.path()).filePath("Lato-Bold.ttf"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not a font");
    broken.close();
    EXPECT_EQ(FlowTheme::registerFonts(empty.path()), 0);
}

TEST(FlowTheme, ArtworkIsFoundByNameAndNothingElseIs) {
    FlowThemeSingleton theme;
    const QUrl mascot = theme.artwork("flow_mascot");
    ASSERT_TRUE(mascot.isLocalFile());
    EXPECT_FALSE(QImage(mascot.toLocalFile()).isNull());
    EXPECT_FALSE(theme.artwork("flow_mac_onboarding_cutout").isEmpty());
    for (const char* hostile : {"no_such_art", "", "../CMakeCache", "icons/link", "/etc/passwd",
                                "flow_mascot.png", "FLOW_MASCOT"})
        EXPECT_TRUE(theme.artwork(hostile).isEmpty()) << hostile;
}

TEST(FlowIconProvider, DrawsEverySymbolInTheAskedColourAndSize) {
    const QColor tint = FlowTheme::teal();
    for (const char* symbol : kSymbols) {
        const QImage image = FlowIconProvider::render(FlowTheme::bundle(), symbol, tint, {40, 40});
        ASSERT_FALSE(image.isNull()) << symbol;
        EXPECT_EQ(image.size(), QSize(40, 40)) << symbol;
        const Ink ink = inkOf(image);
        EXPECT_GT(ink.painted, 40) << symbol << " draws almost nothing";
        EXPECT_LT(ink.painted, 40 * 40 * 3 / 4) << symbol << " is a filled square";
        EXPECT_EQ(ink.strongest.rgb(), tint.rgb()) << symbol;
    }
}

TEST(FlowIconProvider, RefusesNamesThatLeaveTheIconsFolder) {
    for (const char* hostile :
         {"", "../icons/link", "link/../link", "..", ".link", "link.", "a..b", "LINK", "link ",
          "/etc/passwd", "doc.text\n", "paperclip%2f..", "nosuchsymbol"}) {
        EXPECT_TRUE(
            FlowIconProvider::render(FlowTheme::bundle(), hostile, FlowTheme::ink(), {24, 24})
                .isNull())
            << hostile;
    }
    EXPECT_FALSE(FlowIconProvider::validName(QString(65, QChar(u'a'))));
    EXPECT_TRUE(FlowIconProvider::validName("doc.on.doc"));
}

TEST(FlowIconProvider, ReadsItsUrlsAndBoundsTheSize) {
    FlowIconProvider provider;
    const QUrl url = FlowIconProvider::source("link", QColor(4, 51, 67), 40);
    EXPECT_EQ(url.toString(), "image://flowicon/link/043343/40");

    QSize size;
    QImage image = provider.requestImage("link/043343/40", &size, QSize());
    EXPECT_EQ(image.size(), QSize(40, 40));
    EXPECT_EQ(size, QSize(40, 40));
    EXPECT_EQ(inkOf(image).strongest.rgb(), QColor(4, 51, 67).rgb());

    image = provider.requestImage("link/043343/40", &size, QSize(18, 18));
    EXPECT_EQ(image.size(), QSize(18, 18)) << "the view's own size wins";
    image = provider.requestImage("link", &size, QSize());
    EXPECT_EQ(image.size(), QSize(24, 24));
    EXPECT_EQ(inkOf(image).strongest.rgb(), FlowTheme::ink().rgb());
    image = provider.requestImage("link/043343/999999", &size, QSize());
    EXPECT_EQ(image.size(), QSize(512, 512));
    image = provider.requestImage("link/043343/-5", &size, QSize());
    EXPECT_EQ(image.size(), QSize(24, 24));
    image = provider.requestImage("link/not-a-colour/20", &size, QSize());
    EXPECT_TRUE(image.isNull());
    EXPECT_TRUE(size.isEmpty());
}
