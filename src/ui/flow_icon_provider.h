#pragma once

// Draws the bundle's symbol icons (icons/<name>.svg, stroked in
// "currentColor") in the colour a view asks for.
#include <QColor>
#include <QQuickImageProvider>
#include <QUrl>

namespace zephlink {

class FlowIconProvider : public QQuickImageProvider {
public:
    // The engine's image provider id: image://flowicon/<name>/<rrggbb>/<pixels>.
    static constexpr char kId[] = "flowicon";
    // Icons have no size of their own beyond this when a view asks for none.
    static constexpr int kDefaultSize = 24;
    // Nothing is rendered larger than this, whatever a view asks.
    static constexpr int kMaximumSize = 512;

    FlowIconProvider();

    static QUrl source(const QString& name, const QColor& color, int pixels);
    // Symbol names are dotted lower-case words ("doc.on.doc"), nothing that
    // could leave the icons folder.
    static bool validName(const QString& name);
    // The icon drawn in color at size (within 1 and kMaximumSize; the
    // default size otherwise); a null image for an unknown name.
    static QImage render(const QString& bundle, const QString& name, const QColor& color,
                         QSize size);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace zephlink
