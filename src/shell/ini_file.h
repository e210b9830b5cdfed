#pragma once
// An initialisation file of the Windows kind ("[Section]" lines followed by
// "key=value" lines), read the way the Windows profile-string functions read
// it so that files written by the original desktop program mean the same.
// The text is 8-bit (CP1251) and kept as raw bytes; a file in UTF-8 (with a
// byte-order mark, or whose non-ASCII bytes form UTF-8) or in UTF-16 (either
// byte order, with its mark or without) is converted to CP1251 when read and
// back when saved.
// Editing keeps every line it does not touch exactly as it was, so comments,
// unknown keys and other programs' sections survive a save.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vs {

class IniFile {
public:
    // The longest value a read gives back; longer values are cut.
    static constexpr std::size_t kMaxValueLength = 2047;

    IniFile() = default;

    // Splits the text into lines; CR LF and LF line ends are both accepted.
    static IniFile Parse(std::string_view text);

    // A missing file gives an empty document; a file that exists but cannot
    // be read throws std::system_error.
    static IniFile Load(const std::filesystem::path& path);

    // Section and key names compare with ASCII case folding; the first
    // occurrence of the key wins, even across repeated sections.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    // The entries (name and value, in the code page) that stand in no section or in
    // another one than `section`, in the order of the file: what a reader of
    // the section passes over.
    std::vector<std::pair<std::string, std::string>> EntriesOutside(std::string_view section) const;

    // The value in UTF-8 as the file holds it, for a value that names
    // something outside the code page's world, such as a folder: a file in
    // UTF-8 or UTF-16 may hold letters CP1251 lacks.
    std::optional<std::string> GetUtf8(std::string_view section, std::string_view key) const;

    // Replaces the value read by Get in place, or appends the key at the end
    // of the section, creating the section at the end of the document.
    // Throws std::invalid_argument for names or values a line cannot hold.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    // Set with a UTF-8 value, kept whole: a file in the code page that
    // cannot hold it is written in UTF-8 from then on, as a file is that
    // the user wrote in UTF-8.
    void SetUtf8(std::string_view section, std::string_view key, std::string_view value);

    // Writes Text(), in the encoding the file was read in, so that the target
    // is replaced whole or not at all, with the given permissions. Throws
    // std::system_error.
    void Save(const std::filesystem::path& path, std::filesystem::perms mode) const;

    // The document with CR LF after every line.
    std::string Text() const;

private:
    enum class Encoding {
        kCodePage,
        kUtf8,
        kUtf8WithMark,
        kUtf16,
        kUtf16WithMark,
        kUtf16Big,
        kUtf16BigWithMark
    };

    // The document for a file in UTF-8 or UTF-16: lines as read where no
    // edit touched them, the others converted.
    std::string Utf8Text() const;

    // The value line `line` holds in the code page, unquoted and cut.
    std::string CodePageValue(std::size_t line) const;
    // The line of the key's first occurrence in the section.
    std::optional<std::size_t> FindEntry(std::string_view section, std::string_view key) const;

    std::vector<std::string> lines_;  // CP1251
    // For a file read in UTF-8 or UTF-16: line i as it was read (UTF-8),
    // until an edit replaces it; lines added since have none.
    std::vector<std::optional<std::string>> unicode_;
    Encoding encoding_ = Encoding::kCodePage;
};

}  // namespace vs
