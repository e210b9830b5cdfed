// The traffic chart widget, rendered offscreen.

#include <gtest/gtest.h>

#include <QImage>

#include <cstdint>

#include "widgets/traffic_chart.h"

namespace vs {
namespace {

const QColor kSeries(0, 0, 255);
const QColor kGrid(128, 128, 128);

// As on the main window: bytes per second from 0 to 5000 over the last 240
// seconds, no frame, scales or labels, at its size on the main window.
void MakeTrafficChart(TrafficChart& chart) {
    ASSERT_TRUE(chart.SetYScaleMin(0));
    ASSERT_TRUE(chart.SetYScaleMax(5000));
    ASSERT_TRUE(chart.SetStepsX(8));
    ASSERT_TRUE(chart.SetStepsY(5));
    ASSERT_TRUE(chart.SetFrameWidth(0));
    ASSERT_TRUE(chart.SetResolution(240));
    chart.SetSeriesColor(kSeries);
    chart.SetFieldColor(Qt::white);
    chart.SetGridColor(kGrid);
    chart.resize(337, 39);
}

QImage Render(TrafficChart& chart) {
    return chart.grab().toImage();
}

// Columns [from, to] of `row` all in `color`.
::testing::AssertionResult RowIs(const QImage& image, int row, int from, int to,
                                 const QColor& color) {
    for (int x = from; x <= to; ++x) {
        if (image.pixelColor(x, row) != color) {
            return ::testing::AssertionFailure() << "(" << x << ", " << row << ") is "
                                                 << image.pixelColor(x, row).name().toStdString();
        }
    }
    return ::testing::AssertionSuccess();
}

// No column of [from, to] of `row` in `color`: the field or a grid line.
::testing::AssertionResult RowLacks(const QImage& image, int row, int from, int to,
                                    const QColor& color) {
    for (int x = from; x <= to; ++x) {
        if (image.pixelColor(x, row) == color) {
            return ::testing::AssertionFailure() << "(" << x << ", " << row << ") has it";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(TrafficChart, PolylineFollowsTheSamplesAndPinsWhatIsOutOfBounds) {
    TrafficChart chart;
    MakeTrafficChart(chart);
    int pinned = 0;
    QObject::connect(&chart, &TrafficChart::SamplePinned, [&](qint64 value) {
        EXPECT_EQ(value, 1'000'000);
        ++pinned;
    });

    // Before any sample the zeros lie along the lower edge.
    QImage image = Render(chart);
    ASSERT_EQ(image.size(), QSize(337, 39));
    EXPECT_TRUE(RowIs(image, 37, 1, 335, kSeries));

    for (int i = 0; i < 120; ++i) {
        chart.AddSample(0);
    }
    chart.AddSample(5000);
    chart.AddSample(-0);
    EXPECT_EQ(pinned, 0);
    for (int i = 0; i < 120; ++i) {
        chart.AddSample(1'000'000);
    }
    EXPECT_EQ(pinned, 120);

    // Oldest half at the bottom, newest half on the top row, the newest
    // sample inside the frame; the step lies near column 169.
    image = Render(chart);
    EXPECT_TRUE(RowIs(image, 37, 3, 160, kSeries));
    EXPECT_TRUE(RowLacks(image, 1, 3, 160, kSeries));
    EXPECT_TRUE(RowIs(image, 1, 175, 335, kSeries));
    EXPECT_TRUE(RowLacks(image, 37, 175, 335, kSeries));
    EXPECT_EQ(image.pixelColor(336, 1), kGrid);
    EXPECT_EQ(image.pixelColor(0, 20), kGrid);
    EXPECT_EQ(image.pixelColor(100, 38), kGrid);
    EXPECT_EQ(image.pixelColor(100, 0), kGrid);
}

TEST(TrafficChart, BackgroundStaysWhileSamplesMoveAndFollowsAResize) {
    TrafficChart chart;
    MakeTrafficChart(chart);
    QImage image = Render(chart);
    const std::uint64_t builds = chart.BackgroundBuilds();
    // The first vertical grid line from the right, 337 / 8 columns in.
    EXPECT_EQ(image.pixelColor(295, 10), kGrid);
    EXPECT_TRUE(RowIs(image, 37, 100, 200, kSeries));

    for (int i = 0; i < 240; ++i) {
        chart.AddSample(2500);
    }
    image = Render(chart);
    EXPECT_EQ(chart.BackgroundBuilds(), builds);
    EXPECT_EQ(image.pixelColor(295, 10), kGrid);
    EXPECT_TRUE(RowIs(image, 19, 100, 200, kSeries));
    // The old curve went with the old frame; none of it stuck to the
    // background.
    EXPECT_TRUE(RowLacks(image, 37, 100, 200, kSeries));

    chart.resize(337, 79);
    EXPECT_EQ(chart.Samples().Y(239), 78 - 38);
    image = Render(chart);
    EXPECT_GT(chart.BackgroundBuilds(), builds);
    EXPECT_TRUE(RowIs(image, 39, 100, 200, kSeries));
    EXPECT_TRUE(RowLacks(image, 77, 100, 200, kSeries));
}

TEST(TrafficChart, RefusedSettingsKeepTheOldOnesAndNewBoundsApplyAtOnce) {
    TrafficChart chart;
    MakeTrafficChart(chart);
    int pinned = 0;
    QObject::connect(&chart, &TrafficChart::SamplePinned, [&](qint64) { ++pinned; });

    EXPECT_FALSE(chart.SetYScaleMax(3));
    EXPECT_EQ(chart.Settings().yScaleMax, 5000);
    chart.AddSample(4000);
    EXPECT_EQ(pinned, 0);
    chart.AddSample(5001);
    EXPECT_EQ(pinned, 1);

    // Raised and not yet painted: the next sample is judged and placed by
    // the new bound.
    ASSERT_TRUE(chart.SetYScaleMax(10000));
    chart.AddSample(8000);
    EXPECT_EQ(pinned, 1);
    EXPECT_EQ(chart.Samples().Y(239), 38 - 29);  // 36 * 0.8 = 28.8
}

TEST(TrafficChart, TinyControlWithEverythingShownStillPaints) {
    TrafficChart chart;
    chart.SetViewHeader(true);
    chart.SetViewXLabel(true);
    chart.SetViewYLabel(true);
    chart.SetViewXScale(true);
    chart.SetViewYScale(true);
    chart.SetHeader(QString(50, QLatin1Char('h')));
    for (const QSize size : {QSize(1, 1), QSize(12, 9)}) {
        chart.resize(size);
        chart.AddSample(INT64_MAX);
        chart.AddSample(INT64_MIN);
        EXPECT_FALSE(chart.Geometry().HasField());
        EXPECT_EQ(Render(chart).size(), size);
    }
}

}  // namespace
}  // namespace vs
