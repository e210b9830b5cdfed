#include "gui/statistics_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "gui/column_fit.h"
#include "gui/grid_keys.h"
#include "shell/proxy_service.h"
#include "shell/statistics.h"

namespace vs::gui {
namespace {

constexpr int kRefreshMs = 1000;

// Calls announce(first, last) for every run of positions in [0, count) at
// which changed(position) holds.
template <typename Changed, typename Announce>
void ForEachChangedRun(int count, Changed changed, Announce announce) {
    for (int first = 0; first < count;) {
        if (!changed(first)) {
            ++first;
            continue;
        }
        int last = first;
        while (last + 1 < count && changed(last + 1)) {
            ++last;
        }
        announce(first, last);
        first = last + 1;
    }
}

}  // namespace

StatTableModel::StatTableModel(const StatTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {
    for (int c = 0; c < table_.ColumnCount(); ++c) {
        captions_.push_back(table_.Caption(c));
    }
    for (int r = 0; r < table_.RowCount(); ++r) {
        auto& row = rows_.emplace_back();
        for (int c = 0; c < table_.ColumnCount(); ++c) {
            row.push_back(table_.Cell(r, c));
        }
    }
}

int StatTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int StatTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(captions_.size());
}

QVariant StatTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const auto& row = rows_[static_cast<std::size_t>(index.row())];
    return QString::fromStdString(row[static_cast<std::size_t>(index.column())]);
}

QVariant StatTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    return QString::fromStdString(captions_[static_cast<std::size_t>(section)]);
}

Qt::ItemFlags StatTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void StatTableModel::Refresh() {
    RefreshColumns();
    RefreshRows();
    RefreshCaptions();
    RefreshCells();
}

void StatTableModel::RefreshColumns() {
    const int shown = columnCount();
    const int now = table_.ColumnCount();
    if (now < shown) {
        // A deleted user's column goes as that column, so those after it
        // keep their widths; any other loss is taken from the end, and the
        // captions and cells after it are announced as changed.
        const int gone = shown - now;
        int first = 1;
        while (first < now && captions_[first] == table_.Caption(first)) {
            ++first;
        }
        for (int c = first; c < now; ++c) {
            if (captions_[c + gone] != table_.Caption(c)) {
                first = now;
                break;
            }
        }
        beginRemoveColumns({}, first, first + gone - 1);
        captions_.erase(captions_.begin() + first, captions_.begin() + first + gone);
        for (auto& row : rows_) {
            row.erase(row.begin() + first, row.begin() + first + gone);
        }
        endRemoveColumns();
    } else if (now > shown) {
        beginInsertColumns({}, shown, now - 1);
        const int known = std::min(rowCount(), table_.RowCount());
        for (int c = shown; c < now; ++c) {
            captions_.push_back(table_.Caption(c));
        }
        for (int r = 0; r < rowCount(); ++r) {
            auto& row = rows_[static_cast<std::size_t>(r)];
            for (int c = shown; c < now; ++c) {
                row.push_back(r < known ? table_.Cell(r, c) : std::string());
            }
        }
        endInsertColumns();
    }
}

void StatTableModel::RefreshRows() {
    const int shown = rowCount();
    const int now = table_.RowCount();
    if (now < shown) {
        beginRemoveRows({}, now, shown - 1);
        rows_.resize(static_cast<std::size_t>(now));
        endRemoveRows();
    } else if (now > shown) {
        beginInsertRows({}, shown, now - 1);
        for (int r = shown; r < now; ++r) {
            auto& row = rows_.emplace_back();
            for (int c = 0; c < columnCount(); ++c) {
                row.push_back(table_.Cell(r, c));
            }
        }
        endInsertRows();
    }
}

void StatTableModel::RefreshCaptions() {
    ForEachChangedRun(
        columnCount(), [this](int c) { return captions_[c] != table_.Caption(c); },
        [this](int first, int last) {
            for (int c = first; c <= last; ++c) {
                captions_[c] = table_.Caption(c);
            }
            emit headerDataChanged(Qt::Horizontal, first, last);
        });
}

void StatTableModel::RefreshCells() {
    for (int r = 0; r < rowCount(); ++r) {
        auto& row = rows_[static_cast<std::size_t>(r)];
        ForEachChangedRun(
            columnCount(), [&](int c) { return row[c] != table_.Cell(r, c); },
            [&](int first, int last) {
                for (int c = first; c <= last; ++c) {
                    row[c] = table_.Cell(r, c);
                }
                emit dataChanged(index(r, first), index(r, last), {Qt::DisplayRole});
            });
    }
}

QVariant StatFooterModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) {
        return QIdentityProxyModel::headerData(section, orientation, role);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    return role == Qt::DisplayRole ? QVariant(Footer(section)) : QVariant();
}

QString StatFooterModel::Footer(int column) const {
    if (column < 1 || column > static_cast<int>(totals_.size())) {
        return {};
    }
    return QString::fromStdString(totals_[static_cast<std::size_t>(column - 1)]);
}

void StatFooterModel::SetTotals(std::vector<std::string> totals) {
    const int last = std::min<int>(columnCount() - 1, std::max(totals.size(), totals_.size()));
    totals_ = std::move(totals);
    if (last >= 1) {
        emit headerDataChanged(Qt::Horizontal, 1, last);
    }
}

StatisticsPage::StatisticsPage(ProxyService& service, QWidget* parent)
    : QWidget(parent),
      service_(service),
      model_(new StatTableModel(service.Statistics(), this)),
      footerModel_(new StatFooterModel(this)),
      grid_(new QTableView(this)),
      footer_(new QHeaderView(Qt::Horizontal, this)) {
    grid_->setObjectName(QString::fromLatin1(kGridName));
    grid_->setModel(model_);
    grid_->verticalHeader()->hide();
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->horizontalHeader()->setDefaultSectionSize(110);

    footer_->setObjectName("footer");
    footerModel_->setSourceModel(model_);
    footer_->setModel(footerModel_);
    footer_->setSectionsClickable(false);
    footer_->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* header = grid_->horizontalHeader();
    connect(header, &QHeaderView::sectionResized, footer_,
            [this](int column, int, int size) { footer_->resizeSection(column, size); });
    connect(header, &QHeaderView::sectionMoved, this, &StatisticsPage::FollowGridColumns);
    // Scrolled by pixels, the scroll bar's value is the offset the footer
    // takes; scrolled by items it would count columns.
    grid_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(grid_->horizontalScrollBar(), &QScrollBar::valueChanged, footer_,
            &QHeaderView::setOffset);
    KeepEveryColumnWhole(*grid_);
    LetTheKeyboardLeaveAndOpenTheMenu(*grid_);
    // Connected after both headers, which have their sections by then.
    for (auto signal :
         {&QAbstractItemModel::columnsInserted, &QAbstractItemModel::columnsRemoved}) {
        connect(model_, signal, this, &StatisticsPage::FollowGridColumns);
    }

    auto* sum = new QPushButton(QStringLiteral("Посчитать сумму"), this);
    sum->setObjectName("sum");
    connect(sum, &QPushButton::clicked, this, &StatisticsPage::Sum);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    // The grid takes the height; the footer is one line like the header.
    layout->addWidget(grid_, 1);
    footer_->setFixedHeight(grid_->horizontalHeader()->sizeHint().height());
    // The footer starts where the grid's cells do, inside its frame.
    auto* footerRow = new QHBoxLayout;
    footerRow->setContentsMargins(grid_->frameWidth(), 0, grid_->frameWidth(), 0);
    footerRow->addWidget(footer_);
    layout->addLayout(footerRow);
    layout->addSpacing(6);
    layout->addWidget(sum, 0, Qt::AlignLeft);
    FollowGridColumns();

    connect(&refreshTimer_, &QTimer::timeout, this, &StatisticsPage::Refresh);
}

void StatisticsPage::FollowGridColumns() {
    const QHeaderView* header = grid_->horizontalHeader();
    for (int visual = 0; visual < header->count() && visual < footer_->count(); ++visual) {
        const int column = header->logicalIndex(visual);
        footer_->moveSection(footer_->visualIndex(column), visual);
        footer_->resizeSection(column, header->sectionSize(column));
        footer_->setSectionHidden(column, header->isSectionHidden(column));
    }
    footer_->setOffset(header->offset());
}

void StatisticsPage::Refresh() {
    model_->Refresh();
}

void StatisticsPage::Sum() {
    Refresh();
    footerModel_->SetTotals(service_.Statistics().Sums());
    // A total is longer than a day's cell ("2.93 MB / 20.00 kB"): its column
    // widens to show it whole, and the footer follows the grid.
    for (int column = 1; column < footer_->count(); ++column) {
        WidenTo(*grid_->horizontalHeader(), column, footer_->sectionSizeHint(column));
    }
}

void StatisticsPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
    if (!shownBefore_) {
        shownBefore_ = true;
        grid_->scrollToBottom();
    }
    refreshTimer_.start(kRefreshMs);
}

void StatisticsPage::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    refreshTimer_.stop();
    footerModel_->SetTotals({});
}

}  // namespace vs::gui
