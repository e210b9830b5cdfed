#include "gui/rule_list_model.h"

#include <QColor>
#include <QRegularExpression>

#include <utility>

#include "gui/cp1251_text.h"

namespace vs::gui {
namespace {

// A rule that cannot match because it does not compile.
const QColor kBrokenRuleTint(255, 205, 205);

std::vector<RuleField> FieldsOf(ListKind kind) {
    if (kind == ListKind::UrlConverter) {
        return {RuleField::Number,     RuleField::Enable,   RuleField::Rule, RuleField::Replacement,
                RuleField::ReplaceAll, RuleField::Required, RuleField::Hits};
    }
    return {RuleField::Number, RuleField::Enable, RuleField::Rule, RuleField::Hits};
}

bool IsSwitchField(RuleField field) {
    return field == RuleField::Enable || field == RuleField::ReplaceAll ||
           field == RuleField::Required;
}

bool IsTextField(RuleField field) {
    return field == RuleField::Rule || field == RuleField::Replacement;
}

// The cell of a switch or text field (const or not); callers ask only for
// fields of that kind.
template <typename Cells>
auto& SwitchOf(Cells& cells, RuleField field) {
    return field == RuleField::Enable       ? cells.enable
           : field == RuleField::ReplaceAll ? cells.replAll
                                            : cells.need;
}

template <typename Cells>
auto& TextOf(Cells& cells, RuleField field) {
    return field == RuleField::Rule ? cells.rule : cells.repl;
}

// An empty rule (a row just added) does not compile either, but there is
// nothing to correct in it yet.
bool IsBroken(const RuleRow& row) {
    return !row.Error().empty() && !row.Cells().rule.empty();
}

QString ErrorText(const RuleRow& row) {
    return FromCp1251(row.Error());
}

}  // namespace

RuleListModel::RuleListModel(RuleList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), fields_(FieldsOf(list.Kind())) {
    for (const auto& row : list_.Snapshot()->rows) {
        shown_.push_back({row->Identity(), row->Hits()});
    }
}

RuleField RuleListModel::FieldOf(int column) const {
    return fields_.at(static_cast<std::size_t>(column));
}

int RuleListModel::ColumnOf(RuleField field) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i] == field) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool RuleListModel::IsSwitch(int column) const {
    return column >= 0 && column < columnCount() && IsSwitchField(FieldOf(column));
}

bool RuleListModel::IsText(int column) const {
    return column >= 0 && column < columnCount() && IsTextField(FieldOf(column));
}

int RuleListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shown_.size());
}

int RuleListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(fields_.size());
}

QVariant RuleListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const auto position = static_cast<std::size_t>(index.row());
    const auto snapshot = list_.Snapshot();
    if (position >= snapshot->rows.size()) {
        return {};  // replaced underneath; the next Refresh starts over
    }
    const RuleRow& row = *snapshot->rows[position];
    const RuleCells& cells = row.Cells();
    const RuleField field = FieldOf(index.column());
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            if (field == RuleField::Number) {
                return index.row() + 1;  // the position, whatever a file said
            }
            if (field == RuleField::Hits) {
                return static_cast<qlonglong>(shown_[position].hits);
            }
            if (IsTextField(field)) {
                return QString::fromStdString(TextOf(cells, field));
            }
            return {};
        case Qt::CheckStateRole:
            if (IsSwitchField(field)) {
                return static_cast<int>(SwitchOf(cells, field) ? Qt::Checked : Qt::Unchecked);
            }
            return {};
        case Qt::TextAlignmentRole:
            if (field == RuleField::Number || field == RuleField::Hits) {
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            }
            return {};
        case Qt::BackgroundRole:
            return IsBroken(row) ? QVariant(kBrokenRuleTint) : QVariant();
        case Qt::ToolTipRole:
            return IsBroken(row) ? QVariant(ErrorText(row)) : QVariant();
        default:
            return {};
    }
}

QVariant RuleListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (FieldOf(section)) {
        case RuleField::Number:
            return QStringLiteral("№");
        case RuleField::Enable:
            return QStringLiteral("Разрешить");
        case RuleField::Rule:
            return QStringLiteral("Правило");
        case RuleField::Replacement:
            return QStringLiteral("Замена");
        case RuleField::ReplaceAll:
            return QStringLiteral("Заменить все");
        case RuleField::Required:
            return QStringLiteral("Обязательный");
        case RuleField::Hits:
            return QStringLiteral("Кол-во попаданий");
    }
    return {};
}

Qt::ItemFlags RuleListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    // Switch cells are not "user checkable": the view toggles them on a
    // click anywhere in the cell, not only on the box.
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (IsText(index.column())) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool RuleListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= rowCount()) {
        return false;
    }
    if (role == Qt::CheckStateRole && IsSwitch(index.column())) {
        RuleCells cells = list_.Row(static_cast<std::size_t>(index.row()));
        const bool on = value.toInt() == Qt::Checked;
        SwitchOf(cells, FieldOf(index.column())) = on;
        Store(index.row(), std::move(cells), index.column(), index.column());
        if (on && FieldOf(index.column()) == RuleField::Enable) {
            WarnIfItRefusesWhatItDoesNotName(
                *list_.Snapshot()->rows.at(static_cast<std::size_t>(index.row())));
        }
        return true;
    }
    if (role != Qt::EditRole || !IsText(index.column())) {
        return false;
    }
    const QString text = value.toString();
    if (text == index.data(Qt::EditRole).toString()) {
        return true;  // an editor closed unchanged: nothing to compile or report
    }
    // A replacement writes such letters as browsers do; a pattern never
    // meets them.
    const QString outside =
        FieldOf(index.column()) == RuleField::Rule ? CharactersOutsideCp1251(text) : QString();
    if (!outside.isEmpty()) {
        emit TextNeedsConfirmation(QPersistentModelIndex(index), text, outside);
        return false;
    }
    StoreText(index, text);
    return true;
}

void RuleListModel::StoreText(const QModelIndex& index, const QString& pasted) {
    if (!index.isValid() || index.row() >= rowCount() || !IsText(index.column())) {
        return;
    }
    // A cell holds one line: a list file ends its row at every line break,
    // so a rule holding one would cut the list short at the next start.
    // Lines pasted into a rule are rules of their own, in rows after it.
    QStringList lines =
        pasted.split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts);
    if (lines.isEmpty()) {
        lines.append(QString());
    }
    if (FieldOf(index.column()) != RuleField::Rule) {
        lines = QStringList{lines.join(QString())};
    }
    if (lines.size() > 1) {
        InsertRules(index.row() + 1, lines.mid(1),
                    list_.Row(static_cast<std::size_t>(index.row())).enable);
    }
    const QString& text = lines.front();
    const auto position = static_cast<std::size_t>(index.row());
    RuleCells cells = list_.Row(position);
    const RuleField field = FieldOf(index.column());
    TextOf(cells, field) = text.toStdString();
    if (field != RuleField::Rule) {
        Store(index.row(), std::move(cells), index.column(), index.column());
        return;
    }
    // The row's tint and tooltip follow its pattern.
    Store(index.row(), std::move(cells), 0, columnCount() - 1);
    const RuleRow& row = *list_.Snapshot()->rows.at(position);
    // A rule with letters the code page lacks was confirmed by the user
    // after being told it would not act: no error box follows the question.
    if (!row.Error().empty() && CharactersOutsideCp1251(text).isEmpty()) {
        emit PatternFailed(ErrorText(row));
    } else if (row.Cells().enable) {
        WarnIfItRefusesWhatItDoesNotName(row);
    }
}

void RuleListModel::WarnIfItRefusesWhatItDoesNotName(const RuleRow& row) {
    if (RefusesWhatItDoesNotName(list_.Info(), row)) {
        QString warning = QString::fromUtf8(kGivesUpWarning.data(),
                                            static_cast<qsizetype>(kGivesUpWarning.size()));
        warning[0] = warning[0].toUpper();
        emit PatternFailed(warning);
    }
}

void RuleListModel::Toggle(const QModelIndex& index) {
    if (!index.isValid() || !IsSwitch(index.column())) {
        return;
    }
    const bool on = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    setData(index, static_cast<int>(on ? Qt::Unchecked : Qt::Checked), Qt::CheckStateRole);
}

void RuleListModel::Store(int row, RuleCells cells, int firstColumn, int lastColumn) {
    // Compiled and published here: the next request sees the new row.
    list_.Update(static_cast<std::size_t>(row), std::move(cells));
    emit dataChanged(index(row, firstColumn), index(row, lastColumn));
}

void RuleListModel::AppendRow() {
    InsertRow(rowCount());
}

void RuleListModel::InsertRules(int row, const QStringList& rules, bool enable) {
    // One insertion for the lot: a row at a time, each publishing the whole
    // list anew, made a pasted list of thousands take minutes.
    std::vector<RuleCells> cells;
    cells.reserve(static_cast<std::size_t>(rules.size()));
    for (const QString& rule : rules) {
        RuleCells added;
        added.enable = enable;
        added.rule = rule.toStdString();
        cells.push_back(std::move(added));
    }
    InsertCells(row, std::move(cells));
    const auto position = static_cast<std::size_t>(row);
    const auto snapshot = list_.Snapshot();
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const RuleRow& added = *snapshot->rows.at(position + static_cast<std::size_t>(i));
        if (!added.Error().empty() && CharactersOutsideCp1251(rules[i]).isEmpty()) {
            emit PatternFailed(ErrorText(added));
        }
    }
}

void RuleListModel::InsertRow(int row) {
    if (row < 0 || row > rowCount()) {
        return;
    }
    std::vector<RuleCells> empty(1);
    InsertCells(row, std::move(empty));
}

void RuleListModel::InsertCells(int row, std::vector<RuleCells> cells) {
    const auto position = static_cast<std::size_t>(row);
    const std::size_t count = cells.size();
    beginInsertRows({}, row, row + static_cast<int>(count) - 1);
    list_.Insert(position, std::move(cells));
    const auto snapshot = list_.Snapshot();
    std::vector<ShownRow> shown;
    shown.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const RuleRow& added = *snapshot->rows.at(position + i);
        shown.push_back({added.Identity(), added.Hits()});
    }
    shown_.insert(shown_.begin() + row, shown.begin(), shown.end());
    endInsertRows();
}

void RuleListModel::DeleteRow(int row) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    beginRemoveRows({}, row, row);
    list_.Delete(static_cast<std::size_t>(row));
    shown_.erase(shown_.begin() + row);
    endRemoveRows();
}

void RuleListModel::ResetHits() {
    list_.ResetHits();
    Refresh();
}

void RuleListModel::Refresh() {
    const auto snapshot = list_.Snapshot();
    const auto& rows = snapshot->rows;
    bool sameRows = rows.size() == shown_.size();
    for (std::size_t i = 0; sameRows && i < rows.size(); ++i) {
        sameRows = rows[i]->Identity() == shown_[i].id;
    }
    if (!sameRows) {
        // Loaded or edited other than through this model.
        beginResetModel();
        shown_.clear();
        for (const auto& row : rows) {
            shown_.push_back({row->Identity(), row->Hits()});
        }
        endResetModel();
        return;
    }
    const int column = ColumnOf(RuleField::Hits);
    int firstChanged = -1;
    for (std::size_t i = 0; i <= rows.size(); ++i) {
        const bool changed = i < rows.size() && rows[i]->Hits() != shown_[i].hits;
        if (changed) {
            shown_[i].hits = rows[i]->Hits();
            if (firstChanged < 0) {
                firstChanged = static_cast<int>(i);
            }
        } else if (firstChanged >= 0) {
            emit dataChanged(index(firstChanged, column), index(static_cast<int>(i) - 1, column),
                             {Qt::DisplayRole});
            firstChanged = -1;
        }
    }
}

}  // namespace vs::gui
