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

inline std::string ToCp1251(const QString& text) {
    return cp1251::FromUtf8(text.toStdString());
}

}  // namespace vs::gui
