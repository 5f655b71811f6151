#include "flow_theme.h"

#include "flow_icon_provider.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <cstdio>
#include <cstdlib>

#ifndef ZEPHLINK_BUILD_BUNDLE
#error "ZEPHLINK_BUILD_BUNDLE must name the bundle in the build output directory"
#endif

namespace zephlink {

namespace {

QColor rgb255(int red, int green, int blue) {
    return QColor::fromRgb(red, green, blue);
}

QString bundleIn(const QString& directory) {
    return QDir(directory).filePath(QString::fromLatin1(kBundleName));
}

bool opens(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// The files registerFonts looks for, in order: the three Lato weights, then
// the informal face.
constexpr const char* kFontFiles[] = {
    "Lato-Regular.ttf",      "Lato-Bold.ttf",      "Lato-Black.ttf",
    "ComicNeue-Regular.otf", "ComicNeue-Bold.otf",
};

// The bundle of the installation (<prefix>/share/zephlink beside
// <prefix>/bin), beside the program or in the build tree, found once per
// process.
const BundleLookup& moduleBundle() {
    static const BundleLookup lookup = [] {
        const QString programDir = QCoreApplication::applicationDirPath();
        return locateBundle(QDir::cleanPath(programDir + QStringLiteral("/../share/zephlink")),
                            programDir, QString::fromUtf8(ZEPHLINK_BUILD_BUNDLE));
    }();
    return lookup;
}

} // namespace

BundleLookup locateBundle(const QString& resourceDir, const QString& applicationDir,
                          const QString& buildBundle) {
    BundleLookup lookup;
    if (!resourceDir.isEmpty()) {
        const QString candidate = bundleIn(resourceDir);
        if (opens(candidate)) {
            lookup.path = candidate;
            return lookup;
        }
    }
    const QString besideProgram = applicationDir.isEmpty() ? QString() : bundleIn(applicationDir);
    lookup.tried = besideProgram.isEmpty() ? buildBundle : besideProgram;
    if (opens(besideProgram))
        lookup.path = besideProgram;
    else if (opens(buildBundle))
        lookup.path = buildBundle;
    return lookup;
}

QString bundleOrExit(const BundleLookup& lookup) {
    if (lookup.path)
        return *lookup.path;
    std::fprintf(stderr, "%s%s\n", kBundleMissing, lookup.tried.toLocal8Bit().constData());
    std::fflush(stderr);
    std::exit(1);
}

namespace FlowTheme {

QColor ink() {
    return rgb255(4, 51, 67);
}
QColor teal() {
    return rgb255(0, 145, 148);
}
QColor cream() {
    return rgb255(255, 252, 247);
}
QColor muted() {
    return rgb255(78, 103, 117);
}
QColor line() {
    return rgb255(229, 231, 226);
}

QString resourceDirectory() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../share/zephlink"));
}

QString bundle() {
    const QString installed = bundleIn(resourceDirectory());
    if (opens(installed))
        return installed;
    return bundleOrExit(moduleBundle());
}

void registerFonts() {
    registerFonts(bundle());
}

int registerFonts(const QString& directory) {
    int registered = 0;
    for (const char* file : kFontFiles) {
        const QString path = QDir(directory).filePath(QString::fromLatin1(file));
        // A missing or unreadable face falls back to the platform's.
        if (QFileInfo::exists(path) && QFontDatabase::addApplicationFont(path) >= 0)
            ++registered;
    }
    return registered;
}

} // namespace FlowTheme

QColor FlowThemeSingleton::softFill() const {
    return QColor::fromRgbF(0.91f, 0.95f, 0.93f);
}
QColor FlowThemeSingleton::connected() const {
    return QColor::fromRgbF(0.15f, 0.71f, 0.43f);
}
QColor FlowThemeSingleton::gradientStart() const {
    return QColor::fromRgbF(0.03f, 0.62f, 0.61f);
}
QColor FlowThemeSingleton::gradientEnd() const {
    return QColor::fromRgbF(0.00f, 0.43f, 0.48f);
}

QUrl FlowThemeSingleton::artwork(const QString& name) const {
    const QString path = QDir(FlowTheme::bundle()).filePath(name + QStringLiteral(".png"));
    if (!FlowIconProvider::validName(name) || !QFileInfo(path).isFile())
        return QUrl();
    return QUrl::fromLocalFile(path);
}

QUrl FlowThemeSingleton::icon(const QString& name, const QColor& color, int pixels) const {
    return FlowIconProvider::source(name, color, pixels);
}

} // namespace zephlink
