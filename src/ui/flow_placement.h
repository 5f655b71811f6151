#pragma once

// Where the clipboard panel goes and how tall it is: a pure function of the
// screen's available area, the tray item it hangs from and the model.
#include <QRectF>

namespace zephlink {

inline constexpr double kPanelWidth = 430;
inline constexpr double kPanelInset = 10; // kept free on every side of the area
inline constexpr double kPanelGap = 8;    // between the tray item and the panel
inline constexpr double kSettingsHeight = 525;
inline constexpr double kClipsHeight = 600;
inline constexpr double kEmptyHeight = 465;

struct PanelPlacement {
    QRectF frame;  // in screen coordinates, y pointing down
    double height; // what the popover lays itself out to
};

// The panel is centred under the anchor, 8 points below it, and kept inside
// the available area inset by 10; the right edge wins when the area is too
// narrow. An anchor in the lower half of the area (a tray at the bottom of
// the screen) gets the mirror image: the panel sits 8 points above it.
PanelPlacement placeClipboardPanel(const QRectF& available, const QRectF& anchor, bool settings,
                                   bool hasClips);

} // namespace zephlink
