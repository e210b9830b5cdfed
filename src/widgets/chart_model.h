#pragma once
// The traffic chart's arithmetic without pixels: the ring of samples with
// the pixel row of each, the chart's settings and their guards, the field
// and scale geometry, and the polyline's points. The widget only paints what
// these give, so the whole chart can be checked without rendering.

#include <QColor>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace vs {

// Nearest integer, halves to the even neighbour, as every rounding of the
// chart is done.
double RoundHalfEven(double value);

// How sample values become pixel rows: row = bottom - round(scale * value -
// offset), clamped to [top, bottom].
struct RowMapping {
    double scale = 1.0;   // pixels per value unit
    double offset = 0.0;  // pixel offset of the lower value bound, whole
    int top = 0;
    int bottom = 0;

    // Never fails: a sample far beyond the bounds (or not a number) must
    // land on a clamp row, not overflow the pixel type.
    int RowOf(double value) const;
    bool operator==(const RowMapping&) const = default;
};

// The newest samples, oldest first, each with its pixel row under the
// current mapping. Never cleared: before the first samples the zeros of a
// fresh ring lie along the lower edge.
class SampleRing {
public:
    explicit SampleRing(int capacity = 100);

    // Replaces the oldest sample.
    void Push(double value);
    int Capacity() const { return static_cast<int>(items_.size()); }
    // The i-th sample counted from the oldest, 0 <= i < Capacity().
    double Value(int i) const { return items_[Slot(i)].value; }
    int Y(int i) const { return items_[Slot(i)].y; }

    // Keeps the newest samples in their order; slots added when growing are
    // zeros older than every kept sample, so the curve has no gap inside.
    void SetCapacity(int capacity);
    // Recomputes every row when the mapping changes.
    void SetMapping(const RowMapping& mapping);
    const RowMapping& Mapping() const { return mapping_; }

private:
    struct Item {
        double value = 0.0;
        int y = 0;
    };
    std::size_t Slot(int i) const { return (next_ + static_cast<std::size_t>(i)) % items_.size(); }

    std::vector<Item> items_;
    std::size_t next_ = 0;  // the oldest sample, where the next one goes
    RowMapping mapping_;
};

// What the chart shows and how; the control's own defaults.
struct ChartSettings {
    QString header = QStringLiteral("StripRecorder");
    bool viewHeader = false;
    bool viewGrid = true;
    QString xLabel = QStringLiteral("mSec x100");
    bool viewXLabel = false;
    bool viewXScale = false;
    QString yLabel = QStringLiteral("mSec");
    bool viewYScale = false;
    bool viewYLabel = false;
    float exponent = 0.0F;  // the value axis is in units of 10^exponent
    int xScaleMax = 20;
    int yScaleMin = -100;
    int yScaleMax = 100;
    int stepsX = 10;
    int stepsY = 10;
    int frameWidth = 3;
    int resolution = 100;  // samples across the field
    QColor backgroundColor{0xC0, 0xC0, 0xC0};
    QColor seriesColor{Qt::red};
    QColor fieldColor{Qt::white};
    QColor gridColor{0xC0, 0xC0, 0xC0};

    bool operator==(const ChartSettings&) const = default;
};

inline constexpr int kHeaderLength = 30;
inline constexpr int kAxisLabelLength = 15;

// Texts cut to the length the chart has room for.
ChartSettings Trimmed(ChartSettings settings);

// Whether the chart can be drawn with these settings. Besides the bounds
// keeping at least 4 apart and an x scale of at least 4, it refuses what
// would divide by zero or leave no finite scale (no steps, no samples, an
// exponent that overflows or vanishes), a negative frame, and counts that
// would stall every repaint.
bool Acceptable(const ChartSettings& settings);

// Widths and height of texts in the chart's font.
struct TextMeasure {
    std::function<int(const QString&)> width;
    int height = 0;
};

struct ChartGeometry {
    int width = 0;  // the control's size this was computed for
    int height = 0;
    // The field; right is the first column and bottom the first row outside
    // it.
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    double sampleStep = 0.0;  // columns from one sample to the next
    double gridStepX = 0.0;
    double gridStepY = 0.0;
    double scaledMin = 0.0;
    double scaledMax = 0.0;
    RowMapping mapping;

    // Too small a control leaves no room for a curve; the background is
    // still drawn.
    bool HasField() const { return right - left >= 3 && bottom - top >= 3; }
};

ChartGeometry ComputeGeometry(const ChartSettings& settings, int width, int height,
                              const TextMeasure& measure);

// A sample the chart can only show on a clamp row.
bool Pins(const ChartGeometry& geometry, double value);

// The numbers under the vertical grid lines, i from 0 to stepsX - 1, and
// beside the horizontal ones, i from 0 to stepsY.
std::vector<std::int64_t> XScaleNumbers(const ChartSettings& settings);
std::vector<std::int64_t> YScaleNumbers(const ChartSettings& settings);

// The value axis label: yLabel, " x10^", the exponent.
QString YLabelText(const ChartSettings& settings);

// The polyline: one point per sample, oldest at the left.
std::vector<QPoint> SeriesPoints(const SampleRing& samples, const ChartGeometry& geometry);

}  // namespace vs
