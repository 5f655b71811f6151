// The panel's place and height, and what a clip row shows.
#include "flow_placement.h"
#include "ui_support.h"

using namespace zephlink;
using namespace zephlink::test;

TEST(FlowClipList, ARowShowsOneLineAndOnlyHttpTextIsALink) {
    FlowClipList list;
    list.setTexts(
        {"line one\nline two", QString(400, 'x'), "https://a.example", " http://b.example"});
    const auto role = [&](int row, int which) { return list.data(list.index(row), which); };
    EXPECT_EQ(role(0, FlowClipList::LineRole).toString(), "line one line two");
    EXPECT_EQ(role(0, FlowClipList::ClipRole).toString(), "line one\nline two");
    EXPECT_EQ(role(1, FlowClipList::LineRole).toString().size(), 300);
    EXPECT_EQ(role(2, FlowClipList::LinkRole).toBool(), true);
    EXPECT_EQ(role(3, FlowClipList::LinkRole).toBool(), false) << "only text beginning with http";
}

TEST(PanelPlacement, FollowsTheRulesForEveryScreenAndAnchor) {
    const QRectF desktop(0, 25, 1280, 775);
    // available area, anchor, settings, clips, the frame
    const std::tuple<QRectF, QRectF, bool, bool, QRectF> cases[] = {
        {desktop, QRectF(1240, 0, 24, 24), false, true, QRectF(840, 35, 430, 600)},
        {desktop, QRectF(600, 0, 24, 24), false, false, QRectF(397, 35, 430, 465)},
        {desktop, QRectF(600, 0, 24, 24), true, false, QRectF(397, 35, 430, 525)},
        {QRectF(0, 0, 1280, 500), QRectF(600, 0, 0, 0), false, true, QRectF(385, 10, 430, 480)},
        {QRectF(0, 0, 300, 800), QRectF(280, 0, 20, 20), false, true, QRectF(10, 28, 280, 600)},
        {QRectF(0, 0, 1280, 760), QRectF(1200, 770, 24, 24), false, true,
         QRectF(840, 150, 430, 600)},
    };
    for (const auto& [available, anchor, settings, clips, frame] : cases) {
        const PanelPlacement placement = placeClipboardPanel(available, anchor, settings, clips);
        EXPECT_EQ(placement.frame, frame) << frame.x() << "," << frame.y();
        EXPECT_EQ(placement.height, frame.height());
    }
    const QRectF available(100, 50, 1600, 900);
    for (int x = -500; x <= 2500; x += 250)
        for (int y = -200; y <= 1300; y += 300)
            EXPECT_TRUE(
                available.adjusted(10, 10, -10, -10)
                    .contains(
                        placeClipboardPanel(available, QRectF(x, y, 22, 22), false, true).frame));
    const QRectF tiny =
        placeClipboardPanel(QRectF(5, 5, 19, 3), QRectF(0, 0, 1, 1), true, true).frame;
    EXPECT_TRUE(tiny.width() >= 0 && tiny.height() >= 0);
}
