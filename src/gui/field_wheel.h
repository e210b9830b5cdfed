#pragma once
// The wheel turned to scroll must not change a value nobody chose: a number,
// date or choice field takes it only while it has the focus, and not in the
// middle of a wheel gesture that began by scrolling the page (the page moves
// a field under the pointer, the focused one too). Other turns scroll the
// page, when there is one to scroll.

class QAbstractScrollArea;
class QWidget;

namespace vs::gui {

void KeepTheWheelOffFields(QWidget& fields, QAbstractScrollArea* page);

}  // namespace vs::gui
