#include "gui/number_column.h"

#include <QAbstractItemDelegate>
#include <QHeaderView>
#include <QStyleOptionViewItem>

namespace vs::gui {
namespace {

void WidenForLastNumber(QTableView& view, int column) {
    const QAbstractItemModel* model = view.model();
    const int rows = model != nullptr ? model->rowCount() : 0;
    QHeaderView& header = *view.horizontalHeader();
    if (rows == 0 || header.isSectionHidden(column)) {
        return;
    }
    // Measured as the view measures a column: its delegate's size for the
    // cell, and a pixel of grid line.
    const QModelIndex last = model->index(rows - 1, column);
    QStyleOptionViewItem option;
    option.initFrom(&view);
    option.font = view.font();
    option.fontMetrics = view.fontMetrics();
    const int needed =
        view.itemDelegateForIndex(last)->sizeHint(option, last).width() + (view.showGrid() ? 1 : 0);
    if (header.sectionSize(column) < needed) {
        header.resizeSection(column, needed);
    }
}

}  // namespace

void KeepNumbersWhole(QTableView& view, int column) {
    QAbstractItemModel* model = view.model();
    if (model == nullptr) {
        return;
    }
    const auto widen = [&view, column] { WidenForLastNumber(view, column); };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &view, widen);
    QObject::connect(model, &QAbstractItemModel::modelReset, &view, widen);
    // A saved layout restored later, or the user's drag, may make it
    // narrower again: the number's width is the floor.
    QObject::connect(view.horizontalHeader(), &QHeaderView::sectionResized, &view,
                     [widen, column](int resized) {
                         if (resized == column) {
                             widen();
                         }
                     });
    widen();
}

}  // namespace vs::gui
