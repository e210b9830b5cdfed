#include "rules/find_rule.h"

namespace vs {

std::atomic<bool> AltDown{false};
std::atomic<bool> CtrlDown{false};
std::atomic<bool> ShiftDown{false};

bool KeyComboHeld(int index) {
    const bool alt = AltDown.load();
    const bool ctrl = CtrlDown.load();
    const bool shift = ShiftDown.load();
    switch (index) {
        case 1:
            return alt;
        case 2:
            return ctrl;
        case 3:
            return shift;
        case 4:
            return ctrl && alt;
        case 5:
            return ctrl && shift;
        case 6:
            return alt && shift;
        default:
            return false;
    }
}

}  // namespace vs
