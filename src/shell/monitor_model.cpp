#include "shell/monitor_model.h"

namespace vs {

const MonitorRow* MonitorModel::Row(std::size_t index) const {
    if (index < first_ || index >= RowCount()) {
        return nullptr;
    }
    return &rows_[index - first_];
}

std::optional<LogLine> MonitorModel::Apply(const proxy::TCmd& entry) {
    if (!entry.Text.empty()) {
        MonitorRow row;
        row.url = entry.Text;
        rows_.push_back(std::move(row));
        if (keepRows_ > 0 && rows_.size() > keepRows_) {
            rows_.pop_front();
            ++first_;
        }
    }
    const std::int64_t index = entry.Index;
    if (index < 0 || index >= static_cast<std::int64_t>(RowCount())) {
        return LogLine{"******ERROR", std::to_string(index) + "/" + std::to_string(RowCount())};
    }
    if (static_cast<std::size_t>(index) < first_) {
        return std::nullopt;  // a forgotten row
    }
    MonitorRow& row = rows_[static_cast<std::size_t>(index) - first_];
    if (entry.Size > 0) {
        row.size = std::to_string(entry.Size);
    }
    if (entry.ReceivedBytes > 0) {
        row.received = std::to_string(entry.ReceivedBytes);
    }
    if (entry.Size > 0 && entry.ReceivedBytes > 0) {
        row.progress = static_cast<std::int32_t>(entry.ReceivedBytes * 100 / entry.Size);
    }
    if (entry.Progress > 0) {
        row.progress = entry.Progress;
    }
    if (entry.State >= 0) {
        row.state = entry.State;
    }
    if (!entry.Answer.empty()) {
        row.answer = entry.Answer;
    }
    if (entry.Value >= 0) {
        row.image = entry.Value;
    }
    return std::nullopt;
}

}  // namespace vs
