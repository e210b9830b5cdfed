#pragma once
// A window's first size is the design's, made for a desktop of its day; a
// small screen, or one scaled for a high resolution, may have less room, and
// a window taller or wider than the screen hides its bottom buttons.

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace vs::gui {

inline void ResizeWithinTheScreen(QWidget& window, QSize wanted) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        wanted = wanted.boundedTo(screen->availableGeometry().size());
    }
    window.resize(wanted);
}

}  // namespace vs::gui
