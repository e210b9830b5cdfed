#pragma once
// The monitor grid's Qt model. It reads the core's MonitorModel, which keeps
// numbers, and formats them only when a cell is painted. It learns about
// new rows and changed cells solely from the change batches the core hands
// out after each drain, so the view repaints what changed instead of being
// reset for thousands of rows.

#include <QAbstractTableModel>

#include <cstdint>
#include <optional>
#include <string>

#include "shell/monitor_model.h"

namespace vs::gui {

class MonitorTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit MonitorTableModel(const MonitorModel& monitor, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Called after each drain with what MonitorModel::TakeChanges returned.
    void ShowChanges(const MonitorChanges& changes);

    // The URL of a row as the core holds it (CP1251, as the browser wrote
    // it); empty for a row that does not exist.
    std::string RowUrl(int row) const;
    // The number the engine gave a row of this model (what a stop names);
    // nothing for a row that does not exist.
    std::optional<std::int32_t> EngineRow(int row) const;

    // Sizes and byte counts as the grid shows them: decimal, nothing while
    // unknown (negative).
    static QString FormatCount(std::int64_t value);

private:
    // Removes the rows the core has forgotten since the last batch.
    void ForgetRows();
    // The core's index of a row of this model.
    std::size_t CoreRow(int row) const;

    const MonitorModel& monitor_;
    // The rows the view has been told about, from the core's row
    // firstShown_ on; the core runs ahead of it between a drain and
    // ShowChanges.
    std::size_t firstShown_;
    int shownRows_;
};

}  // namespace vs::gui
