#pragma once
// The modifier-key conditions rules and hot keys can ask for. Picking the
// rule that applies to a text is FindRule in rules/rule_list.h.

#include <atomic>

namespace vs {

// Modifier keys, sampled by the UI thread every 100 ms. Without a UI they
// stay false.
extern std::atomic<bool> AltDown;
extern std::atomic<bool> CtrlDown;
extern std::atomic<bool> ShiftDown;

// Key combinations as numbered in the settings:
// 0 none, 1 Alt, 2 Ctrl, 3 Shift, 4 Ctrl+Alt, 5 Ctrl+Shift, 6 Alt+Shift.
// Whether every key of the combination is held right now (other keys may be
// held as well); false for 0 and unknown numbers.
bool KeyComboHeld(int index);

}  // namespace vs
