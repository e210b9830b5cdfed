#include "rules/find_rule.h"

#include <exception>

namespace vs {

std::atomic<bool> AltDown{false};
std::atomic<bool> CtrlDown{false};
std::atomic<bool> ShiftDown{false};

int FindRule(std::span<const RuleRow> rows, std::string_view subject) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RuleRow& row = rows[i];
        if (!row.enable || !row.matcher) {
            continue;
        }
        try {
            if (row.matcher->MatchText(subject)) {
                return static_cast<int>(i);
            }
        } catch (const std::exception&) {
            // A rule whose pattern cannot be used (left empty, say) must not
            // stop the rules after it.
        }
    }
    return -1;
}

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
