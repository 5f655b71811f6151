#pragma once

// The palette, the typefaces and the resource bundle that every view draws
// with, in C++ and as the QML singleton FlowTheme.
#include <QColor>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>
#include <optional>

namespace zephlink {

// The directory that holds the typefaces, the artwork and the symbol icons.
inline constexpr char kBundleName[] = "Zephlink_Zephlink.bundle";
inline constexpr char kBundleMissing[] = "could not load resource bundle: from ";

struct BundleLookup {
    std::optional<QString> path; // the first candidate that exists
    QString tried;               // what the failure message names
};

// Tries, in order, <resourceDir>/Zephlink_Zephlink.bundle,
// <applicationDir>/Zephlink_Zephlink.bundle and buildBundle.
BundleLookup locateBundle(const QString& resourceDir, const QString& applicationDir,
                          const QString& buildBundle);
// The bundle found, or the failure message on standard error and exit
// status 1.
QString bundleOrExit(const BundleLookup& lookup);

namespace FlowTheme {

QColor ink();
QColor teal();
QColor cream();
QColor muted();
QColor line();

// Lato, registered from the bundle; the informal face stands in for the
// design's handwriting face.
inline constexpr char kFamily[] = "Lato";
inline constexpr char kInformalFamily[] = "Comic Neue";

// The installed application's resource directory: <prefix>/share/zephlink
// beside <prefix>/bin.
QString resourceDirectory();
// The bundle, looked up on every use; prints "could not load resource
// bundle: from " and the path tried, and exits with status 1, when there is
// none.
QString bundle();
// Registers the Lato files (and the informal face) found in the bundle for
// this process. Missing files are skipped.
void registerFonts();
// The same from a given directory; the number of faces registered.
int registerFonts(const QString& directory);

} // namespace FlowTheme

// FlowTheme as QML sees it.
class FlowThemeSingleton : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(FlowTheme)
    QML_SINGLETON
    Q_PROPERTY(QColor ink READ ink CONSTANT)
    Q_PROPERTY(QColor teal READ teal CONSTANT)
    Q_PROPERTY(QColor cream READ cream CONSTANT)
    Q_PROPERTY(QColor muted READ muted CONSTANT)
    Q_PROPERTY(QColor line READ line CONSTANT)
    // The soft button's fill and the connected dot.
    Q_PROPERTY(QColor softFill READ softFill CONSTANT)
    Q_PROPERTY(QColor connected READ connected CONSTANT)
    // The primary button's gradient, top-leading to bottom-trailing.
    Q_PROPERTY(QColor gradientStart READ gradientStart CONSTANT)
    Q_PROPERTY(QColor gradientEnd READ gradientEnd CONSTANT)
    Q_PROPERTY(QString family READ family CONSTANT)
    Q_PROPERTY(QString informalFamily READ informalFamily CONSTANT)

public:
    explicit FlowThemeSingleton(QObject* parent = nullptr) : QObject(parent) {}

    QColor ink() const { return FlowTheme::ink(); }
    QColor teal() const { return FlowTheme::teal(); }
    QColor cream() const { return FlowTheme::cream(); }
    QColor muted() const { return FlowTheme::muted(); }
    QColor line() const { return FlowTheme::line(); }
    QColor softFill() const;
    QColor connected() const;
    QColor gradientStart() const;
    QColor gradientEnd() const;
    QString family() const { return QString::fromLatin1(FlowTheme::kFamily); }
    QString informalFamily() const { return QString::fromLatin1(FlowTheme::kInformalFamily); }

    // The file URL of <name>.png in the bundle, or an empty URL when there
    // is no such image.
    Q_INVOKABLE QUrl artwork(const QString& name) const;
    // The image URL of a symbol icon drawn in color, pixels wide and high.
    Q_INVOKABLE QUrl icon(const QString& name, const QColor& color, int pixels) const;
};

} // namespace zephlink
