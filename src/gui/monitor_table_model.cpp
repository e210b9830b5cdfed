#include "gui/monitor_table_model.h"

#include <algorithm>
#include <limits>

#include "gui/cp1251_text.h"
#include "gui/icons.h"

namespace vs::gui {
namespace {

MonitorColumn ColumnOf(const QModelIndex& index) {
    return static_cast<MonitorColumn>(index.column());
}

int ToRow(std::size_t row) {
    return static_cast<int>(std::min<std::size_t>(row, std::numeric_limits<int>::max()));
}

}  // namespace

MonitorTableModel::MonitorTableModel(const MonitorModel& monitor, QObject* parent)
    : QAbstractTableModel(parent),
      monitor_(monitor),
      firstShown_(monitor.FirstRow()),
      shownRows_(ToRow(monitor.RowCount() - monitor.FirstRow())) {}

int MonitorTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int MonitorTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kMonitorColumnCount;
}

QString MonitorTableModel::FormatCount(std::int64_t value) {
    return value < 0 ? QString() : QString::number(value);
}

QVariant MonitorTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_) {
        return {};
    }
    const MonitorColumn column = ColumnOf(index);
    if (role == Qt::TextAlignmentRole) {
        switch (column) {
            case MonitorColumn::Number:
            case MonitorColumn::Size:
            case MonitorColumn::Received:
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            case MonitorColumn::Image:
            case MonitorColumn::Progress:
            case MonitorColumn::State:
                return QVariant::fromValue(Qt::AlignCenter);
            default:
                return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        }
    }
    const std::size_t coreRow = CoreRow(index.row());
    if (column == MonitorColumn::Number) {
        // The running number of the run, forgotten rows counted.
        return role == Qt::DisplayRole ? QVariant(static_cast<qulonglong>(coreRow + 1))
                                       : QVariant();
    }
    const MonitorRow* row = monitor_.Row(coreRow);
    if (row == nullptr) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            switch (column) {
                case MonitorColumn::Url:
                    return FromWire(row->url);
                case MonitorColumn::Size:
                    return FormatCount(row->size);
                case MonitorColumn::Received:
                    return FormatCount(row->received);
                case MonitorColumn::Progress:
                    // The delegate draws the bar; no value, no bar.
                    return row->progress < 0 ? QVariant() : QVariant(row->progress);
                case MonitorColumn::Answer:
                    return FromWire(row->answer);
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (column == MonitorColumn::Image) {
                return MonitorKindIcon(row->image);
            }
            if (column == MonitorColumn::State) {
                return MonitorStateIcon(row->state);
            }
            return {};
        case Qt::ToolTipRole:
            // Both columns are too narrow for most of what they hold; the
            // view decides whether the text is cut.
            if (column == MonitorColumn::Url && !row->url.empty()) {
                return FromWire(row->url);
            }
            if (column == MonitorColumn::Answer && !row->answer.empty()) {
                return FromWire(row->answer);
            }
            return {};
        default:
            return {};
    }
}

QVariant MonitorTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (static_cast<MonitorColumn>(section)) {
        case MonitorColumn::Url:
            return QStringLiteral("URL");
        case MonitorColumn::Size:
            return QStringLiteral("Размер");
        case MonitorColumn::Received:
            return QStringLiteral("Получено");
        case MonitorColumn::Progress:
            return QStringLiteral("%");
        case MonitorColumn::State:
            return QStringLiteral("Состояние");
        case MonitorColumn::Answer:
            return QStringLiteral("Ответ");
        default:
            return QString();
    }
}

Qt::ItemFlags MonitorTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void MonitorTableModel::ShowChanges(const MonitorChanges& changes) {
    ForgetRows();
    // Cells of rows the view already has: announced before the new rows so
    // that every index is valid when it is announced. Rows beyond the shown
    // ones are covered by the insertion below.
    const int lastColumn = kMonitorColumnCount - 1;
    for (const ChangedCells& cells : changes.changed) {
        if (cells.last < firstShown_) {
            continue;
        }
        const int first = ToRow(std::max(cells.first, firstShown_) - firstShown_);
        const int last = std::min(ToRow(cells.last - firstShown_), shownRows_ - 1);
        if (first > last) {
            continue;
        }
        const int firstColumn = std::clamp(static_cast<int>(cells.firstColumn), 0, lastColumn);
        const int endColumn = std::clamp(static_cast<int>(cells.lastColumn), 0, lastColumn);
        emit dataChanged(index(first, firstColumn), index(last, endColumn));
    }
    // The core's own count rather than `added` decides: a batch taken
    // before this model existed, or one not handed on, would otherwise
    // leave rows the view could never reach.
    const int target = ToRow(monitor_.RowCount() - firstShown_);
    if (target > shownRows_) {
        beginInsertRows({}, shownRows_, target - 1);
        shownRows_ = target;
        endInsertRows();
    }
}

void MonitorTableModel::ForgetRows() {
    // The core keeps the newest rows only; the oldest leave the top of the
    // grid, and the view's selection and scroll position move with them.
    const std::size_t first = monitor_.FirstRow();
    if (first <= firstShown_) {
        return;
    }
    const std::size_t gone = first - firstShown_;
    const int removed = ToRow(std::min<std::size_t>(gone, static_cast<std::size_t>(shownRows_)));
    if (removed > 0) {
        beginRemoveRows({}, 0, removed - 1);
        shownRows_ -= removed;
        firstShown_ = first;
        endRemoveRows();
        return;
    }
    firstShown_ = first;  // forgotten before the view was told of them
}

std::size_t MonitorTableModel::CoreRow(int row) const {
    return firstShown_ + static_cast<std::size_t>(row);
}

std::string MonitorTableModel::RowUrl(int row) const {
    if (row < 0 || row >= shownRows_) {
        return {};
    }
    const MonitorRow* found = monitor_.Row(CoreRow(row));
    return found == nullptr ? std::string() : found->url;
}

std::optional<std::int32_t> MonitorTableModel::EngineRow(int row) const {
    if (row < 0 || row >= shownRows_ || monitor_.Row(CoreRow(row)) == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(CoreRow(row));
}

}  // namespace vs::gui
