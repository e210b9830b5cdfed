#include "gui/column_fit.h"

#include <QAbstractItemDelegate>
#include <QHeaderView>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <memory>

namespace vs::gui {
namespace {

// What one column has shown: the longest text and the width it needs.
struct ColumnFloor {
    qsizetype longest = 0;
    int width = 0;
};

// Measured as the view measures a column: its delegate's size for the cell,
// and a pixel of grid line.
int WidthFor(const QTableView& view, const QModelIndex& cell) {
    QStyleOptionViewItem option;
    option.initFrom(&view);
    option.font = view.font();
    option.fontMetrics = view.fontMetrics();
    return view.itemDelegateForIndex(cell)->sizeHint(option, cell).width() +
           (view.showGrid() ? 1 : 0);
}

void Widen(QTableView& view, int column, const ColumnFloor& floor) {
    QHeaderView& header = *view.horizontalHeader();
    if (!header.isSectionHidden(column) && header.sectionSize(column) < floor.width) {
        header.resizeSection(column, floor.width);
    }
}

// Rows looked at per change, from its end: a flood of new rows passes the
// screen at once, and reading every cell of it would slow the pass down.
constexpr int kRowsLookedAt = 256;

void LookAt(QTableView& view, int column, ColumnFloor& floor, int firstRow, int lastRow) {
    const QAbstractItemModel& model = *view.model();
    firstRow = std::max(firstRow, lastRow - kRowsLookedAt + 1);
    bool longer = false;
    for (int row = firstRow; row <= lastRow; ++row) {
        const QModelIndex cell = model.index(row, column);
        const qsizetype length = cell.data().toString().size();
        if (length > floor.longest) {
            floor.longest = length;
            floor.width = std::max(floor.width, WidthFor(view, cell));
            longer = true;
        }
    }
    if (longer) {
        Widen(view, column, floor);
    }
}

}  // namespace

void KeepCellsWhole(QTableView& view, int column) {
    QAbstractItemModel* model = view.model();
    if (model == nullptr) {
        return;
    }
    auto floor = std::make_shared<ColumnFloor>();
    const auto lookAt = [&view, column, floor](int first, int last) {
        LookAt(view, column, *floor, first, last);
    };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &view,
                     [lookAt](const QModelIndex&, int first, int last) { lookAt(first, last); });
    QObject::connect(model, &QAbstractItemModel::dataChanged, &view,
                     [lookAt, column](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                         if (topLeft.column() <= column && column <= bottomRight.column()) {
                             lookAt(topLeft.row(), bottomRight.row());
                         }
                     });
    QObject::connect(model, &QAbstractItemModel::modelReset, &view,
                     [lookAt, model] { lookAt(0, model->rowCount() - 1); });
    // A saved layout restored later, or the user's drag, may make it
    // narrower again: the widest text shown is the floor.
    QObject::connect(view.horizontalHeader(), &QHeaderView::sectionResized, &view,
                     [&view, column, floor](int resized) {
                         if (resized == column) {
                             Widen(view, column, *floor);
                         }
                     });
    lookAt(0, model->rowCount() - 1);
}

}  // namespace vs::gui
