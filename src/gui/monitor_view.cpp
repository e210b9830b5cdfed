#include "gui/monitor_view.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>

#include <algorithm>
#include <array>

#include "gui/column_fit.h"
#include "gui/cp1251_text.h"
#include "gui/grid_keys.h"
#include "gui/monitor_progress_delegate.h"
#include "gui/monitor_table_model.h"

namespace vs::gui {
namespace {

constexpr std::array<int, kMonitorColumnCount> kColumnWidths{40, 30, 300, 60, 60, 80, 80, 80};
constexpr int kRowHeight = 18;
constexpr int kHeaderHeight = 20;

// The standard delegate puts an icon at the left edge; the image columns
// are centred under their headers.
class CenteredIconDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QIcon icon = cell.icon;
        cell.icon = QIcon();
        cell.features &= ~QStyleOptionViewItem::HasDecoration;
        cell.text.clear();
        QStyle* style = cell.widget != nullptr ? cell.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, cell.widget);
        if (icon.isNull()) {
            return;
        }
        const QSize size = cell.decorationSize.boundedTo(cell.rect.size());
        QRect target(QPoint(), size);
        target.moveCenter(cell.rect.center());
        const QIcon::Mode mode =
            (cell.state & QStyle::State_Selected) ? QIcon::Selected : QIcon::Normal;
        icon.paint(painter, target, Qt::AlignCenter, mode);
    }
};

// The URL and answer columns offer their full text as a tool tip; it is
// shown only when the cell cuts the text, as a hint that there is more.
class CutTextDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip) {
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        }
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const int margin = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
        const bool cut = cell.fontMetrics.horizontalAdvance(cell.text) + margin > cell.rect.width();
        const QString tip = index.data(Qt::ToolTipRole).toString();
        if (!cut || tip.isEmpty()) {
            QToolTip::hideText();
            return true;
        }
        QToolTip::showText(event->globalPos(), tip, view, option.rect);
        return true;
    }
};

}  // namespace

MonitorView::MonitorView(QWidget* parent)
    : QTableView(parent),
      menu_(new QMenu(this)),
      copyUrl_(menu_->addAction(QStringLiteral("Копировать URL"))),
      stopDownload_(menu_->addAction(QStringLiteral("Остановить закачку"))) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(kRowHeight);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    horizontalHeader()->setFixedHeight(kHeaderHeight);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsMovable(true);
    setIconSize(QSize(16, 16));
    LetTheKeyboardLeaveAndOpenTheMenu(*this);
    copyUrl_->setShortcut(QKeySequence::Copy);
    // The menu acts on the row it was opened on: requests go on arriving
    // while it is open, and the selection may move to a newer row or, when
    // the row leaves the monitor, to another one.
    connect(copyUrl_, &QAction::triggered, this, [this] { CopyUrl(menuUrl_); });
    connect(stopDownload_, &QAction::triggered, this, [this] { StopDownload(menuRow_); });
    connect(menu_, &QMenu::aboutToShow, this, [this] {
        menuUrl_ = SelectedUrl();
        const std::optional<int> selected = SelectedRow();
        menuRow_ = selected && model_ != nullptr ? model_->EngineRow(*selected) : std::nullopt;
        copyUrl_->setEnabled(menuUrl_.has_value());
        stopDownload_->setEnabled(menuUrl_.has_value() && menuRow_.has_value());
    });
}

void MonitorView::SetMonitorModel(MonitorTableModel* model) {
    if (model_ != nullptr) {
        disconnect(model_, nullptr, this, nullptr);
    }
    model_ = model;
    setModel(model);
    if (model == nullptr) {
        return;
    }
    for (int column = 0; column < kMonitorColumnCount; ++column) {
        // The widths suit the captions in an 8-point Windows font; where the
        // desktop's font is wider a column takes what its caption needs.
        setColumnWidth(column, std::max(kColumnWidths[static_cast<std::size_t>(column)],
                                        horizontalHeader()->sectionSizeHint(column)));
    }
    for (MonitorColumn growing :
         {MonitorColumn::Number, MonitorColumn::Size, MonitorColumn::Received}) {
        KeepCellsWhole(*this, static_cast<int>(growing));
    }
    auto* centred = new CenteredIconDelegate(this);
    auto* cut = new CutTextDelegate(this);
    setItemDelegateForColumn(static_cast<int>(MonitorColumn::Image), centred);
    setItemDelegateForColumn(static_cast<int>(MonitorColumn::State), centred);
    setItemDelegateForColumn(static_cast<int>(MonitorColumn::Url), cut);
    setItemDelegateForColumn(static_cast<int>(MonitorColumn::Answer), cut);
    setItemDelegateForColumn(static_cast<int>(MonitorColumn::Progress),
                             new MonitorProgressDelegate(this));
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &MonitorView::BeforeRowsAdded);
    connect(model, &QAbstractItemModel::rowsInserted, this, &MonitorView::AfterRowsAdded);
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                if (first == 0) {
                    AfterRowsForgotten(last + 1);
                }
            });
}

std::optional<int> MonitorView::SelectedRow() const {
    if (model_ == nullptr || selectionModel() == nullptr) {
        return std::nullopt;
    }
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return std::nullopt;
    }
    return rows.front().row();
}

void MonitorView::BeforeRowsAdded() {
    // Decided before the rows arrive: afterwards the last row is a new one.
    // An empty monitor has nothing selected; following from the start means
    // the newest request is in view until the user picks another row.
    const int rows = model_->rowCount();
    const std::optional<int> selected = SelectedRow();
    // Not while the user points at a row with the popup menu.
    follow_ = !menu_->isVisible() && (rows == 0 || (selected && *selected == rows - 1));
}

void MonitorView::AfterRowsAdded() {
    if (!follow_) {
        return;
    }
    follow_ = false;
    FollowNewest();
}

void MonitorView::AfterRowsForgotten(int count) {
    // The oldest rows left the top: the rows in view moved up by as many,
    // and the view goes with them, so a row being read stays where it is.
    QScrollBar& bar = *verticalScrollBar();
    const int step = verticalScrollMode() == ScrollPerItem ? 1 : rowHeight(0);
    bar.setValue(std::max(bar.value() - count * step, 0));
}

void MonitorView::FollowNewest() {
    const int last = model_ != nullptr ? model_->rowCount() - 1 : -1;
    if (last < 0) {
        return;
    }
    selectRow(last);
    scrollTo(model_->index(last, 0));
}

std::optional<std::string> MonitorView::SelectedUrl() const {
    const std::optional<int> row = SelectedRow();
    if (!row) {
        return std::nullopt;
    }
    std::string url = model_->RowUrl(*row);
    if (url.empty()) {
        return std::nullopt;
    }
    return url;
}

void MonitorView::keyPressEvent(QKeyEvent* event) {
    // A row is selected whole: the copy is its URL, as the menu's, not the
    // text of whichever cell the keyboard last stood on.
    if (event->matches(QKeySequence::Copy)) {
        CopyUrl(SelectedUrl());
        event->accept();
        return;
    }
    // The row the keyboard stood on may have been forgotten: Qt would then
    // start every move, Ctrl+End too, from the grid's first row. The keys
    // go on from the first row in view instead.
    if (!currentIndex().isValid() && model_ != nullptr && model_->rowCount() > 0) {
        const QModelIndex top = model_->index(std::max(rowAt(0), 0), 0);
        selectionModel()->setCurrentIndex(top, QItemSelectionModel::NoUpdate);
    }
    QTableView::keyPressEvent(event);
}

void MonitorView::CopyUrl(const std::optional<std::string>& url) {
    if (url) {
        QApplication::clipboard()->setText(FromWire(*url));
    }
}

void MonitorView::StopDownload(std::optional<std::int32_t> row) {
    // By the row, not its URL: two downloads of one URL are two rows, and
    // the user stops the one chosen.
    if (row && stopHandler_) {
        stopHandler_(*row);
    }
}

void MonitorView::rowsAboutToBeRemoved(const QModelIndex& parent, int first, int last) {
    // Left to Qt, the selection would pass to the row taking the forgotten
    // one's place, and a stop chosen then would cut another user's download.
    const std::optional<int> selected = SelectedRow();
    if (selected && *selected >= first && *selected <= last) {
        selectionModel()->clear();
    }
    QTableView::rowsAboutToBeRemoved(parent, first, last);
}

void MonitorView::contextMenuEvent(QContextMenuEvent* event) {
    menu_->popup(event->globalPos());
    event->accept();
}

}  // namespace vs::gui
