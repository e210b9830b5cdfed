#include "base/clock.h"

namespace vs {

const Clock& DefaultClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace vs
