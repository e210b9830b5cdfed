#include "gui/column_fit.h"

#include <QAbstractItemDelegate>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

namespace vs::gui {
namespace {

// What one column has shown: the longest text and the width it needs.
struct ColumnFloor {
    qsizetype longest = 0;
    int width = 0;
};

// Rows looked at per change, from its end: a flood of new rows passes the
// screen at once, and reading every cell of it would slow the pass down.
constexpr int kRowsLookedAt = 256;

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

class ColumnFit {
public:
    ColumnFit(QTableView& view, std::optional<int> only) : view_(view), only_(only) {}

    void LookAt(int firstRow, int lastRow, int firstColumn, int lastColumn, bool capped) {
        if (capped) {
            firstRow = std::max(firstRow, lastRow - kRowsLookedAt + 1);
        }
        if (only_) {
            firstColumn = std::max(firstColumn, *only_);
            lastColumn = std::min(lastColumn, *only_);
        }
        for (int column = firstColumn; column <= lastColumn; ++column) {
            LookAtColumn(column, firstRow, lastRow);
        }
    }
    // Every row of every column followed, from scratch when the columns
    // themselves changed (their floors belonged to other positions).
    void LookAtAll(bool columnsChanged) {
        if (columnsChanged) {
            floors_.clear();
        }
        const QAbstractItemModel& model = *view_.model();
        if (!only_) {
            FitCaptions(0, model.columnCount() - 1);
        }
        LookAt(0, model.rowCount() - 1, 0, model.columnCount() - 1, false);
    }
    void Widen(int column) {
        if (const auto floor = floors_.find(column); floor != floors_.end()) {
            WidenTo(*view_.horizontalHeader(), column, floor->second.width);
        }
    }
    // Columns made and named at run time (a user's name over the
    // statistics) show their caption whole too.
    void FitCaptions(int firstColumn, int lastColumn) {
        QHeaderView& header = *view_.horizontalHeader();
        for (int column = firstColumn; column <= lastColumn; ++column) {
            const int width = header.sectionSizeHint(column);
            ColumnFloor& floor = floors_[column];
            floor.width = std::max(floor.width, width);
            WidenTo(header, column, width);
        }
    }

private:
    void LookAtColumn(int column, int firstRow, int lastRow) {
        const QAbstractItemModel& model = *view_.model();
        ColumnFloor& floor = floors_[column];
        bool longer = false;
        for (int row = firstRow; row <= lastRow; ++row) {
            const QModelIndex cell = model.index(row, column);
            const qsizetype length = cell.data().toString().size();
            if (length > floor.longest) {
                floor.longest = length;
                floor.width = std::max(floor.width, WidthFor(view_, cell));
                longer = true;
            }
        }
        if (longer) {
            Widen(column);
        }
    }

    QTableView& view_;
    std::optional<int> only_;
    std::map<int, ColumnFloor> floors_;
};

void Follow(QTableView& view, std::optional<int> only) {
    QAbstractItemModel* model = view.model();
    if (model == nullptr) {
        return;
    }
    auto fit = std::make_shared<ColumnFit>(view, only);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &view,
                     [fit, model](const QModelIndex&, int first, int last) {
                         fit->LookAt(first, last, 0, model->columnCount() - 1, true);
                     });
    QObject::connect(model, &QAbstractItemModel::dataChanged, &view,
                     [fit](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                         fit->LookAt(topLeft.row(), bottomRight.row(), topLeft.column(),
                                     bottomRight.column(), true);
                     });
    QObject::connect(model, &QAbstractItemModel::modelReset, &view,
                     [fit, only] { fit->LookAtAll(!only); });
    if (!only) {
        QObject::connect(model, &QAbstractItemModel::headerDataChanged, &view,
                         [fit](Qt::Orientation orientation, int first, int last) {
                             if (orientation == Qt::Horizontal) {
                                 fit->FitCaptions(first, last);
                             }
                         });
        for (auto moved :
             {&QAbstractItemModel::columnsInserted, &QAbstractItemModel::columnsRemoved}) {
            QObject::connect(model, moved, &view, [fit] { fit->LookAtAll(true); });
        }
    }
    // A saved layout restored later, or the user's drag, may make a column
    // narrower again: the widest text it has shown is the floor.
    QObject::connect(view.horizontalHeader(), &QHeaderView::sectionResized, &view,
                     [fit](int column) { fit->Widen(column); });
    fit->LookAtAll(false);
}

}  // namespace

void KeepCellsWhole(QTableView& view, int column) {
    Follow(view, column);
}

void KeepEveryColumnWhole(QTableView& view) {
    Follow(view, std::nullopt);
}

void WidenTo(QHeaderView& header, int column, int width) {
    if (!header.isSectionHidden(column) && header.sectionSize(column) < width) {
        header.resizeSection(column, width);
    }
}

}  // namespace vs::gui
