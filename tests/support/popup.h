#pragma once
// Where a popup menu appears: a menu runs its own event loop until it
// closes, so it is measured and closed from a timer once it shows.

#include <QApplication>
#include <QPoint>
#include <QTimer>
#include <QWidget>

#include <optional>

#include "support/wait.h"

namespace vs::test {

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
