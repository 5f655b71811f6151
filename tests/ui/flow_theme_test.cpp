// The artwork and the symbol icons: found by name only, at a bounded size.
#include "flow_icon_provider.h"
#include "flow_theme.h"

#include <gtest/gtest.h>

using namespace zephlink;

TEST(FlowTheme, ArtworkAndIconsAreFoundByNameAndNothingElseIs) {
    FlowThemeSingleton theme;
    EXPECT_FALSE(QImage(theme.artwork("flow_mascot").toLocalFile()).isNull());
    for (const char* hostile : {"no_such_art", "../CMakeCache", "/etc/passwd"})
        EXPECT_TRUE(theme.artwork(hostile).isEmpty()) << hostile;
    for (const char* hostile : {"", "../icons/link", "link/../link", "..", "/etc/passwd", "nosuch"})
        EXPECT_TRUE(
            FlowIconProvider::render(FlowTheme::bundle(), hostile, FlowTheme::ink(), {24, 24})
                .isNull())
            << hostile;
    EXPECT_FALSE(FlowIconProvider::validName(QString(65, 'a')));
}

TEST(FlowIconProvider, DrawsAtABoundedSize) {
    FlowIconProvider provider;
    // id, size asked by the view, size drawn
    const std::tuple<const char*, QSize, QSize> cases[] = {
        {"link/043343/40", QSize(), QSize(40, 40)},
        {"link/043343/40", QSize(18, 18), QSize(18, 18)},
        {"link/043343/999999", QSize(), QSize(512, 512)},
        {"link/043343/-5", QSize(), QSize(24, 24)},
        {"link/not-a-colour/20", QSize(), QSize(0, 0)},
    };
    for (const auto& [id, requested, expected] : cases) {
        QSize size;
        EXPECT_EQ(provider.requestImage(id, &size, requested).size(), expected) << id;
        EXPECT_EQ(size, expected) << id;
    }
}
