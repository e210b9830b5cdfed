#include "shell/monitor_model.h"

#include <bit>

namespace vs {

const MonitorRow* MonitorModel::Row(std::size_t index) const {
    if (index < first_ || index >= RowCount()) {
        return nullptr;
    }
    return &rows_[index - first_];
}

void MonitorModel::Apply(const proxy::RowAdded& added) {
    MonitorRow row;
    row.url = added.url;
    rows_.push_back(std::move(row));
    while (keepRows_ > 0 && rows_.size() > keepRows_) {
        // Only the oldest rows go, so that a row's place follows from its
        // number: an open one at the top keeps the rest until it ends.
        if (rows_.size() <= keepRows_ * kOpenRowHoldsUpTo && stillOpen_ && stillOpen_(first_)) {
            return;
        }
        rows_.pop_front();
        ++first_;
        ++forgotten_;
    }
}

std::optional<LogLine> MonitorModel::Apply(const proxy::RowUpdate& update) {
    const std::int64_t index = update.row;
    if (index < 0 || index >= static_cast<std::int64_t>(RowCount())) {
        return LogLine{"******ERROR", std::to_string(index) + "/" + std::to_string(RowCount())};
    }
    const auto at = static_cast<std::size_t>(index);
    if (at < first_) {
        return std::nullopt;  // a forgotten row
    }
    MonitorRow& row = rows_[at - first_];
    auto set = [&](auto& cell, auto value, MonitorColumn column) {
        if (cell != value) {
            cell = value;
            MarkChanged(at, column);
        }
    };
    const std::int64_t size = update.size.value_or(-1);
    const std::int64_t received = update.received.value_or(-1);
    if (size > 0) {
        set(row.size, size, MonitorColumn::Size);
    }
    if (received > 0) {
        set(row.received, received, MonitorColumn::Received);
    }
    if (size > 0 && received > 0) {
        set(row.progress, static_cast<std::int32_t>(received * 100 / size),
            MonitorColumn::Progress);
    }
    if (update.percent.value_or(-1) > 0) {
        set(row.progress, *update.percent, MonitorColumn::Progress);
    }
    if (update.state.value_or(-1) >= 0) {
        set(row.state, *update.state, MonitorColumn::State);
    }
    if (update.answer && !update.answer->empty()) {
        set(row.answer, *update.answer, MonitorColumn::Answer);
    }
    if (update.image.value_or(-1) >= 0) {
        set(row.image, *update.image, MonitorColumn::Image);
    }
    return std::nullopt;
}

void MonitorModel::MarkChanged(std::size_t row, MonitorColumn column) {
    if (row >= shownCount_) {
        return;  // added in this batch: announced as a whole row
    }
    changedColumns_[row] |= static_cast<std::uint8_t>(1u << static_cast<unsigned>(column));
}

MonitorChanges MonitorModel::TakeChanges() {
    MonitorChanges changes;
    changes.added = RowCount() - shownCount_;
    changes.forgotten = forgotten_;
    for (const auto& [row, columns] : changedColumns_) {
        if (row < first_) {
            continue;
        }
        const auto firstColumn = static_cast<MonitorColumn>(std::countr_zero(columns));
        const auto lastColumn = static_cast<MonitorColumn>(7 - std::countl_zero(columns));
        if (!changes.changed.empty()) {
            ChangedCells& previous = changes.changed.back();
            if (previous.last + 1 == row && previous.firstColumn == firstColumn &&
                previous.lastColumn == lastColumn) {
                previous.last = row;
                continue;
            }
        }
        changes.changed.push_back({row, row, firstColumn, lastColumn});
    }
    shownCount_ = RowCount();
    forgotten_ = 0;
    changedColumns_.clear();
    return changes;
}

}  // namespace vs
