#pragma once
// A strip chart of one series: the newest samples as a polyline over a
// gridded field, the newest at the right. The frame, field, grid, scales and
// labels live in a background pixmap drawn again only when a setting or the
// size changed; a new sample costs one copy of it and one polyline.

#include <QPixmap>
#include <QWidget>

#include <cstdint>

#include "widgets/chart_model.h"

namespace vs {

class TrafficChart : public QWidget {
    Q_OBJECT

public:
    explicit TrafficChart(QWidget* parent = nullptr);

    // Adds the newest sample; emits SamplePinned when the chart can only
    // show it on its top or bottom row.
    void AddSample(std::int64_t value);

    const ChartSettings& Settings() const { return settings_; }

    void SetHeader(const QString& text);  // cut to 30 characters
    void SetViewHeader(bool on);
    void SetViewGrid(bool on);
    void SetXLabel(const QString& text);  // cut to 15 characters
    void SetViewXLabel(bool on);
    void SetViewXScale(bool on);
    void SetYLabel(const QString& text);  // cut to 15 characters
    void SetViewYScale(bool on);
    void SetViewYLabel(bool on);
    void SetBackgroundColor(const QColor& color);
    void SetSeriesColor(const QColor& color);
    void SetFieldColor(const QColor& color);
    void SetGridColor(const QColor& color);
    // These refuse a value the chart cannot be drawn with (see Acceptable)
    // and keep the old one; they return whether the value was taken. The
    // upper bound, the chart-scale setting, is refused below yScaleMin + 4.
    bool SetExponent(float exponent);
    bool SetXScaleMax(int value);
    bool SetYScaleMin(int value);
    bool SetYScaleMax(int value);
    bool SetStepsX(int steps);
    bool SetStepsY(int steps);
    bool SetFrameWidth(int pixels);
    bool SetResolution(int samples);  // also resizes the ring of samples

    // Geometry and rows for the current size. A hidden widget hears of a
    // resize only when shown, so these catch up with the size first.
    const ChartGeometry& Geometry();
    const SampleRing& Samples();
    // How often the background was drawn; new samples must not add to it.
    std::uint64_t BackgroundBuilds() const { return backgroundBuilds_; }

    QSize sizeHint() const override { return {300, 200}; }

signals:
    void SamplePinned(qint64 value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    template <typename Edit>
    bool Change(Edit edit);
    void Relayout();
    void FollowSize();
    void DrawBackground();

    ChartSettings settings_;
    SampleRing samples_;
    ChartGeometry geometry_;
    QPixmap background_;
    bool backgroundStale_ = true;
    std::uint64_t backgroundBuilds_ = 0;
};

}  // namespace vs
