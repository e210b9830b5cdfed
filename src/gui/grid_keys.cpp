#include "gui/grid_keys.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QPainter>
#include <QPen>
#include <QShortcut>
#include <QTableView>

namespace vs::gui {

void LetTheKeyboardLeaveAndOpenTheMenu(QTableView& grid) {
    grid.setTabKeyNavigation(false);
    auto* menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), &grid);
    menuKey->setContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(menuKey, &QShortcut::activated, &grid, [&grid] {
        // Where the Menu key would open it: at the current cell, brought
        // into view first (the menu acts on its row).
        const QModelIndex current = grid.currentIndex();
        if (current.isValid()) {
            grid.scrollTo(current);
        }
        const QPoint at = current.isValid() ? grid.visualRect(current).center()
                                            : grid.viewport()->rect().center();
        QContextMenuEvent event(QContextMenuEvent::Keyboard, at, grid.viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(grid.viewport(), &event);
    });
}

RowGrid::RowGrid(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void RowGrid::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (!hasFocus() || state() == EditingState) {
        return;
    }
    QPainter painter(viewport());
    const QModelIndex current = currentIndex();
    if (!current.isValid()) {
        // An empty list has no cell to frame; the Tab that arrived here must
        // still show where it went (Shift+F10 adds the first row).
        if (model() != nullptr && model()->rowCount() == 0) {
            painter.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
            painter.drawRect(viewport()->rect().adjusted(1, 1, -2, -2));
        }
        return;
    }
    // In the selection's text colour on a selected row, else in the text's
    // (focus arriving by Tab makes a cell current without selecting it).
    const bool selected =
        selectionModel() != nullptr && selectionModel()->isRowSelected(current.row(), {});
    painter.setPen(QPen(palette().color(selected ? QPalette::HighlightedText : QPalette::Text), 1,
                        Qt::DotLine));
    painter.drawRect(visualRect(current).adjusted(1, 1, -2, -2));
}

}  // namespace vs::gui
