// ParseHTTPDate on arbitrary text, then FormatHTTPDate and back: a parsed
// date always formats into a text that parses to the same second.

#include <cstdlib>
#include <string>

#include "cache/http_date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace std::chrono;
    const std::string text(reinterpret_cast<const char*>(data), size);
    // An odd "now" with a fraction, so that giving back `now` is visible.
    const vs::Clock::TimePoint now = vs::Clock::TimePoint(seconds(1700000000)) + milliseconds(250);
    const vs::Clock::TimePoint parsed = vs::cache::ParseHTTPDate(text, now);
    const std::string formatted = vs::cache::FormatHTTPDate(parsed);
    if (formatted.size() != 29 || !formatted.ends_with(" GMT")) {
        std::abort();
    }
    const vs::Clock::TimePoint again = vs::cache::ParseHTTPDate(formatted, now);
    if (again != floor<seconds>(parsed)) {
        std::abort();
    }
    if (vs::cache::FormatHTTPDate(again) != formatted) {
        std::abort();
    }
    return 0;
}
