// The traffic chart's arithmetic, without pixels.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "widgets/chart_model.h"

namespace vs {
namespace {

// The chart as the main window has it: bytes per second from 0 to the
// chart scale, 240 seconds, no frame, scales or labels.
ChartSettings TrafficSettings() {
    ChartSettings s;
    s.yScaleMin = 0;
    s.yScaleMax = 5000;
    s.stepsX = 8;
    s.stepsY = 5;
    s.frameWidth = 0;
    s.resolution = 240;
    return s;
}

TEST(ChartSamples, RowsClampToTheField) {
    SampleRing ring(4);
    ring.SetMapping(RowMapping{1.0, 0.0, 2, 38});
    const RowMapping& m = ring.Mapping();
    // Far beyond the bounds: a clamp row, not an overflowed int.
    EXPECT_EQ(m.RowOf(static_cast<double>(INT64_MAX)), 2);
    EXPECT_EQ(m.RowOf(static_cast<double>(INT64_MIN)), 38);
    EXPECT_EQ(m.RowOf(std::numeric_limits<double>::quiet_NaN()), 38);

    // A sample takes its row when pushed; a new mapping moves every row.
    ring.Push(10);
    ring.Push(20);
    EXPECT_EQ(ring.Y(3), 18);
    ring.SetMapping(RowMapping{0.5, -4.0, 2, 38});
    EXPECT_EQ(ring.Y(2), 38 - 9);
    EXPECT_EQ(ring.Y(3), 38 - 14);
    EXPECT_EQ(ring.Y(0), 38 - 4);
}

// Settings that would divide by zero, overflow the scale's arithmetic or
// draw nothing are refused; the widest scale that is accepted still labels
// both its ends.
TEST(ChartSettings, GuardsRefuseWhatCannotBeDrawn) {
    ASSERT_TRUE(Acceptable(ChartSettings{}));
    auto with = [](auto edit) {
        ChartSettings s = TrafficSettings();
        edit(s);
        return Acceptable(s);
    };
    EXPECT_FALSE(with([](ChartSettings& s) { s.yScaleMin = 4997; }));
    EXPECT_FALSE(with([](ChartSettings& s) {
        s.yScaleMin = INT_MIN;
        s.yScaleMax = INT_MIN + 3;
    }));
    EXPECT_FALSE(with([](ChartSettings& s) {
        s.yScaleMin = INT_MAX - 3;
        s.yScaleMax = INT_MAX;
    }));

    ChartSettings widest = TrafficSettings();
    widest.yScaleMin = INT_MIN;
    widest.yScaleMax = INT_MAX;
    ASSERT_TRUE(Acceptable(widest));
    const std::vector<std::int64_t> numbers = YScaleNumbers(widest);
    EXPECT_EQ(numbers.front(), INT_MIN);
    EXPECT_EQ(numbers.back(), INT_MAX);
}

}  // namespace
}  // namespace vs
