#include "shell/settings.h"

#include <algorithm>
#include <array>
#include <limits>

#include "base/cp1251.h"
#include "base/numbers.h"
#include "rules/password.h"
#include "shell/ini_file.h"

namespace vs {
namespace {

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr std::array<SettingsKey, 33> kStoredKeys = {{
    {"BlackListCB_Checked", &Settings::blackListEnabled},
    {"CacheListCB_Checked", &Settings::cacheListEnabled},
    {"NoReqCB_Checked", &Settings::noRequestListEnabled},
    {"CacheDir_Text", Utf8Text{&Settings::cacheDir}},
    {"CacheEnCB_Checked", &Settings::readFromCache},
    {"PortEd_Text", NumberText{&Settings::port}},
    {"ScaleEd_Text", NumberText{&Settings::chartScale}},
    {"StartHiddenCB_Checked", &Settings::startHidden},
    {"UserNameEd_Text", Utf8Text{&Settings::parentUser}},
    {"MappedPortEd_Text", NumberText{&Settings::parentPort}},
    {"MappedHostEd_Text", &Settings::parentHost},
    {"UseParentProxy_Checked", &Settings::useParent},
    {"NoCacheIgnoreCB_Checked", &Settings::ignoreNoCache},
    {"NoReqNewFilesCB_Checked", &Settings::freshWithoutAsking},
    {"NewFilesHour_Text", NumberText{&Settings::freshHours}},
    {"NewFilesMin_Text", NumberText{&Settings::freshMinutes}},
    {"NoReqKeyCombo_ItemIndex", &Settings::noRequestCancelKeys},
    {"BLKeyCombo_ItemIndex", &Settings::blackListCancelKeys},
    {"OnlyFromCacheKeyCombo_ItemIndex", &Settings::onlyFromCacheCancelKeys},
    {"HideConnect_Checked", &Settings::hideOnlyFromCacheAnswers},
    {"CancelForOpera_Checked", &Settings::onlyFromCacheSparesOpera},
    {"URLFiltrCombo_ItemIndex", &Settings::urlConverterCancelKeys},
    {"URLPrepareCB_Checked", &Settings::urlConverterEnabled},
    {"OffLine_Checked", &Settings::offline},
    {"UserPswEd_Text", StoredPassword{}},
    {"StatCols", &Settings::statColumns},
    {"LanHostServicesCB_Checked", &Settings::lanReachesHostServices},
    {"FirstRequestTimeout", Count{&Settings::firstRequestSeconds}},
    {"KeepAliveTimeout", Count{&Settings::idleSeconds}},
    {"MaxConnections", Count{&Settings::maxConnections}},
    {"CleanOlderThanDays", Count{&Settings::cleanOlderThanDays}},
    {"CleanLargerThanKB", Count{&Settings::cleanLargerThanKb}},
    {"CleanSitesSmallerThanKB", Count{&Settings::cleanSitesSmallerThanKb}},
}};

// Scrambled from the code page's bytes, as the Windows program stores it.
std::string DecodedPassword(std::string_view stored) {
    return cp1251::ToUtf8(DecodeStoredPassword(stored));
}

// An empty value is no mistake (the default is meant); a whole number is
// what two different fallbacks agree on.
bool EmptyOrWholeNumber(std::string_view text) {
    return text.empty() || ParseIntOr(text, 0) == ParseIntOr(text, 1);
}

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace

std::string SettingsKey::ToText(const Settings& settings) const {
    return std::visit(
        Overload{
            [&](bool Settings::*m) -> std::string { return settings.*m ? "True" : "False"; },
            [&](std::string Settings::*m) { return settings.*m; },
            [&](int Settings::*m) { return std::to_string(settings.*m); },
            [&](StoredPassword) {
                // Written back as read while it is the same password: a
                // hand-written one that merely looks scrambled stays.
                if (!settings.parentPasswordScrambled.empty() &&
                    DecodedPassword(settings.parentPasswordScrambled) == settings.parentPassword) {
                    return settings.parentPasswordScrambled;
                }
                // The scrambled form holds the code page's letters only; a
                // password with others stays in clear rather than lose them.
                const auto eightBit = cp1251::FromUtf8Exactly(settings.parentPassword);
                return eightBit ? EncodeStoredPassword(*eightBit) : settings.parentPassword;
            },
            [&](Utf8Text text) { return settings.*text.member; },
            [&](NumberText text) { return settings.*text.member; },
            [&](Count count) { return std::to_string(settings.*count.member); },
        },
        field);
}

bool SettingsKey::FromText(Settings& settings, std::string_view text) const {
    bool understood = true;
    std::visit(Overload{
                   [&](bool Settings::*m) {
                       if (EqualsAsciiNoCase(text, "True")) {
                           settings.*m = true;
                       } else if (EqualsAsciiNoCase(text, "False")) {
                           settings.*m = false;
                       } else {
                           understood = text.empty();
                       }
                   },
                   [&](std::string Settings::*m) { settings.*m = std::string(text); },
                   [&](int Settings::*m) {
                       understood = EmptyOrWholeNumber(text);
                       settings.*m = ParseIntOr(text, settings.*m);
                   },
                   [&](StoredPassword) {
                       // Typed in by hand, in clear: scrambled by the next save.
                       if (IsWrittenInClear(text)) {
                           settings.parentPasswordScrambled.clear();
                           settings.parentPassword = std::string(text);
                           return;
                       }
                       settings.parentPasswordScrambled = std::string(text);
                       settings.parentPassword = DecodedPassword(text);
                   },
                   [&](Utf8Text field) { settings.*field.member = std::string(text); },
                   [&](NumberText field) {
                       understood = EmptyOrWholeNumber(text);
                       settings.*field.member = std::string(text);
                   },
                   [&](Count count) {
                       const int value = ParseIntOr(text, -1);
                       understood = text.empty() || value >= 0;
                       if (value >= 0) {
                           settings.*count.member = value;
                       }
                   },
               },
               field);
    return understood;
}

std::span<const SettingsKey> StoredSettingsKeys() {
    return kStoredKeys;
}

Settings LoadSettings(const std::filesystem::path& iniFile,
                      std::vector<std::string>* notUnderstood) {
    const IniFile ini = IniFile::Load(iniFile);
    Settings settings;
    for (const SettingsKey& key : StoredSettingsKeys()) {
        const auto text = key.InUtf8() ? ini.GetUtf8(kSettingsSection, key.key)
                                       : ini.Get(kSettingsSection, key.key);
        if (text && !key.FromText(settings, *text) && notUnderstood != nullptr) {
            notUnderstood->push_back(std::string(key.key) + "=" + cp1251::ToUtf8(*text));
        }
    }
    if (notUnderstood != nullptr) {
        // A setting written above the section's heading, or a file whose
        // heading was lost, is read by nobody: unnamed, the port or switch
        // the user wrote goes back to its default without a word.
        for (const auto& [name, value] : ini.EntriesOutside(kSettingsSection)) {
            const auto known = std::ranges::find_if(
                StoredSettingsKeys(),
                [&](const SettingsKey& key) { return EqualsAsciiNoCase(key.key, name); });
            if (known != StoredSettingsKeys().end() && !ini.Get(kSettingsSection, known->key)) {
                notUnderstood->push_back(name + "=" + cp1251::ToUtf8(value) + " (вне раздела [" +
                                         std::string(kSettingsSection) + "])");
            }
        }
    }
    return settings;
}

std::optional<std::string> NotUnderstoodMessage(const std::vector<std::string>& keys) {
    if (keys.empty()) {
        return std::nullopt;
    }
    std::string told;
    for (const std::string& key : keys) {
        told += (told.empty() ? "" : "; ") + key;
    }
    // The file is written back with the values taken, so the user's text
    // goes at the next save: this is the one word about it.
    return "В Vellostore.ini не поняты значения (взяты исходные): " + told +
           ". Флажок — True или False, число — целое";
}

std::optional<std::string> StoredSettingsValue(const std::filesystem::path& iniFile,
                                               std::string_view key) {
    return IniFile::Load(iniFile).Get(kSettingsSection, key);
}

}  // namespace vs

namespace vs {

std::chrono::seconds FreshWindowOf(const Settings& settings, std::chrono::seconds previous) {
    int hours = ParseIntOr(settings.freshHours, 0);
    int days = 0;
    if (hours >= 24) {
        days = hours / 24;
        hours %= 24;
    }
    const int minutes = ParseIntOr(settings.freshMinutes, 0);
    // Only the previous time of day stands in: its whole days came from the
    // hours field last time and are added again below.
    std::chrono::seconds window = previous % std::chrono::hours(24);
    if (hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59) {
        window = std::chrono::hours(hours) + std::chrono::minutes(minutes);
    }
    if (days > 0) {
        window += std::chrono::hours(24) * days;
    }
    return window;
}

}  // namespace vs
