#include "gui/grid_keys.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QShortcut>
#include <QTableView>

namespace vs::gui {

void LetTheKeyboardLeaveAndOpenTheMenu(QTableView& grid) {
    grid.setTabKeyNavigation(false);
    auto* menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), &grid);
    menuKey->setContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(menuKey, &QShortcut::activated, &grid, [&grid] {
        // Where the Menu key would open it: at the current cell.
        const QModelIndex current = grid.currentIndex();
        const QPoint at = current.isValid() ? grid.visualRect(current).center()
                                            : grid.viewport()->rect().center();
        QContextMenuEvent event(QContextMenuEvent::Keyboard, at, grid.viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(grid.viewport(), &event);
    });
}

}  // namespace vs::gui
