#pragma once
// The main window "Vellostore": one page control with the monitor, the
// settings, the lists and the about page. It runs the application thread's
// passes over the core: the monitor queue drained at least ten times a
// second and again soon while workers keep queueing, the monitor grid told
// exactly what changed, the traffic labels and the chart fed once a second.

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gui/grid_layouts.h"

class QLabel;
class QTabWidget;

namespace vs {
enum class ListKind;
class ProxyService;
class TrafficChart;
}  // namespace vs

namespace vs::gui {

class LogWindow;
class MonitorTableModel;
class MonitorView;
class RuleListPage;
class SettingsPages;
class StatisticsPage;
class Tray;
class UsersPage;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(ProxyService& service, LogWindow& log, QWidget* parent = nullptr);
    ~MainWindow() override;

    // One pass: drain, show what changed, labels; a failure of the cleaning
    // run or of a listener restart in the (single) error box.
    void Pass();
    // The one-second tick: the chart's sample and the tray.
    void SecondTick();
    // The 100 ms tick: the modifier keys for the rules' cancel keys, the
    // periodic statistics save.
    void Tick();
    // Shows a message for the user in the one error box: a message arriving
    // while the box is open joins it (once), so that none is lost and boxes
    // never stack.
    void ShowError(const QString& text);
    // The listener's latest failure (in the code page), or none: it replaces
    // the one shown before, which no longer holds. The start-up's failure
    // comes this way too, so that a port that works later takes it away.
    void ShowListenerReport(const std::optional<std::string>& message);
    // Takes a message out of the box once it no longer holds (the listener
    // started after all); the box closes when nothing is left in it.
    void WithdrawError(const QString& text);

    // The window's placement and the grids' column layouts into the
    // settings model, for the next save: "Flags", "ShowCmd", "PixelsPerInch", "MinMaxPos" and
    // "NormPos" (each also under the key naming the screen size), "Visible" ("1" only when saved as
    // the window closes).
    void StorePlacement(bool closing);
    // The normal position from the settings file: the key naming this
    // screen's size first, then the plain one.
    void RestorePlacement();
    // The grid gets the column layout stored under its name, and its
    // layout is stored with the placement from now on.
    void KeepLayoutOf(QTableView& grid, std::string name) { layouts_.Keep(grid, std::move(name)); }

    // A click on the tray icon: hide, or show with the newest row in view.
    void ToggleShown();
    // Shown in front, with the newest row in view, however it was hidden.
    void ShowInFront();
    // Hidden with only the tray icon to come back from; shown again should
    // the tray go (a panel that ends or restarts).
    void HideInTray();

    MonitorView& Monitor() const { return *monitorView_; }
    Tray& TrayIcon() const { return *tray_; }
    TrafficChart& Chart() const { return *chart_; }
    RuleListPage& ListPage(ListKind kind) const;
    UsersPage& Users() const { return *usersPage_; }
    StatisticsPage& Statistics() const { return *statisticsPage_; }
    QTabWidget& Pages() const { return *pages_; }
    QString InternetText() const;
    QString CacheText() const;
    // The error box, while one shows.
    QMessageBox* ErrorBox() const { return errorBox_; }

protected:
    // The top strip's resizes place the chart (the strip follows the
    // window's size through the layout, after the window's own resize).
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Minimising hides the window to the tray, where there is one.
    void changeEvent(QEvent* event) override;

private:
    QWidget* BuildMonitorPage();
    QWidget* BuildSettingsPages();
    QWidget* BuildListPages();
    QWidget* BuildAboutPage();
    void PlaceChart();
    void FillLabels();

    ProxyService& service_;
    LogWindow& log_;
    MonitorTableModel* monitorModel_;
    GridLayouts layouts_;
    QTabWidget* pages_ = nullptr;
    QWidget* strip_ = nullptr;
    QLabel* internetLabel_ = nullptr;
    QLabel* cacheLabel_ = nullptr;
    TrafficChart* chart_ = nullptr;
    MonitorView* monitorView_ = nullptr;
    SettingsPages* settings_ = nullptr;
    // In the order of the list pages (ListKind).
    std::vector<RuleListPage*> listPages_;
    UsersPage* usersPage_ = nullptr;
    StatisticsPage* statisticsPage_ = nullptr;
    Tray* tray_ = nullptr;
    QPointer<QMessageBox> errorBox_;
    // The listener's last message shown (a busy port, a parent loop), empty
    // while it listens.
    QString listenerError_;
    QTimer passTimer_;
    QElapsedTimer viewShown_;  // since the pass last showed its changes
    QTimer tickTimer_;
    QTimer secondTimer_;
    bool inPass_ = false;
    bool hiddenInTray_ = false;
};

}  // namespace vs::gui
