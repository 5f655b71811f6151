#include "flow_placement.h"

#include <algorithm>

namespace zephlink {

PanelPlacement placeClipboardPanel(const QRectF& available, const QRectF& anchor, bool settings,
                                   bool hasClips) {
    const QRectF area = available.adjusted(kPanelInset, kPanelInset, -kPanelInset, -kPanelInset);
    const double wanted = settings ? kSettingsHeight : (hasClips ? kClipsHeight : kEmptyHeight);
    const double height = std::max(0.0, std::min(wanted, area.height()));
    const double width = std::max(0.0, std::min(kPanelWidth, area.width()));

    double x = std::max(area.left(), anchor.center().x() - width / 2);
    x = std::min(x, area.right() - width);

    // Kept inside the area; the bottom edge wins, as the right edge does.
    const double wantedTop = anchor.center().y() > area.center().y()
                                 ? anchor.top() - kPanelGap - height
                                 : anchor.bottom() + kPanelGap;
    const double y = std::min(std::max(area.top(), wantedTop), area.bottom() - height);
    return {QRectF(x, y, width, height), height};
}

} // namespace zephlink
