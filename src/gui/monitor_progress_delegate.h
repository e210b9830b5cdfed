#pragma once
// Paints the monitor's "%" column as a progress bar with its number. A row
// whose percentage is not known yet shows an empty cell, not a bar at 0.

#include <QStyledItemDelegate>

#include <optional>

namespace vs::gui {

class MonitorProgressDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // The bar's value for what the model holds: nothing for an unknown
    // (negative or absent) percentage, else the percentage kept to 0..100,
    // since a server that sends more than it announced must not overflow
    // the bar.
    static std::optional<int> BarValue(const QVariant& percent);
};

}  // namespace vs::gui
