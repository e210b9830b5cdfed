#include "widgets/traffic_chart.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>

namespace vs {

namespace {

TextMeasure MeasureWith(const QFontMetrics& metrics) {
    return TextMeasure{[metrics](const QString& text) { return metrics.horizontalAdvance(text); },
                       metrics.height()};
}

}  // namespace

TrafficChart::TrafficChart(QWidget* parent) : QWidget(parent), samples_(settings_.resolution) {
    // Every pixel comes from the background pixmap; nothing below shows.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(sizeHint());
    Relayout();
}

void TrafficChart::AddSample(std::int64_t value) {
    FollowSize();
    const auto sample = static_cast<double>(value);
    samples_.Push(sample);
    update();
    if (Pins(geometry_, sample)) {
        emit SamplePinned(value);
    }
}

template <typename Edit>
bool TrafficChart::Change(Edit edit) {
    ChartSettings next = settings_;
    edit(next);
    next = Trimmed(std::move(next));
    if (!Acceptable(next)) {
        return false;
    }
    if (next == settings_) {
        return true;
    }
    samples_.SetCapacity(next.resolution);
    settings_ = std::move(next);
    Relayout();
    update();
    return true;
}

void TrafficChart::SetHeader(const QString& text) {
    Change([&](ChartSettings& s) { s.header = text; });
}
void TrafficChart::SetViewHeader(bool on) {
    Change([&](ChartSettings& s) { s.viewHeader = on; });
}
void TrafficChart::SetViewGrid(bool on) {
    Change([&](ChartSettings& s) { s.viewGrid = on; });
}
void TrafficChart::SetXLabel(const QString& text) {
    Change([&](ChartSettings& s) { s.xLabel = text; });
}
void TrafficChart::SetViewXLabel(bool on) {
    Change([&](ChartSettings& s) { s.viewXLabel = on; });
}
void TrafficChart::SetViewXScale(bool on) {
    Change([&](ChartSettings& s) { s.viewXScale = on; });
}
void TrafficChart::SetYLabel(const QString& text) {
    Change([&](ChartSettings& s) { s.yLabel = text; });
}
void TrafficChart::SetViewYScale(bool on) {
    Change([&](ChartSettings& s) { s.viewYScale = on; });
}
void TrafficChart::SetViewYLabel(bool on) {
    Change([&](ChartSettings& s) { s.viewYLabel = on; });
}
void TrafficChart::SetBackgroundColor(const QColor& color) {
    Change([&](ChartSettings& s) { s.backgroundColor = color; });
}
void TrafficChart::SetSeriesColor(const QColor& color) {
    Change([&](ChartSettings& s) { s.seriesColor = color; });
}
void TrafficChart::SetFieldColor(const QColor& color) {
    Change([&](ChartSettings& s) { s.fieldColor = color; });
}
void TrafficChart::SetGridColor(const QColor& color) {
    Change([&](ChartSettings& s) { s.gridColor = color; });
}
bool TrafficChart::SetExponent(float exponent) {
    return Change([&](ChartSettings& s) { s.exponent = exponent; });
}
bool TrafficChart::SetXScaleMax(int value) {
    return Change([&](ChartSettings& s) { s.xScaleMax = value; });
}
bool TrafficChart::SetYScaleMin(int value) {
    return Change([&](ChartSettings& s) { s.yScaleMin = value; });
}
bool TrafficChart::SetYScaleMax(int value) {
    return Change([&](ChartSettings& s) { s.yScaleMax = value; });
}
bool TrafficChart::SetStepsX(int steps) {
    return Change([&](ChartSettings& s) { s.stepsX = steps; });
}
bool TrafficChart::SetStepsY(int steps) {
    return Change([&](ChartSettings& s) { s.stepsY = steps; });
}
bool TrafficChart::SetFrameWidth(int pixels) {
    return Change([&](ChartSettings& s) { s.frameWidth = pixels; });
}
bool TrafficChart::SetResolution(int samples) {
    return Change([&](ChartSettings& s) { s.resolution = samples; });
}

const ChartGeometry& TrafficChart::Geometry() {
    FollowSize();
    return geometry_;
}

const SampleRing& TrafficChart::Samples() {
    FollowSize();
    return samples_;
}

void TrafficChart::Relayout() {
    // Done at once rather than at the next paint, so that a sample added in
    // between is placed and judged against the bounds it will be drawn with.
    geometry_ = ComputeGeometry(settings_, width(), height(), MeasureWith(fontMetrics()));
    samples_.SetMapping(geometry_.mapping);
    backgroundStale_ = true;
}

void TrafficChart::FollowSize() {
    if (geometry_.width != width() || geometry_.height != height()) {
        Relayout();
    }
}

void TrafficChart::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FollowSize();
}

void TrafficChart::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        Relayout();
        update();
    }
}

void TrafficChart::paintEvent(QPaintEvent* /*event*/) {
    FollowSize();
    const qreal ratio = devicePixelRatioF();
    if (backgroundStale_ || background_.devicePixelRatio() != ratio) {
        DrawBackground();
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, background_);
    if (geometry_.HasField()) {
        painter.setPen(QPen(settings_.seriesColor, 0));
        const std::vector<QPoint> points = SeriesPoints(samples_, geometry_);
        painter.drawPolyline(points.data(), static_cast<int>(points.size()));
    }
}

void TrafficChart::DrawBackground() {
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap(size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    // Filled whatever the frame and labels: a margin left for scales would
    // otherwise show whatever the pixmap held.
    pixmap.fill(settings_.backgroundColor);

    QPainter painter(&pixmap);
    painter.setFont(font());
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(settings_.backgroundColor);
    const QFontMetrics metrics = painter.fontMetrics();
    const ChartGeometry& g = geometry_;
    // Texts are placed by their top left corner.
    auto text = [&](int x, int y, const QString& s) {
        painter.drawText(QPoint(x, y + metrics.ascent()), s);
    };

    const int textBottom = height() - metrics.height() - 2;
    if (settings_.viewXLabel) {
        text(10, textBottom, settings_.xLabel);
    }
    if (settings_.viewHeader) {
        text(g.right - metrics.horizontalAdvance(settings_.header) - 20, textBottom,
             settings_.header);
    }
    if (settings_.viewYLabel) {
        const QString label = YLabelText(settings_);
        text(g.right - metrics.horizontalAdvance(label) - 10, 2, label);
    }

    // Pixel lines as rectangles one pixel wide: exact whatever the pen's
    // end-point rules.
    if (g.right > g.left && g.bottom > g.top) {
        painter.fillRect(QRect(g.left, g.top, g.right - g.left, g.bottom - g.top),
                         settings_.fieldColor);
        const int frameTop = g.top - 1;
        const int frameWidth = g.right - g.left;
        const int frameHeight = g.bottom - frameTop;
        painter.fillRect(QRect(g.left, frameTop, frameWidth, 1), settings_.gridColor);
        painter.fillRect(QRect(g.left, g.bottom - 1, frameWidth, 1), settings_.gridColor);
        painter.fillRect(QRect(g.left, frameTop, 1, frameHeight), settings_.gridColor);
        painter.fillRect(QRect(g.right - 1, frameTop, 1, frameHeight), settings_.gridColor);
    }

    const std::vector<std::int64_t> xNumbers = XScaleNumbers(settings_);
    for (int i = 1; i < settings_.stepsX; ++i) {
        const int x = g.right - static_cast<int>(RoundHalfEven(i * g.gridStepX));
        if (settings_.viewGrid && g.HasField()) {
            painter.fillRect(QRect(x, g.top + 1, 1, g.bottom - g.top - 2), settings_.gridColor);
        }
        if (settings_.viewXScale) {
            text(x - 3, g.bottom + 1, QString::number(xNumbers[static_cast<std::size_t>(i)]));
        }
    }
    if (settings_.viewXScale) {
        // Time runs from now at the right back to the left.
        text(g.left, g.bottom + 1, QString::number(settings_.xScaleMax));
        text(g.right - 5, g.bottom + 1, QStringLiteral("0"));
    }

    const std::vector<std::int64_t> yNumbers = YScaleNumbers(settings_);
    const int halfText = metrics.height() / 2;
    for (int i = 0; i <= settings_.stepsY; ++i) {
        const int y = g.bottom - static_cast<int>(RoundHalfEven(i * g.gridStepY));
        if (i > 0 && settings_.viewGrid && g.HasField()) {
            painter.fillRect(QRect(g.left + 1, y, g.right - g.left - 2, 1), settings_.gridColor);
        }
        if (settings_.viewYScale) {
            text(g.right + 1, y - halfText, QString::number(yNumbers[static_cast<std::size_t>(i)]));
        }
    }
    painter.end();

    background_ = std::move(pixmap);
    backgroundStale_ = false;
    ++backgroundBuilds_;
}

}  // namespace vs
