#pragma once
// The window shows Unicode; the core keeps URLs, patterns and settings in
// the 8-bit code page, as they travel on the wire and in the files.

#include <QString>

#include <string>

#include "base/cp1251.h"

namespace vs::gui {

inline QString FromCp1251(const std::string& text) {
    return QString::fromStdString(cp1251::ToUtf8(text));
}

// A URL or header line as the browser or origin wrote it, raw UTF-8
// letters included.
inline QString FromWire(const std::string& line) {
    return QString::fromStdString(cp1251::LineToUtf8(line));
}

inline std::string ToCp1251(const QString& text) {
    return cp1251::FromUtf8(text.toStdString());
}

// Characters of `text` that Windows-1251 cannot hold, each once.
inline QString CharactersOutsideCp1251(const QString& text) {
    QString outside;
    for (const char32_t code : text.toUcs4()) {
        const QString character = QString::fromUcs4(&code, 1);
        if (code != U'?' && ToCp1251(character) == "?" && !outside.contains(character)) {
            outside += character;
        }
    }
    return outside;
}

}  // namespace vs::gui
