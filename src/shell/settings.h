#pragma once
// The user's settings: the stored properties of the main window's controls,
// with the defaults a fresh installation starts with. Text values are CP1251,
// as they stand in "Vellostore.ini"; number fields stay text because applying
// them rewrites the field with the value actually used.

#include <chrono>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/numbers.h"

namespace vs {

// Index of a modifier-key combination box; -1 is "nothing selected".
using KeyComboIndex = int;

struct Settings {
    bool BlackListCB = true;
    bool CacheListCB = true;
    bool NoReqCB = true;
    std::string CacheDir;  // empty means "Cache" in the data directory
    bool CacheEnCB = true;
    std::string PortEd = "8080";
    std::string ScaleEd = "5000";
    bool StartHiddenCB = false;
    std::string UserNameEd;
    std::string MappedPortEd = "4480";
    std::string MappedHostEd = "127.0.0.1";
    bool UseParentProxy = false;
    bool NoCacheIgnoreCB = false;
    bool NoReqNewFilesCB = false;
    std::string NewFilesHour = "0";
    std::string NewFilesMin = "5";
    KeyComboIndex NoReqKeyCombo = -1;
    KeyComboIndex BLKeyCombo = -1;
    KeyComboIndex OnlyFromCacheKeyCombo = -1;
    bool HideConnect = true;
    bool CancelForOpera = true;
    KeyComboIndex URLFiltrCombo = -1;
    bool URLPrepareCB = false;
    bool OffLine = false;

    // Not stored under a property key of its own: "UserPswEd_Text" holds it
    // scrambled, and decoding it belongs to the password layer.
    std::string UserPswEdScrambled;
    // The parent-proxy password in clear, decoded from the stored form.
    std::string UserPswEd;
    int StatCols = 0;

    // Every run starts with the only-from-cache list enabled.
    bool OnlyFromCache = true;

    bool operator==(const Settings&) const = default;
};

// Where the settings live inside the settings file.
inline constexpr std::string_view kSettingsSection = "TMainForm";
inline constexpr std::string_view kPasswordKey = "UserPswEd_Text";
inline constexpr std::string_view kStatColsKey = "StatCols";

// One stored control property: its key in the settings file and the field
// it fills. Booleans are stored as "True"/"False", combo indexes as decimal
// numbers, texts as they are.
struct SettingsKey {
    std::string_view key;
    std::variant<bool Settings::*, std::string Settings::*, int Settings::*> field;

    std::string ToText(const Settings& settings) const;
    // Text that does not parse as the field's kind leaves the field as it is.
    void FromText(Settings& settings, std::string_view text) const;
};

// The stored control properties in the order the settings file holds them;
// reading and writing the settings are both loops over this table.
std::span<const SettingsKey> StoredSettingsKeys();

// Reads section "TMainForm" of the settings file. A missing file or missing
// key leaves the default; a boolean key holding anything but "True"/"False"
// (any letter case) keeps the default as well, and so does a number key not
// holding a whole decimal number. A file that exists but cannot be read
// throws std::system_error: starting on defaults would later save them over
// the user's settings.
Settings LoadSettings(const std::filesystem::path& iniFile);

// The file name of the settings inside the data directory.
inline constexpr std::string_view kSettingsFileName = "Vellostore.ini";

// How long a completed cache entry counts as fresh, from the hour and
// minute fields. Hours of 24 or more add whole days. When hours and minutes
// cannot form a time of day the previous window is kept for that part.
std::chrono::seconds FreshWindowOf(const Settings& settings, std::chrono::seconds previous);

}  // namespace vs
