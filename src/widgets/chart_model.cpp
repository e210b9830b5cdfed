#include "widgets/chart_model.h"

#include <algorithm>
#include <cmath>

namespace vs {

namespace {

// Beyond these a repaint would draw more lines or points than any screen
// has pixels, and a sample ring could not be allocated.
constexpr int kMostSteps = 1000;
constexpr int kMostSamples = 100000;

double Power(float exponent) {
    return std::pow(10.0, static_cast<double>(exponent));
}

}  // namespace

double RoundHalfEven(double value) {
    // nearbyint rounds in the current mode, which is to nearest-even unless
    // someone changed it; std::round would take halves away from zero.
    return std::nearbyint(value);
}

int RowMapping::RowOf(double value) const {
    const double lifted = scale * value - offset;
    if (std::isnan(lifted)) {
        return bottom;
    }
    const double span = static_cast<double>(bottom) - top;
    const double kept = std::clamp(lifted, -1.0, span + 1.0);
    const int row = bottom - static_cast<int>(RoundHalfEven(kept));
    return std::max(top, std::min(row, bottom));
}

SampleRing::SampleRing(int capacity) : items_(static_cast<std::size_t>(std::max(capacity, 1))) {}

void SampleRing::Push(double value) {
    items_[next_] = Item{value, mapping_.RowOf(value)};
    next_ = (next_ + 1) % items_.size();
}

void SampleRing::SetCapacity(int capacity) {
    const std::size_t wanted = static_cast<std::size_t>(std::max(capacity, 1));
    if (wanted == items_.size()) {
        return;
    }
    std::vector<Item> items(wanted, Item{0.0, mapping_.RowOf(0.0)});
    const std::size_t kept = std::min(wanted, items_.size());
    for (std::size_t i = 0; i < kept; ++i) {
        items[wanted - kept + i] = items_[Slot(static_cast<int>(items_.size() - kept + i))];
    }
    items_ = std::move(items);
    next_ = 0;
}

void SampleRing::SetMapping(const RowMapping& mapping) {
    if (mapping == mapping_) {
        return;
    }
    mapping_ = mapping;
    for (Item& item : items_) {
        item.y = mapping_.RowOf(item.value);
    }
}

ChartSettings Trimmed(ChartSettings settings) {
    settings.header.truncate(kHeaderLength);
    settings.xLabel.truncate(kAxisLabelLength);
    settings.yLabel.truncate(kAxisLabelLength);
    return settings;
}

bool Acceptable(const ChartSettings& settings) {
    if (settings.xScaleMax < 4 || static_cast<std::int64_t>(settings.yScaleMax) <
                                      static_cast<std::int64_t>(settings.yScaleMin) + 4) {
        return false;
    }
    if (settings.stepsX < 1 || settings.stepsX > kMostSteps || settings.stepsY < 1 ||
        settings.stepsY > kMostSteps || settings.resolution < 1 ||
        settings.resolution > kMostSamples || settings.frameWidth < 0) {
        return false;
    }
    const double power = Power(settings.exponent);
    const double low = settings.yScaleMin * power;
    const double high = settings.yScaleMax * power;
    const double span = high - low;
    // The scale divides the field's height by the span; it must stay a
    // finite, non-zero number of pixels per unit.
    return std::isfinite(low) && std::isfinite(high) && std::isnormal(span) &&
           std::isnormal(1.0 / span);
}

ChartGeometry ComputeGeometry(const ChartSettings& settings, int width, int height,
                              const TextMeasure& measure) {
    ChartGeometry g;
    g.width = width;
    g.height = height;
    const int frame = settings.frameWidth;
    g.left = frame;
    g.right = width - frame;
    if (settings.viewYScale) {
        g.right -= std::max(measure.width(QString::number(settings.yScaleMax)),
                            measure.width(QString::number(settings.yScaleMin)));
    }
    g.top = frame + 1;
    if (settings.viewYLabel) {
        g.top += measure.height;
    }
    g.bottom = height - frame;
    if (settings.viewHeader || settings.viewXLabel) {
        g.bottom -= measure.height;
    }
    if (settings.viewXScale) {
        g.bottom -= measure.height;
    }

    // The samples span the field's inner columns, left + 1 to right - 2, so
    // that the newest lands inside the frame instead of on its right edge.
    g.sampleStep = settings.resolution > 1
                       ? static_cast<double>(g.right - g.left - 3) / (settings.resolution - 1)
                       : 0.0;
    g.gridStepX = static_cast<double>(g.right - g.left) / settings.stepsX;
    g.gridStepY = static_cast<double>(g.bottom - g.top) / settings.stepsY;
    const double power = Power(settings.exponent);
    g.scaledMin = settings.yScaleMin * power;
    g.scaledMax = settings.yScaleMax * power;

    if (g.HasField()) {
        g.mapping.scale = (g.bottom - g.top - 2) / (g.scaledMax - g.scaledMin);
        g.mapping.offset = RoundHalfEven(g.mapping.scale * g.scaledMin);
        g.mapping.top = g.top + 1;
        g.mapping.bottom = g.bottom - 1;
    } else {
        // Every sample on one row that nothing draws.
        g.mapping = RowMapping{0.0, 0.0, 0, 0};
    }
    return g;
}

bool Pins(const ChartGeometry& geometry, double value) {
    return value > geometry.scaledMax || value < geometry.scaledMin;
}

std::vector<std::int64_t> XScaleNumbers(const ChartSettings& settings) {
    std::vector<std::int64_t> numbers;
    for (int i = 0; i < settings.stepsX; ++i) {
        numbers.push_back(static_cast<std::int64_t>(
            RoundHalfEven(static_cast<double>(i) * settings.xScaleMax / settings.stepsX)));
    }
    return numbers;
}

std::vector<std::int64_t> YScaleNumbers(const ChartSettings& settings) {
    // The range of two ints needs more than an int.
    const double range = static_cast<double>(settings.yScaleMax) - settings.yScaleMin;
    std::vector<std::int64_t> numbers;
    for (int i = 0; i <= settings.stepsY; ++i) {
        numbers.push_back(static_cast<std::int64_t>(RoundHalfEven(i * range / settings.stepsY)) +
                          settings.yScaleMin);
    }
    return numbers;
}

QString YLabelText(const ChartSettings& settings) {
    return settings.yLabel + QStringLiteral(" x10^") +
           QString::number(static_cast<double>(settings.exponent), 'g', 7);
}

std::vector<QPoint> SeriesPoints(const SampleRing& samples, const ChartGeometry& geometry) {
    std::vector<QPoint> points;
    points.reserve(static_cast<std::size_t>(samples.Capacity()));
    for (int i = 0; i < samples.Capacity(); ++i) {
        points.emplace_back(
            geometry.left + 1 + static_cast<int>(RoundHalfEven(i * geometry.sampleStep)),
            samples.Y(i) - 1);
    }
    return points;
}

}  // namespace vs
