// The pictures the program draws for itself: each index has a picture of
// its own, indexes outside the ranges have none, and each picture shows
// something.

#include <QIcon>
#include <QImage>

#include <gtest/gtest.h>

#include <vector>

#include "gui/icons.h"

namespace vs::gui {
namespace {

QImage Image(const QIcon& icon, int size = 16) {
    return icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Neither empty nor a filled square: some pixels drawn, some left clear.
bool IsAPicture(const QImage& image) {
    int opaque = 0;
    int clear = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            opaque += alpha > 128 ? 1 : 0;
            clear += alpha == 0 ? 1 : 0;
        }
    }
    return opaque > 0 && clear > 0;
}

void ExpectDistinctPictures(const std::vector<QIcon>& icons) {
    for (std::size_t i = 0; i < icons.size(); ++i) {
        ASSERT_FALSE(icons[i].isNull()) << i;
        EXPECT_EQ(Image(icons[i]).size(), QSize(16, 16)) << i;
        EXPECT_TRUE(IsAPicture(Image(icons[i]))) << i;
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(Image(icons[i]), Image(icons[j])) << i << " and " << j;
        }
    }
}

TEST(Icons, MonitorKindsAndStatesEachHaveTheirOwnPicture) {
    std::vector<QIcon> kinds;
    for (int kind = 0; kind < kMonitorKindCount; ++kind) {
        kinds.push_back(MonitorKindIcon(kind));
    }
    ExpectDistinctPictures(kinds);
    std::vector<QIcon> states;
    for (int state = 0; state < kMonitorStateCount; ++state) {
        states.push_back(MonitorStateIcon(state));
    }
    ExpectDistinctPictures(states);

    EXPECT_TRUE(MonitorKindIcon(-1).isNull());
    EXPECT_TRUE(MonitorKindIcon(kMonitorKindCount).isNull());
    EXPECT_TRUE(MonitorStateIcon(-1).isNull());
    EXPECT_TRUE(MonitorStateIcon(kMonitorStateCount).isNull());
    // Built once: the grid asks for them on every paint.
    EXPECT_EQ(MonitorKindIcon(1).cacheKey(), MonitorKindIcon(1).cacheKey());
}

TEST(Icons, TrayFramesAnimateAndWrapAround) {
    std::vector<QIcon> frames;
    for (int frame = 0; frame < kTrayFrameCount; ++frame) {
        frames.push_back(TrayFrame(frame));
    }
    ExpectDistinctPictures(frames);
    EXPECT_EQ(TrayFrame(kTrayFrameCount).cacheKey(), TrayFrame(0).cacheKey());
    EXPECT_EQ(TrayFrame(2 * kTrayFrameCount + 1).cacheKey(), TrayFrame(1).cacheKey());
    EXPECT_EQ(TrayFrame(-1).cacheKey(), TrayFrame(kTrayFrameCount - 1).cacheKey());
}

TEST(Icons, ApplicationIconIsDrawnForLargeSizesToo) {
    const QIcon icon = ApplicationIcon();
    ASSERT_FALSE(icon.isNull());
    for (int size : {16, 32, 64}) {
        const QImage image = Image(icon, size);
        EXPECT_EQ(image.size(), QSize(size, size)) << size;
        EXPECT_TRUE(IsAPicture(image)) << size;
    }
}

}  // namespace
}  // namespace vs::gui
