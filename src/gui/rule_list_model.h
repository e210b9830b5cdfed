#pragma once
// A rule list's Qt model. The core's RuleList is the list: every edit goes
// straight to it and is published to the workers before the edit returns,
// so the next request meets it. The model keeps only the hit counts the
// view was last told about; hits arrive on the core's rows while the proxy
// runs, and Refresh() announces just the counts that moved.

#include <QAbstractTableModel>
#include <QPersistentModelIndex>

#include <cstdint>
#include <vector>

#include "rules/rule_list.h"

namespace vs::gui {

// What a column of a rule grid shows, in the order of the list files.
enum class RuleField { Number, Enable, Rule, Replacement, ReplaceAll, Required, Hits };

class RuleListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit RuleListModel(RuleList& list, QObject* parent = nullptr);

    RuleList& List() const { return list_; }
    RuleField FieldOf(int column) const;
    // -1 when the list has no such column.
    int ColumnOf(RuleField field) const;
    bool IsSwitch(int column) const;
    bool IsText(int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Text cells: a text with characters the 8-bit code page lacks is not
    // stored; TextNeedsConfirmation asks for it instead. Switch cells take
    // a Qt::CheckState.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // Stores a text cell as typed, whatever the code page makes of it.
    void StoreText(const QModelIndex& index, const QString& text);
    void Toggle(const QModelIndex& index);
    // A new disabled row with empty texts and no hits.
    void AppendRow();
    void InsertRow(int row);
    void DeleteRow(int row);
    void ResetHits();
    // Announces the hit counts that changed since the view last saw them
    // (and starts over should the list have been replaced underneath).
    void Refresh();

signals:
    // An edited rule did not compile: the engine's message. The row keeps
    // the text, shows the message and matches nothing until corrected.
    void PatternFailed(const QString& message);
    // Stored, such a text would have '?' in place of those characters.
    void TextNeedsConfirmation(const QPersistentModelIndex& index, const QString& text,
                               const QString& outside);

private:
    void Store(int row, RuleCells cells, int firstColumn, int lastColumn);
    // A black-list rule the matcher gives up on for ordinary URLs refuses
    // pages it does not name: told as it is typed or switched on.
    void WarnIfItRefusesWhatItDoesNotName(const RuleRow& row);
    // Rows of the given rules after a paste, enabled as the row pasted into.
    void InsertRules(int row, const QStringList& rules, bool enable);
    // Rows of the cells at `row`, in the list and in the view, in one step.
    void InsertCells(int row, std::vector<RuleCells> cells);

    // A row as the view last saw it: which row of the core, and its count.
    struct ShownRow {
        RuleRow::Id id;
        std::int64_t hits;
    };

    RuleList& list_;
    std::vector<RuleField> fields_;
    std::vector<ShownRow> shown_;
};

}  // namespace vs::gui
