#pragma once
// The program's own pictures, drawn with QPainter at first use so that no
// image file has to travel with the executable. Every function needs a
// QGuiApplication to exist.

#include <QIcon>

namespace vs::gui {

// What kind of answer a monitor row got, as the engine reports it:
// 0 a plain answer, 1 a 304, 2 from the cache, 3 refused, 4 missing or failed.
inline constexpr int kMonitorKindCount = 5;
// Where a monitor row stands: 0 new, 1 answered below 300, 2 other or ended.
inline constexpr int kMonitorStateCount = 3;
// Frames of the tray icon's animation while traffic flows.
inline constexpr int kTrayFrameCount = 4;

// Null icons for indexes outside the ranges above: a row whose producer has
// not said yet shows nothing rather than a wrong picture.
QIcon MonitorKindIcon(int kind);
QIcon MonitorStateIcon(int state);
// Any frame number, counted on modulo the frame count, so a timer can just
// keep counting.
QIcon TrayFrame(int frame);
QIcon ApplicationIcon();

}  // namespace vs::gui
