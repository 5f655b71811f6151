// The panel's place and height as a pure function of the screen's available
// area, the tray item and the model.
#include "flow_placement.h"

#include <gtest/gtest.h>

using namespace zephlink;

// How gtest shows a frame that differs.
void PrintTo(const QRectF& r, std::ostream* out) {
    *out << "(" << r.x() << ", " << r.y() << ", " << r.width() << " x " << r.height() << ")";
}

TEST(PanelPlacement, FollowsTheRulesForEveryScreenAndAnchor) {
    struct Case {
        const char* why;
        QRectF available;
        QRectF anchor;
        bool settings;
        bool hasClips;
        QRectF frame;
    };
    // A 1280 x 800 screen with a 25-point top bar; the tray item sits in it.
    const QRectF desktop(0, 25, 1280, 775);
    const QRectF middle(600, 0, 24, 24);
    const QRectF short500(0, 0, 1280, 500);
    const Case cases[] = {
        {"tray item at the right edge: right edge 10 from the area's", desktop,
         QRectF(1240, 0, 24, 24), false, true, QRectF(840, 35, 430, 600)},
        {"tray item in the middle: centred under it", desktop, middle, false, true,
         QRectF(397, 35, 430, 600)},
        {"empty history", desktop, middle, false, false, QRectF(397, 35, 430, 465)},
        {"settings open, whatever the history", desktop, middle, true, false,
         QRectF(397, 35, 430, 525)},
        {"500-high screen with clips: capped at 480", short500, QRectF(600, 0, 0, 0), false, true,
         QRectF(385, 10, 430, 480)},
        {"500-high screen, empty history fits", short500, QRectF(600, 0, 0, 0), false, false,
         QRectF(385, 10, 430, 465)},
        {"anchor low on the screen pushes the panel up to the area's bottom",
         QRectF(0, 0, 1280, 800), QRectF(600, 300, 24, 24), false, true,
         QRectF(397, 190, 430, 600)},
        {"narrow screen: width shrinks, the right edge wins", QRectF(0, 0, 300, 800),
         QRectF(280, 0, 20, 20), false, true, QRectF(10, 28, 280, 600)},
        {"tray at the bottom: panel above it", QRectF(0, 0, 1280, 760), QRectF(1200, 770, 24, 24),
         false, true, QRectF(840, 150, 430, 600)},
    };
    for (const Case& c : cases) {
        const PanelPlacement placement =
            placeClipboardPanel(c.available, c.anchor, c.settings, c.hasClips);
        EXPECT_EQ(placement.frame, c.frame) << c.why;
        EXPECT_EQ(placement.height, c.frame.height()) << c.why;
    }
}

TEST(PanelPlacement, StaysInsideTheInsetAreaAndNeverGoesNegative) {
    const QRectF available(100, 50, 1600, 900);
    const QRectF area = available.adjusted(10, 10, -10, -10);
    for (int x = -500; x <= 2500; x += 125) {
        for (int y = -200; y <= 1300; y += 100) {
            for (const bool clips : {false, true}) {
                const QRectF frame =
                    placeClipboardPanel(available, QRectF(x, y, 22, 22), false, clips).frame;
                EXPECT_TRUE(area.contains(frame)) << "anchor at " << x << "," << y;
            }
        }
    }
    for (const QRectF& tiny : {QRectF(0, 0, 10, 10), QRectF(0, 0, 0, 0), QRectF(5, 5, 19, 3)}) {
        const PanelPlacement placement = placeClipboardPanel(tiny, QRectF(0, 0, 1, 1), true, true);
        EXPECT_GE(placement.frame.width(), 0);
        EXPECT_GE(placement.frame.height(), 0);
        EXPECT_EQ(placement.height, placement.frame.height());
    }
}
