#include "gui/monitor_progress_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

#include <algorithm>

namespace vs::gui {

std::optional<int> MonitorProgressDelegate::BarValue(const QVariant& percent) {
    bool ok = false;
    const int value = percent.toInt(&ok);
    if (!percent.isValid() || !ok || value < 0) {
        return std::nullopt;
    }
    return std::min(value, 100);
}

void MonitorProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const std::optional<int> value = BarValue(index.data(Qt::DisplayRole));
    cell.text.clear();
    QStyle* style = cell.widget != nullptr ? cell.widget->style() : QApplication::style();
    // The selection and row background, so the column does not punch a hole
    // in a selected row.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &cell, painter, cell.widget);
    if (!value) {
        return;
    }
    QStyleOptionProgressBar bar;
    if (cell.widget != nullptr) {
        bar.initFrom(cell.widget);
    }
    bar.state = cell.state | QStyle::State_Horizontal;
    bar.direction = cell.direction;
    bar.fontMetrics = cell.fontMetrics;
    bar.palette = cell.palette;
    bar.rect = cell.rect.adjusted(1, 1, -1, -1);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = *value;
    bar.text = QString::number(*value);
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    painter->save();
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, cell.widget);
    painter->restore();
}

}  // namespace vs::gui
