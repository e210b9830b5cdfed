#pragma once
// The text of one log entry as the log shows it: the date and time
// "dd.MM.yyyy hh:mm:ss", a blank and the heading on the first line, then the
// body with control characters 0 to 9 shown as ".".

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vs {

std::string FormatLogTime(std::chrono::system_clock::time_point when);
std::string SanitizeLogText(std::string_view text);
std::string FormatLogEntry(std::chrono::system_clock::time_point when, std::string_view header,
                           std::string_view body);

// The entry of FormatLogEntry cut into its lines. CR LF, a lone CR and a
// lone LF each end one line (bodies are wire text, where all three occur).
// A final line end closes the last line and opens none: a message head's
// closing CR LF CR LF leaves one empty last line, which is then the blank
// line between it and the next entry, and an empty body adds no line.
std::vector<std::string> LogEntryLines(std::chrono::system_clock::time_point when,
                                       std::string_view header, std::string_view body);

}  // namespace vs
