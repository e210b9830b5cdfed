#include "shell/ini_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "base/atomic_file.h"
#include "base/cp1251.h"
#include "base/utf.h"

namespace vs {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsQuoted(std::string_view v) {
    return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
}

std::string_view Unquoted(std::string_view v) {
    return IsQuoted(v) ? v.substr(1, v.size() - 2) : v;
}

enum class LineKind { kOther, kComment, kSection, kEntry };

struct LineParts {
    LineKind kind = LineKind::kOther;
    std::string_view name;
    std::size_t valueBegin = 0;  // offset of the value's first byte in the line
    std::string_view value;      // trimmed, quotes still on
};

LineParts Split(std::string_view line) {
    LineParts parts;
    const std::string_view body = Trim(line);
    if (body.empty() || body.front() == ';') {
        parts.kind = body.empty() ? LineKind::kOther : LineKind::kComment;
        return parts;
    }
    if (body.front() == '[') {
        const std::string_view inner = body.substr(1);
        parts.kind = LineKind::kSection;
        parts.name = Trim(inner.substr(0, inner.find(']')));
        return parts;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return parts;
    }
    parts.kind = LineKind::kEntry;
    parts.name = Trim(line.substr(0, eq));
    std::size_t begin = eq + 1;
    while (begin < line.size() && IsBlank(line[begin])) {
        ++begin;
    }
    parts.valueBegin = begin;
    parts.value = Trim(line.substr(begin));
    return parts;
}

// A value that reading would change (blanks at an end, or quotes of its own
// around it) is written inside double quotes so that Get gives it back as set.
std::string EncodeValue(std::string_view value) {
    if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || IsQuoted(value))) {
        std::string quoted(1, '"');
        quoted.append(value).push_back('"');
        return quoted;
    }
    return std::string(value);
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void CheckName(std::string_view name, std::string_view what) {
    if (name.empty() || HasLineBreak(name) || Trim(name) != name) {
        throw std::invalid_argument(std::string("ini: bad ").append(what).append(" name"));
    }
}

std::system_error SystemError(const std::string& what, const std::filesystem::path& path) {
    return std::system_error(errno, std::generic_category(), what + " " + path.string());
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    // A file edited in a UTF-8 editor (the daemon's users have no window):
    // its Cyrillic values, a cache folder or a parent's user name, mean
    // what they say, and the file is written back the way it came. The
    // byte-order mark such editors may put first would otherwise hide the
    // first section's heading, and with it every setting.
    std::string fromUtf16;
    if (text.starts_with("\xFF\xFE")) {
        // Saved as "Unicode" by a Windows editor, which the profile functions
        // read as well: read on defaults instead, the file would be written
        // over with them.
        fromUtf16 = utf::Utf16ToUtf8(utf::Utf16Units(text.substr(2), false));
        text = fromUtf16;
        ini.encoding_ = Encoding::kUtf16WithMark;
    } else if (text.size() >= 2 && text.size() % 2 == 0 && text[0] != '\0' && text[1] == '\0') {
        // The same without its mark (some tools write it so): its first
        // character, ASCII, has a NUL after it, which no 8-bit file has.
        fromUtf16 = utf::Utf16ToUtf8(utf::Utf16Units(text, false));
        text = fromUtf16;
        ini.encoding_ = Encoding::kUtf16;
    } else if (text.starts_with("\xFE\xFF")) {
        // Big-endian, as other editors offer it; with or without its mark.
        fromUtf16 = utf::Utf16ToUtf8(utf::Utf16Units(text.substr(2), true));
        text = fromUtf16;
        ini.encoding_ = Encoding::kUtf16BigWithMark;
    } else if (text.size() >= 2 && text.size() % 2 == 0 && text[0] == '\0' && text[1] != '\0') {
        fromUtf16 = utf::Utf16ToUtf8(utf::Utf16Units(text, true));
        text = fromUtf16;
        ini.encoding_ = Encoding::kUtf16Big;
    } else if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
        ini.encoding_ = Encoding::kUtf8WithMark;
    } else if (utf::HasNonAscii(text) && utf::IsValidUtf8(text)) {
        ini.encoding_ = Encoding::kUtf8;
    }
    const bool codePage = ini.encoding_ == Encoding::kCodePage;
    // A line ends at LF, CR LF or a CR alone (an editor that writes those);
    // a NUL ends what it holds. Either, kept in a value, would refuse every
    // later save of the file.
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        line = line.substr(0, line.find('\0'));
        if (codePage && utf::HasNonAscii(line) && utf::IsValidUtf8(line)) {
            // A line added in a UTF-8 editor to a file in the code page (a
            // cache folder typed in nano into the Windows program's file):
            // its letters mean what they say, as in the lists, read line by
            // line. Code-page Cyrillic is almost never valid UTF-8. What the
            // code page cannot hold takes the file to UTF-8 at the save, as
            // such a value set here would.
            ini.lines_.push_back(cp1251::FromUtf8(line));
            ini.unicode_.resize(ini.lines_.size());
            ini.unicode_.back() = std::string(line);
            if (!cp1251::FromUtf8Exactly(line)) {
                ini.encoding_ = Encoding::kUtf8;
            }
        } else if (codePage) {
            ini.lines_.emplace_back(line);
        } else {
            // The line as it was, for the save: characters the code page
            // lacks (another program's section, a comment) survive it.
            ini.lines_.push_back(cp1251::FromUtf8(line));
            ini.unicode_.emplace_back(line);
        }
        const bool crLf = end != std::string_view::npos && text.substr(end, 2) == "\r\n";
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + (crLf ? 2 : 1));
    }
    return ini;
}

IniFile IniFile::Load(const std::filesystem::path& path) {
    const int fd = OpenFileToRead(path);
    if (fd < 0) {
        if (errno == ENOENT) {
            return IniFile();
        }
        throw SystemError("cannot open", path);
    }
    std::string text;
    char buffer[16384];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            const std::system_error error = SystemError("cannot read", path);
            ::close(fd);
            throw error;
        }
    }
    ::close(fd);
    return Parse(text);
}

std::optional<std::size_t> IniFile::FindEntry(std::string_view section,
                                              std::string_view key) const {
    bool inSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const LineParts parts = Split(lines_[i]);
        if (parts.kind == LineKind::kSection) {
            inSection = NamesEqual(parts.name, section);
        } else if (inSection && parts.kind == LineKind::kEntry && NamesEqual(parts.name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> IniFile::EntriesOutside(
    std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    bool inSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const LineParts parts = Split(lines_[i]);
        if (parts.kind == LineKind::kSection) {
            inSection = NamesEqual(parts.name, section);
        } else if (!inSection && parts.kind == LineKind::kEntry) {
            entries.emplace_back(parts.name, CodePageValue(i));
        }
    }
    return entries;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const auto line = FindEntry(section, key);
    if (!line) {
        return std::nullopt;
    }
    return CodePageValue(*line);
}

std::string IniFile::CodePageValue(std::size_t line) const {
    return std::string(Unquoted(Split(lines_[line]).value).substr(0, kMaxValueLength));
}

std::optional<std::string> IniFile::GetUtf8(std::string_view section, std::string_view key) const {
    const auto line = FindEntry(section, key);
    if (!line) {
        return std::nullopt;
    }
    if (*line >= unicode_.size() || !unicode_[*line]) {
        return cp1251::ToUtf8(CodePageValue(*line));
    }
    std::string_view value = Unquoted(Split(*unicode_[*line]).value);
    if (value.size() > kMaxValueLength) {
        // Cut where a character begins, as the code page's cut does.
        std::size_t cut = kMaxValueLength;
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        value = value.substr(0, cut);
    }
    return std::string(value);
}

void IniFile::SetUtf8(std::string_view section, std::string_view key, std::string_view value) {
    if (GetUtf8(section, key) == value) {
        return;  // its line as it is
    }
    const std::optional<std::string> exact = cp1251::FromUtf8Exactly(value);
    if (encoding_ == Encoding::kCodePage && !exact) {
        encoding_ = Encoding::kUtf8;
    }
    Set(section, key, exact ? *exact : cp1251::FromUtf8(value));
    if (encoding_ == Encoding::kCodePage) {
        return;
    }
    const std::size_t line = *FindEntry(section, key);
    unicode_.resize(lines_.size());
    const std::string& cp = lines_[line];
    unicode_[line].reset();
    if (!exact) {
        unicode_[line] = cp1251::ToUtf8(cp.substr(0, Split(cp).valueBegin)) + EncodeValue(value);
    }
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    CheckName(section, "section");
    CheckName(key, "key");
    if (section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
        key.front() == ';' || key.front() == '[') {
        throw std::invalid_argument("ini: name would not read back");
    }
    if (HasLineBreak(value)) {
        throw std::invalid_argument("ini: value holds a line break");
    }
    const std::string encoded = EncodeValue(value);

    bool inSection = false;
    bool inFirstOccurrence = false;
    bool sectionSeen = false;
    std::size_t insertAfter = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const LineParts parts = Split(lines_[i]);
        if (parts.kind == LineKind::kSection) {
            inSection = NamesEqual(parts.name, section);
            inFirstOccurrence = inSection && !sectionSeen;
            if (inFirstOccurrence) {
                sectionSeen = true;
                insertAfter = i;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (parts.kind == LineKind::kEntry && NamesEqual(parts.name, key)) {
            // A value set to what was read keeps its line: as read, it may
            // hold letters the code page lacks.
            std::string line = lines_[i].substr(0, parts.valueBegin) + encoded;
            if (line != lines_[i]) {
                lines_[i] = std::move(line);
                if (i < unicode_.size()) {
                    unicode_[i].reset();
                }
            }
            return;
        }
        // Blank lines and comments after the last key usually introduce the
        // next section, so a new key goes before them.
        if (inFirstOccurrence && parts.kind != LineKind::kComment && !Trim(lines_[i]).empty()) {
            insertAfter = i;
        }
    }
    std::string entry = std::string(key) + "=" + encoded;
    if (sectionSeen) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1),
                      std::move(entry));
        if (insertAfter + 1 < unicode_.size()) {
            unicode_.insert(unicode_.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1),
                            std::nullopt);
        }
        return;
    }
    if (!lines_.empty() && !Trim(lines_.back()).empty()) {
        lines_.emplace_back();
    }
    lines_.emplace_back(1, '[');
    lines_.back().append(section).push_back(']');
    lines_.push_back(std::move(entry));
}

std::string IniFile::Text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string IniFile::Utf8Text() const {
    std::string text;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        text += i < unicode_.size() && unicode_[i] ? *unicode_[i] : cp1251::ToUtf8(lines_[i]);
        text += "\r\n";
    }
    return text;
}

void IniFile::Save(const std::filesystem::path& path, std::filesystem::perms mode) const {
    switch (encoding_) {
        case Encoding::kCodePage:
            WriteFileAtomically(path, Text(), mode);
            break;
        case Encoding::kUtf8:
            WriteFileAtomically(path, Utf8Text(), mode);
            break;
        case Encoding::kUtf8WithMark:
            WriteFileAtomically(path, "\xEF\xBB\xBF" + Utf8Text(), mode);
            break;
        case Encoding::kUtf16:
        case Encoding::kUtf16WithMark:
        case Encoding::kUtf16Big:
        case Encoding::kUtf16BigWithMark: {
            const bool big =
                encoding_ == Encoding::kUtf16Big || encoding_ == Encoding::kUtf16BigWithMark;
            std::string bytes;
            for (const char16_t unit : utf::Utf8ToUtf16(Utf8Text())) {
                utf::AppendUtf16(bytes, unit, big);
            }
            if (encoding_ == Encoding::kUtf16WithMark) {
                bytes.insert(0, "\xFF\xFE");
            } else if (encoding_ == Encoding::kUtf16BigWithMark) {
                bytes.insert(0, "\xFE\xFF");
            }
            WriteFileAtomically(path, bytes, mode);
            break;
        }
    }
}

}  // namespace vs
