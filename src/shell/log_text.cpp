#include "shell/log_text.h"

#include <ctime>

namespace vs {

std::string FormatLogTime(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &local);
    return text;
}

std::string SanitizeLogText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) <= 9) {
            c = '.';
        }
    }
    return out;
}

std::string FormatLogEntry(std::chrono::system_clock::time_point when, std::string_view header,
                           std::string_view body) {
    std::string entry = FormatLogTime(when);
    entry += ' ';
    entry += header;
    entry += "\r\n";
    entry += SanitizeLogText(body);
    return entry;
}

std::vector<std::string> LogEntryLines(std::chrono::system_clock::time_point when,
                                       std::string_view header, std::string_view body) {
    const std::string entry = FormatLogEntry(when, header, body);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] != '\r' && entry[i] != '\n') {
            continue;
        }
        lines.emplace_back(entry, start, i - start);
        if (entry[i] == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < entry.size()) {
        lines.emplace_back(entry, start);
    }
    return lines;
}

}  // namespace vs
