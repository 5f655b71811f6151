#include "flow_icon_provider.h"

#include "flow_theme.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <algorithm>

namespace zephlink {

namespace {

// An icon file is a few hundred bytes; anything far larger is not ours.
constexpr qint64 kMaximumIconBytes = 64 * 1024;

int boundedSide(int side) {
    if (side <= 0)
        return FlowIconProvider::kDefaultSize;
    return std::min(side, FlowIconProvider::kMaximumSize);
}

} // namespace

FlowIconProvider::FlowIconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

QUrl FlowIconProvider::source(const QString& name, const QColor& color, int pixels) {
    const QString rgb = color.name(QColor::HexRgb).mid(1);
    return QUrl(QStringLiteral("image://%1/%2/%3/%4")
                    .arg(QLatin1String(kId), name, rgb, QString::number(pixels)));
}

bool FlowIconProvider::validName(const QString& name) {
    if (name.isEmpty() || name.size() > 64 || name.startsWith(u'.') || name.endsWith(u'.') ||
        name.contains(QStringLiteral("..")))
        return false;
    for (const QChar c : name) {
        if (!((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_'))
            return false;
    }
    return true;
}

QImage FlowIconProvider::render(const QString& bundle, const QString& name, const QColor& color,
                                QSize size) {
    if (!validName(name) || !color.isValid())
        return QImage();
    QFile file(QDir(bundle).filePath(QStringLiteral("icons/%1.svg").arg(name)));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaximumIconBytes)
        return QImage();
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    QBuffer buffer(&svg);
    if (!buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(boundedSide(size.width()), boundedSide(size.height())));
    return reader.read();
}

QImage FlowIconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    // id is "<name>/<rrggbb>/<pixels>"; a size the view asks for wins.
    const QStringList parts = id.split(u'/');
    const QString name = parts.value(0);
    const QColor color =
        parts.size() > 1 ? QColor(QStringLiteral("#") + parts.at(1)) : FlowTheme::ink();
    const int pixels = parts.value(2).toInt();
    const QSize wanted = requestedSize.isValid() ? requestedSize : QSize(pixels, pixels);
    const QImage image = render(FlowTheme::bundle(), name, color, wanted);
    if (size)
        *size = image.size();
    return image;
}

} // namespace zephlink
