#pragma once
// The monitor grid: one row per request shown, newest at the bottom. While
// the user keeps the last row selected the view follows new rows; once an
// earlier row is selected it stays put so that row can be read. Its popup
// menu copies a row's URL or stops its download.

#include <QTableView>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QAction;
class QMenu;

namespace vs::gui {

class MonitorTableModel;

class MonitorView : public QTableView {
    Q_OBJECT

public:
    // Receives the engine's number of the row whose download to stop; the
    // window hands it to the engine's StopList.
    using StopHandler = std::function<void(std::int32_t row)>;

    explicit MonitorView(QWidget* parent = nullptr);

    // Sets the model, its column widths and delegates. The view does not
    // own the model.
    void SetMonitorModel(MonitorTableModel* model);
    void SetStopHandler(StopHandler handler) { stopHandler_ = std::move(handler); }

    // The single selected row, if any.
    std::optional<int> SelectedRow() const;
    // The last row selected and in view, so that new rows are followed
    // again (the window coming back from the tray).
    void FollowNewest();

    QMenu* PopupMenu() const { return menu_; }
    QAction* CopyUrlAction() const { return copyUrl_; }
    QAction* StopDownloadAction() const { return stopDownload_; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int first, int last) override;

private:
    void BeforeRowsAdded();
    void AfterRowsAdded();
    void AfterRowsForgotten(int count);
    // The selected row's URL, or nothing when no row is selected or the row
    // holds no URL (one the core forgot).
    std::optional<std::string> SelectedUrl() const;
    // "Копировать URL": the URL to the clipboard as text.
    void CopyUrl(const std::optional<std::string>& url);
    // "Остановить закачку": the row to the stop handler.
    void StopDownload(std::optional<std::int32_t> row);

    MonitorTableModel* model_ = nullptr;
    StopHandler stopHandler_;
    QMenu* menu_;
    QAction* copyUrl_;
    QAction* stopDownload_;
    bool follow_ = false;
    // The row the popup menu was opened on: its URL and the engine's number.
    std::optional<std::string> menuUrl_;
    std::optional<std::int32_t> menuRow_;
};

}  // namespace vs::gui
