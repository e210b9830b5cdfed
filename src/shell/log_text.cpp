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

}  // namespace vs
