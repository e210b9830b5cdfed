#pragma once
// The "Статистика" page: the daily traffic table, a column per user, with
// "Посчитать сумму" filling a footer under every user column; leaving the
// page clears the footers again, so they never show stale totals.

#include <QAbstractTableModel>
#include <QIdentityProxyModel>
#include <QTimer>
#include <QWidget>

#include <string>
#include <vector>

class QHeaderView;
class QTableView;

namespace vs {
class ProxyService;
class StatTable;
}  // namespace vs

namespace vs::gui {

// The table as the view was last told about it. The core's table changes
// under the consumer's drains and the users page's edits without telling
// anyone, and a user's column may go away meanwhile; the view only ever
// reads this copy, which Refresh brings up to date.
class StatTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit StatTableModel(const StatTable& table, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Announces the columns and rows that came or went, then exactly the
    // captions and cells that changed.
    void Refresh();

private:
    void RefreshColumns();
    void RefreshRows();
    void RefreshCaptions();
    void RefreshCells();

    const StatTable& table_;
    std::vector<std::string> captions_;
    std::vector<std::vector<std::string>> rows_;
};

// The footers: the grid's columns with the totals as captions.
class StatFooterModel : public QIdentityProxyModel {
    Q_OBJECT

public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Texts for the user columns, from column 1; empty clears them all.
    void SetTotals(std::vector<std::string> totals);
    QString Footer(int column) const;

private:
    std::vector<std::string> totals_;
};

class StatisticsPage : public QWidget {
    Q_OBJECT

public:
    // The name the grid's column layout is stored under.
    static constexpr const char* kGridName = "StatList";

    explicit StatisticsPage(ProxyService& service, QWidget* parent = nullptr);

    QTableView& Grid() const { return *grid_; }
    StatTableModel& Model() const { return *model_; }
    const StatFooterModel& Footers() const { return *footerModel_; }

    // The grid catches up with the core's table.
    void Refresh();
    // "Посчитать сумму".
    void Sum();

protected:
    void showEvent(QShowEvent* event) override;
    // Leaving the page, by another tab or by hiding the window.
    void hideEvent(QHideEvent* event) override;

private:
    void FollowGridColumns();

    ProxyService& service_;
    StatTableModel* model_;
    StatFooterModel* footerModel_;
    QTableView* grid_;
    QHeaderView* footer_;
    // Today's cells grow with the traffic while the page shows.
    QTimer refreshTimer_;
    // The first showing opens at today's row, below years of days; later
    // ones keep the place the user scrolled to.
    bool shownBefore_ = false;
};

}  // namespace vs::gui
