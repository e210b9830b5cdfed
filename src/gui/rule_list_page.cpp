#include "gui/rule_list_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "gui/column_fit.h"
#include "gui/field_wheel.h"
#include "gui/grid_keys.h"
#include "gui/rule_list_model.h"
#include "shell/proxy_service.h"

namespace vs::gui {
namespace {

// The grid's width inside the main window's first size (742 pixels), less
// a vertical scroll bar.
constexpr int kFirstGridWidth = 690;
constexpr int kNarrowestRuleColumn = 100;

// The settings that switch a list and name the keys that suspend it.
struct ListSwitches {
    bool Settings::*enabled;
    KeyComboIndex Settings::*cancelKeys;  // null: the list has none
};

ListSwitches SwitchesOf(ListKind kind) {
    switch (kind) {
        case ListKind::Black:
            return {&Settings::blackListEnabled, &Settings::blackListCancelKeys};
        case ListKind::Cache:
            return {&Settings::cacheListEnabled, nullptr};
        case ListKind::NoReq:
            return {&Settings::noRequestListEnabled, &Settings::noRequestCancelKeys};
        case ListKind::OnlyFromCache:
            return {&Settings::onlyFromCacheEnabled, &Settings::onlyFromCacheCancelKeys};
        case ListKind::UrlConverter:
            return {&Settings::urlConverterEnabled, &Settings::urlConverterCancelKeys};
    }
    return {&Settings::blackListEnabled, nullptr};
}

// In the order of the key-combination numbers.
const char* const kCancelKeyItems[] = {"Нет",      "Alt",        "Ctrl",     "Shift",
                                       "Ctrl+Alt", "Ctrl+Shift", "Alt+Shift"};

// A cell's editor takes a paste whole: lines pasted into a rule become rows
// of their own, and a line editor's usual limit of 32,767 letters would cut
// thousands of rules short, the last one to a broader pattern than meant.
class WholePasteDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            line->setMaxLength(std::numeric_limits<int>::max());
        }
        return editor;
    }
};

// Check boxes drawn in the middle of their cells: the whole cell is the
// target of the click.
class CenteredCheckDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        QStyle* style = cell.widget != nullptr ? cell.widget->style() : QApplication::style();
        cell.features &= ~QStyleOptionViewItem::HasCheckIndicator;
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, cell.widget);

        QStyleOptionViewItem box = cell;
        box.rect = QRect(0, 0, style->pixelMetric(QStyle::PM_IndicatorWidth, &cell, cell.widget),
                         style->pixelMetric(QStyle::PM_IndicatorHeight, &cell, cell.widget));
        box.rect.moveCenter(option.rect.center());
        box.state = option.state & ~QStyle::State_HasFocus;
        box.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On
                                                                           : QStyle::State_Off;
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, cell.widget);
    }
};

// Enter opens the editor on the cell the list edits (so do F2 and a double
// click, where a desktop user tries first); Space toggles the current
// switch, or the row's "Разрешить" from any other cell, so that it never
// does nothing on a row that looks selected whole.
class RuleGridView : public RowGrid {
public:
    RuleGridView(RuleListModel& model, QWidget* parent) : RowGrid(parent), model_(model) {
        setModel(&model);
        // Text cells open through EditCurrent, never on a single click.
        setEditTriggers(QAbstractItemView::NoEditTriggers);
        connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
            if (model_.IsSwitch(index.column())) {
                model_.Toggle(index);
            }
        });
        connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
            if (!model_.IsSwitch(index.column()) && state() != EditingState) {
                EditCurrent();
            }
        });
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                           event->key() == Qt::Key_F2;
        if (enter && state() != EditingState) {
            EditCurrent();
            event->accept();
            return;
        }
        if (event->key() == Qt::Key_Space && currentIndex().isValid()) {
            model_.Toggle(SwitchToToggle(currentIndex()));
            event->accept();
            return;
        }
        RowGrid::keyPressEvent(event);
    }

private:
    // The rule whatever cell is current; on the URL converter the rule or
    // the replacement when that is the current cell, nothing otherwise.
    int ColumnToEdit(int current) const {
        if (model_.List().Kind() != ListKind::UrlConverter) {
            return model_.ColumnOf(RuleField::Rule);
        }
        return model_.IsText(current) ? current : -1;
    }

    QModelIndex SwitchToToggle(const QModelIndex& current) const {
        if (model_.IsSwitch(current.column())) {
            return current;
        }
        return model_.index(current.row(), model_.ColumnOf(RuleField::Enable));
    }

    void EditCurrent() {
        const QModelIndex current = currentIndex();
        if (!current.isValid()) {
            return;
        }
        const int column = ColumnToEdit(current.column());
        if (column < 0) {
            return;
        }
        const QModelIndex target = model_.index(current.row(), column);
        setCurrentIndex(target);
        edit(target);
    }

    RuleListModel& model_;
};

}  // namespace

RuleListPage::RuleListPage(ProxyService& service, ListKind kind, QWidget* parent)
    : QWidget(parent),
      service_(service),
      kind_(kind),
      model_(new RuleListModel(service.Lists().Of(kind), this)),
      confirm_([this](const QString& text, const QString& outside) {
          return AskToStore(text, outside);
      }) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(BuildSwitches());
    BuildGrid();
    layout->addWidget(grid_, 1);
    connect(model_, &RuleListModel::PatternFailed, this, &RuleListPage::Failed);
    // Asked after the editor has closed: a modal box inside the delegate's
    // commit would take the focus from an editor still committing.
    connect(
        model_, &RuleListModel::TextNeedsConfirmation, this,
        [this](const QPersistentModelIndex& index, const QString& text, const QString& outside) {
            if (!index.isValid()) {
                return;
            }
            if (confirm_(text, outside)) {
                model_->StoreText(index, text);
                return;
            }
            // Not stored, yet not lost: the typed text goes back into the
            // cell's editor, so that one wrong letter is mended, not a long
            // rule typed again.
            grid_->setCurrentIndex(index);
            grid_->edit(index);
            if (auto* editor = qobject_cast<QLineEdit*>(grid_->indexWidget(index))) {
                editor->setText(text);
            }
        },
        Qt::QueuedConnection);
    ShowSwitches();
}

QWidget* RuleListPage::BuildSwitches() {
    auto* strip = new QWidget(this);
    auto* rows = new QVBoxLayout(strip);
    rows->setContentsMargins(0, 0, 0, 0);
    auto* top = new QHBoxLayout;
    rows->addLayout(top);
    auto addBox = [this, strip](QBoxLayout* row, const QString& caption, bool Settings::*field,
                                const char* name) {
        auto* box = new QCheckBox(caption, strip);
        box->setObjectName(QString::fromLatin1(name));
        row->addWidget(box);
        connect(box, &QCheckBox::clicked, this, [this, field](bool checked) {
            service_.SettingsModel().*field = checked;
            service_.PublishSwitches();
        });
        refreshers_.push_back(
            [this, box, field] { box->setChecked(service_.SettingsModel().*field); });
    };
    const ListSwitches switches = SwitchesOf(kind_);
    addBox(top, QStringLiteral("Разрешен"), switches.enabled, "enabled");
    if (switches.cancelKeys != nullptr) {
        top->addSpacing(16);
        // Two lines where a small or scaled screen leaves no room for one
        // (the strip sets the window's least width, and the grid below must
        // stay within the window, its scroll bar in reach); at most two,
        // with room for both, as the window's least height does not ask the
        // label how tall it grows.
        auto* keysLabel = new QLabel(QStringLiteral("Отключать, пока нажаты:"), strip);
        keysLabel->setWordWrap(true);
        const QFontMetrics metrics = keysLabel->fontMetrics();
        keysLabel->setMinimumWidth(
            std::max(metrics.horizontalAdvance(QStringLiteral("Отключать,")),
                     metrics.horizontalAdvance(QStringLiteral("пока нажаты:"))) +
            2);
        keysLabel->setMinimumHeight(keysLabel->heightForWidth(keysLabel->minimumWidth()));
        top->addWidget(keysLabel);
        auto* keys = new QComboBox(strip);
        keys->setObjectName(QStringLiteral("cancelKeys"));
        for (const char* item : kCancelKeyItems) {
            keys->addItem(QString::fromUtf8(item));
        }
        top->addWidget(keys);
        KeyComboIndex Settings::*field = switches.cancelKeys;
        // Only a choice of the user is stored: a file's -1 stays -1.
        connect(keys, &QComboBox::activated, this, [this, field](int index) {
            service_.SettingsModel().*field = index;
            service_.PublishSwitches();
        });
        refreshers_.push_back([this, keys, field] {
            const KeyComboIndex index = service_.SettingsModel().*field;
            // Nothing selected, or a number no combination has, is "Нет".
            keys->setCurrentIndex(index >= 0 && index < keys->count() ? index : 0);
        });
    }
    // A choice the wheel made in passing is published at once, and
    // holding those keys then switches the list off.
    KeepTheWheelOffFields(*strip, nullptr);
    top->addStretch(1);
    auto* save = new QPushButton(QStringLiteral("Сохранить"), strip);
    save->setObjectName(QStringLiteral("save"));
    connect(save, &QPushButton::clicked, this, &RuleListPage::Save);
    top->addWidget(save);
    auto* reset = new QPushButton(QStringLiteral("Обнулить"), strip);
    reset->setObjectName(QStringLiteral("resetHits"));
    connect(reset, &QPushButton::clicked, this, &RuleListPage::ResetHits);
    top->addWidget(reset);

    if (kind_ == ListKind::OnlyFromCache) {
        // One under the other: side by side they made the page wider than
        // the strip above.
        addBox(rows, QStringLiteral("Отменить для запросов из Opera"),
               &Settings::onlyFromCacheSparesOpera, "sparesOpera");
        addBox(rows, QStringLiteral("Не показывать соединения в мониторе"),
               &Settings::hideOnlyFromCacheAnswers, "hideAnswers");
    }
    return strip;
}

void RuleListPage::BuildGrid() {
    grid_ = new RuleGridView(*model_, this);
    grid_->setObjectName(GridName());
    grid_->verticalHeader()->hide();  // the number column is the row header
    grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
    grid_->setWordWrap(false);
    grid_->setItemDelegate(new WholePasteDelegate(grid_));
    auto* checks = new CenteredCheckDelegate(grid_);
    // Every column wide enough for its caption; the rule (and the
    // converter's replacement) share what is left of the grid's width in
    // the window's first size, so that the hit count shows without
    // scrolling sideways.
    const auto isText = [this](int column) {
        const RuleField field = model_->FieldOf(column);
        return field == RuleField::Rule || field == RuleField::Replacement;
    };
    int captionsWidth = 0;
    int textColumns = 0;
    for (int column = 0; column < model_->columnCount(); ++column) {
        if (model_->IsSwitch(column)) {
            grid_->setItemDelegateForColumn(column, checks);
        }
        if (isText(column)) {
            ++textColumns;
            continue;
        }
        const QString caption = model_->headerData(column, Qt::Horizontal).toString();
        const int width = grid_->horizontalHeader()->fontMetrics().horizontalAdvance(caption) + 20;
        grid_->setColumnWidth(column, width);
        captionsWidth += width;
    }
    const int textWidth = std::max(kNarrowestRuleColumn,
                                   (kFirstGridWidth - captionsWidth) / std::max(textColumns, 1));
    for (int column = 0; column < model_->columnCount(); ++column) {
        if (isText(column)) {
            grid_->setColumnWidth(column, textWidth);
        }
    }
    KeepCellsWhole(*grid_, 0);

    menu_ = new QMenu(this);
    connect(menu_->addAction(QStringLiteral("Добавить")), &QAction::triggered, this,
            &RuleListPage::AddRow);
    connect(menu_->addAction(QStringLiteral("Вставить")), &QAction::triggered, this,
            &RuleListPage::InsertRow);
    connect(menu_->addAction(QStringLiteral("Удалить")), &QAction::triggered, this,
            &RuleListPage::DeleteRow);
    grid_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(grid_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { menu_->popup(grid_->viewport()->mapToGlobal(at)); });
    LetTheKeyboardLeaveAndOpenTheMenu(*grid_);
}

QString RuleListPage::GridName() const {
    switch (kind_) {
        case ListKind::Black:
            return QStringLiteral("BlackList");
        case ListKind::Cache:
            return QStringLiteral("CacheList");
        case ListKind::NoReq:
            return QStringLiteral("NoReqList");
        case ListKind::OnlyFromCache:
            return QStringLiteral("OnlyFromCacheList");
        case ListKind::UrlConverter:
            return QStringLiteral("URLFiltrList");
    }
    return {};
}

void RuleListPage::Refresh() {
    model_->Refresh();
}

void RuleListPage::ShowSwitches() {
    for (const auto& refresh : refreshers_) {
        refresh();
    }
}

int RuleListPage::CurrentColumn() const {
    const QModelIndex current = grid_->currentIndex();
    return current.isValid() ? current.column() : model_->ColumnOf(RuleField::Rule);
}

void RuleListPage::MakeCurrent(int row, int column) {
    const QModelIndex index = model_->index(row, column);
    grid_->setCurrentIndex(index);
    if (index.isValid()) {
        grid_->scrollTo(index);
    }
}

void RuleListPage::AddRow() {
    const int column = CurrentColumn();
    model_->AppendRow();
    MakeCurrent(model_->rowCount() - 1, column);
}

void RuleListPage::InsertRow() {
    const QModelIndex current = grid_->currentIndex();
    if (!current.isValid()) {
        return;
    }
    model_->InsertRow(current.row());
    MakeCurrent(current.row(), current.column());
}

void RuleListPage::DeleteRow() {
    const QModelIndex current = grid_->currentIndex();
    if (!current.isValid()) {
        return;
    }
    const int row = current.row();
    const int column = current.column();
    model_->DeleteRow(row);
    // The row that took its place, else the new last one, else none.
    MakeCurrent(std::min(row, model_->rowCount() - 1), column);
}

void RuleListPage::Save() {
    RuleList& list = model_->List();
    try {
        const OtherVersionKept kept =
            list.Save(service_.DataDir() / std::string(list.Info().fileName));
        if (const auto message = OtherVersionKeptMessage(list.Info().fileName, kept)) {
            emit Failed(QString::fromStdString(*message));
        }
    } catch (const std::exception& e) {
        // The file keeps what it had and the list in memory stays, for the
        // next save to try again; the user who pressed the button is told.
        emit Failed(QString::fromStdString(SaveFailureMessage(list.Info().fileName, e)));
    }
}

void RuleListPage::ResetHits() {
    model_->ResetHits();
}

bool RuleListPage::AskToStore(const QString& text, const QString& outside) {
    const QString message =
        QStringLiteral(
            "В тексте «%1» есть символы, которых нет в кодировке Windows-1251: %2\n"
            "Прокси видит адреса в этой кодировке: правило с ними не действует.\n\n"
            "Сохранить так?")
            .arg(text, outside);
    return QMessageBox::warning(this, QStringLiteral("Vellostore"), message,
                                QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace vs::gui
