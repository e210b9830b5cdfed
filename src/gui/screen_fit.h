#pragma once
// A window's first size is the design's, made for a desktop of its day; a
// small screen, or one scaled for a high resolution, may have less room, and
// a window taller or wider than the screen hides its bottom buttons.

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace vs::gui {

// The window manager's frame (title bar, borders) comes on top of a window's
// inner size and is not known before the window shows: room is kept for a
// tall one (up to three lines of text), or the bottom row and scroll bar
// would end below the screen's edge.
inline QSize FrameAllowance(const QWidget& window) {
    const int border = window.style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int titleBar = std::max(window.style()->pixelMetric(QStyle::PM_TitleBarHeight),
                                  3 * window.fontMetrics().height());
    return {2 * border, titleBar + 2 * border};
}

inline void ResizeWithinTheScreen(QWidget& window, QSize wanted) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        wanted = wanted.boundedTo(screen->availableGeometry().size() - FrameAllowance(window));
    }
    window.resize(wanted);
}

}  // namespace vs::gui
