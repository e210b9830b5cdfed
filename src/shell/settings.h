#pragma once
// The user's settings with the defaults a fresh installation starts with.
// The settings file names each one after the window control that edited it
// ("PortEd_Text"); that naming stays in the key table below, so the rest of
// the program reads plain names. Text values are CP1251, as they stand in
// "Vellostore.ini", except the cache folder: a folder is named in the file
// system's UTF-8, whose letters the code page may lack. Number fields stay
// text because applying them rewrites the field with the value actually used.

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/numbers.h"
#include "shell/grid_layout.h"

namespace vs {

// Index of a modifier-key combination box; -1 is "nothing selected".
using KeyComboIndex = int;

struct Settings {
    std::string port = "8080";
    std::string cacheDir;             // UTF-8; empty means "Cache" in the data directory
    std::string chartScale = "5000";  // the traffic chart's upper bound
    bool startHidden = false;

    // The rule lists, each with the keys that suspend it while held.
    bool blackListEnabled = true;
    KeyComboIndex blackListCancelKeys = -1;
    bool cacheListEnabled = true;
    bool noRequestListEnabled = true;
    KeyComboIndex noRequestCancelKeys = -1;
    // Every run starts with the only-from-cache list enabled: it is never
    // stored.
    bool onlyFromCacheEnabled = true;
    KeyComboIndex onlyFromCacheCancelKeys = -1;
    bool onlyFromCacheSparesOpera = true;
    bool urlConverterEnabled = false;
    KeyComboIndex urlConverterCancelKeys = -1;

    // The cache: read it (else it is only written), offline, the window in
    // which an entry is answered without asking, and whether "no-cache"
    // keeps answers out.
    bool readFromCache = true;
    bool offline = false;
    bool freshWithoutAsking = false;
    std::string freshHours = "0";
    std::string freshMinutes = "5";
    bool ignoreNoCache = false;
    // Answers the only-from-cache list makes get no monitor row.
    bool hideOnlyFromCacheAnswers = true;

    // A browser elsewhere on the LAN may reach the proxy host's loopback
    // and the proxy's own port through the proxy. Files from before this
    // setting lack it: refused.
    bool lanReachesHostServices = false;

    bool useParent = false;
    std::string parentHost = "127.0.0.1";
    std::string parentPort = "4480";
    // Both in UTF-8, as parents read Basic credentials. The file holds the
    // password scrambled where the code page has all its letters, and the
    // text as read is kept.
    std::string parentUser;
    std::string parentPassword;
    std::string parentPasswordScrambled;

    // The statistics table's columns, so those of departed users survive.
    int statColumns = 0;

    // Browser connections: seconds to complete the first request's head,
    // seconds a kept-alive connection may stay idle between requests, and
    // how many may be open at once. Zero or less turns a limit off.
    int firstRequestSeconds = 60;
    int idleSeconds = 300;
    int maxConnections = 4096;

    // vellostored's cleaning run (SIGUSR1), which has no page to set it:
    // files not used for this many days, files larger than this many kB,
    // site folders smaller than this many kB. Zero or less leaves one out.
    int cleanOlderThanDays = 0;
    int cleanLargerThanKb = 0;
    int cleanSitesSmallerThanKb = 0;

    // What the desktop app keeps beside the settings, the window's placement
    // ("Flags", "ShowCmd", "NormPos", ...): key and value, written on every
    // save after "FormVersion" and before the stored properties.
    std::vector<std::pair<std::string, std::string>> windowPlacement;
    // The grids' column layouts, each in sections of its own, written on
    // every save after the stored properties.
    std::vector<GridLayout> gridLayouts;

    bool operator==(const Settings&) const = default;
};

// Where the settings live inside the settings file.
inline constexpr std::string_view kSettingsSection = "TMainForm";

// The parent-proxy password as the file holds it: scrambled under its key
// (or in clear, typed in by hand or with letters the code page lacks),
// decoded into Settings::parentPassword when read, the text as read kept in
// Settings::parentPasswordScrambled.
struct StoredPassword {};

// A text setting held in UTF-8 rather than the code page.
struct Utf8Text {
    std::string Settings::*member;
};

// A number field kept as the text typed into it (the port, the chart's
// scale): applying the settings takes its number, or its fallback.
struct NumberText {
    std::string Settings::*member;
};

// A limit or threshold (seconds, connections, days, kilobytes) where 0 means
// "none": a negative one is not understood rather than read as "none", so
// a "-1" meant as "the default" does not switch a LAN server's guard off.
struct Count {
    int Settings::*member;
};

// One stored setting: its key in the settings file and the field it fills.
// Booleans are stored as "True"/"False", numbers as decimal, texts as they
// are.
struct SettingsKey {
    std::string_view key;
    std::variant<bool Settings::*, std::string Settings::*, int Settings::*, StoredPassword,
                 Utf8Text, NumberText, Count>
        field;

    bool InUtf8() const {
        return std::holds_alternative<Utf8Text>(field) ||
               std::holds_alternative<StoredPassword>(field);
    }
    // In UTF-8 where InUtf8, else in the code page.
    std::string ToText(const Settings& settings) const;
    // Text that does not parse as the field's kind leaves the field as it
    // is, and gives false.
    bool FromText(Settings& settings, std::string_view text) const;
};

// Every stored setting in the order the settings file holds them; reading
// and writing the settings are both loops over this table.
std::span<const SettingsKey> StoredSettingsKeys();

// Reads section "TMainForm" of the settings file. A missing file or missing
// key leaves the default; a boolean key holding anything but "True"/"False"
// (any letter case) keeps the default as well, and so does a number key not
// holding a whole decimal number. A file that exists but cannot be read
// throws std::system_error: starting on defaults would later save them over
// the user's settings.
// `notUnderstood`, when given, receives such keys as "key=value" lines.
Settings LoadSettings(const std::filesystem::path& iniFile,
                      std::vector<std::string>* notUnderstood = nullptr);

// A line for the user naming the values LoadSettings did not understand;
// nothing when it understood them all.
std::optional<std::string> NotUnderstoodMessage(const std::vector<std::string>& keys);
// One value of the settings section as the file holds it, if it does (the
// window's placement, read under a key that names the screen size first).
std::optional<std::string> StoredSettingsValue(const std::filesystem::path& iniFile,
                                               std::string_view key);

// The file name of the settings inside the data directory.
inline constexpr std::string_view kSettingsFileName = "Vellostore.ini";

// How long a completed cache entry counts as fresh, from the hour and
// minute fields. Hours of 24 or more add whole days. When hours and minutes
// cannot form a time of day the previous window is kept for that part.
std::chrono::seconds FreshWindowOf(const Settings& settings, std::chrono::seconds previous);

}  // namespace vs
