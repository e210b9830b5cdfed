#include "shell/settings.h"

#include <array>
#include <limits>

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

constexpr std::array<SettingsKey, 24> kStoredKeys = {{
    {"BlackListCB_Checked", &Settings::BlackListCB},
    {"CacheListCB_Checked", &Settings::CacheListCB},
    {"NoReqCB_Checked", &Settings::NoReqCB},
    {"CacheDir_Text", &Settings::CacheDir},
    {"CacheEnCB_Checked", &Settings::CacheEnCB},
    {"PortEd_Text", &Settings::PortEd},
    {"ScaleEd_Text", &Settings::ScaleEd},
    {"StartHiddenCB_Checked", &Settings::StartHiddenCB},
    {"UserNameEd_Text", &Settings::UserNameEd},
    {"MappedPortEd_Text", &Settings::MappedPortEd},
    {"MappedHostEd_Text", &Settings::MappedHostEd},
    {"UseParentProxy_Checked", &Settings::UseParentProxy},
    {"NoCacheIgnoreCB_Checked", &Settings::NoCacheIgnoreCB},
    {"NoReqNewFilesCB_Checked", &Settings::NoReqNewFilesCB},
    {"NewFilesHour_Text", &Settings::NewFilesHour},
    {"NewFilesMin_Text", &Settings::NewFilesMin},
    {"NoReqKeyCombo_ItemIndex", &Settings::NoReqKeyCombo},
    {"BLKeyCombo_ItemIndex", &Settings::BLKeyCombo},
    {"OnlyFromCacheKeyCombo_ItemIndex", &Settings::OnlyFromCacheKeyCombo},
    {"HideConnect_Checked", &Settings::HideConnect},
    {"CancelForOpera_Checked", &Settings::CancelForOpera},
    {"URLFiltrCombo_ItemIndex", &Settings::URLFiltrCombo},
    {"URLPrepareCB_Checked", &Settings::URLPrepareCB},
    {"OffLine_Checked", &Settings::OffLine},
}};

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
        },
        field);
}

void SettingsKey::FromText(Settings& settings, std::string_view text) const {
    std::visit(Overload{
                   [&](bool Settings::*m) {
                       if (EqualsAsciiNoCase(text, "True")) {
                           settings.*m = true;
                       } else if (EqualsAsciiNoCase(text, "False")) {
                           settings.*m = false;
                       }
                   },
                   [&](std::string Settings::*m) { settings.*m = std::string(text); },
                   [&](int Settings::*m) { settings.*m = ParseIntOr(text, settings.*m); },
               },
               field);
}

std::span<const SettingsKey> StoredSettingsKeys() {
    return kStoredKeys;
}

Settings LoadSettings(const std::filesystem::path& iniFile) {
    const IniFile ini = IniFile::Load(iniFile);
    Settings settings;
    for (const SettingsKey& key : StoredSettingsKeys()) {
        if (auto text = ini.Get(kSettingsSection, key.key)) {
            key.FromText(settings, *text);
        }
    }
    if (auto password = ini.Get(kSettingsSection, kPasswordKey)) {
        settings.UserPswEdScrambled = std::move(*password);
        settings.UserPswEd = DecodeStoredPassword(settings.UserPswEdScrambled);
    }
    if (auto cols = ini.Get(kSettingsSection, kStatColsKey)) {
        settings.StatCols = ParseIntOr(*cols, settings.StatCols);
    }
    return settings;
}

}  // namespace vs

namespace vs {

std::chrono::seconds FreshWindowOf(const Settings& settings, std::chrono::seconds previous) {
    int hours = ParseIntOr(settings.NewFilesHour, 0);
    int days = 0;
    if (hours >= 24) {
        days = hours / 24;
        hours %= 24;
    }
    const int minutes = ParseIntOr(settings.NewFilesMin, 0);
    std::chrono::seconds window = previous;
    if (hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59) {
        window = std::chrono::hours(hours) + std::chrono::minutes(minutes);
    }
    if (days > 0) {
        window += std::chrono::hours(24) * days;
    }
    return window;
}

}  // namespace vs
