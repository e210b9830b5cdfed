#pragma once
// Finding one's way in the window as a user would: the pages holding a
// widget brought to the front, and where a popup menu appears.

#include <QApplication>
#include <QPoint>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>

#include <optional>

#include "support/wait.h"

namespace vs::test {

// Every tab holding the widget made current (a tab's page sits in the tab
// widget's stack, in a scroll area or not).
inline void ShowPagesHolding(QWidget& widget) {
    for (QWidget* w = &widget; w->parentWidget() != nullptr; w = w->parentWidget()) {
        if (auto* pages = qobject_cast<QStackedWidget*>(w->parentWidget())) {
            pages->setCurrentWidget(w);
        }
    }
}

// A menu runs its own event loop until it closes, so it is measured and
// closed from a timer once it shows.
template <typename Open>
std::optional<QPoint> WherePopupOpens(Open open) {
    std::optional<QPoint> at;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&at] {
        if (QWidget* menu = QApplication::activePopupWidget()) {
            at = menu->pos();
            menu->close();
        }
    });
    closer.start(10);
    open();
    WaitUntil([&at] {
        QCoreApplication::processEvents();
        return at.has_value();
    });
    return at;
}

// The widget's area on the screen.
inline QRect OnScreen(const QWidget& widget) {
    return {widget.mapToGlobal(QPoint(0, 0)), widget.size()};
}

}  // namespace vs::test
