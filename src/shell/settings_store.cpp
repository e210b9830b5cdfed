#include "shell/settings_store.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/atomic_file.h"
#include "base/cp1251.h"
#include "shell/ini_file.h"

namespace vs {

void SaveSettings(const std::filesystem::path& iniFile, const Settings& settings) {
    IniFile ini = IniFile::Load(iniFile);
    ini.Set(kSettingsSection, "FormVersion", "0");
    for (const SettingsKey& key : StoredSettingsKeys()) {
        ini.Set(kSettingsSection, key.key, key.ToText(settings));
    }
    ini.Save(iniFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

namespace {

int ApplyNumber(std::string& field, int fallback) {
    int value = ParseIntOr(field, fallback);
    field = std::to_string(value);
    return value;
}

}  // namespace

AppliedSettings ApplySettings(Settings& settings, std::chrono::seconds previousFreshWindow) {
    AppliedSettings applied;
    applied.port = ApplyNumber(settings.port, 8080);
    applied.parentPort = ApplyNumber(settings.parentPort, 8080);
    applied.parentHost = settings.parentHost;
    applied.scale = ApplyNumber(settings.chartScale, 10000);
    ApplyNumber(settings.freshHours, 0);
    ApplyNumber(settings.freshMinutes, 0);
    applied.freshWindow = FreshWindowOf(settings, previousFreshWindow);
    return applied;
}

proxy::ProxyConfig ProxyConfigOf(const Settings& s, const AppliedSettings& applied,
                                 cache::CacheDir cacheDir) {
    proxy::ProxyConfig config;
    config.urlConverterEnabled = s.urlConverterEnabled;
    config.urlConverterCancelKeys = s.urlConverterCancelKeys;
    config.blackListEnabled = s.blackListEnabled;
    config.blackListCancelKeys = s.blackListCancelKeys;
    config.cacheListEnabled = s.cacheListEnabled;
    config.noRequestListEnabled = s.noRequestListEnabled;
    config.noRequestCancelKeys = s.noRequestCancelKeys;
    config.onlyFromCacheEnabled = s.onlyFromCacheEnabled;
    config.onlyFromCacheCancelKeys = s.onlyFromCacheCancelKeys;
    config.onlyFromCacheSparesOpera = s.onlyFromCacheSparesOpera;
    config.cacheDir = std::move(cacheDir);
    config.readFromCache = s.readFromCache;
    config.offline = s.offline;
    config.freshWithoutAsking = s.freshWithoutAsking;
    config.freshWindow = applied.freshWindow;
    config.ignoreNoCache = s.ignoreNoCache;
    config.hideOnlyFromCacheAnswers = s.hideOnlyFromCacheAnswers;
    config.useParent = s.useParent;
    config.parentUser = s.parentUser;
    config.parentPassword = s.parentPassword;
    return config;
}

std::string PortBusyMessage(int port) {
    return cp1251::FromUtf8("Порт " + std::to_string(port) + " уже занят");
}

std::filesystem::path AutostartFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config != nullptr && *config == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "/") / ".config";
    }
    return base / "autostart" / "vellostore.desktop";
}

namespace {

// The Exec line of a desktop entry, with the quoting we write undone.
std::string ExecOf(const std::string& entry) {
    std::istringstream in(entry);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("Exec=")) {
            std::string exec = line.substr(5);
            if (exec.size() >= 2 && exec.front() == '"' && exec.back() == '"') {
                exec = exec.substr(1, exec.size() - 2);
            }
            return exec;
        }
    }
    return {};
}

}  // namespace

bool AutoRunEnabled(const std::filesystem::path& executable) {
    std::ifstream in(AutostartFile(), std::ios::binary);
    if (!in) {
        return false;
    }
    std::string entry((std::istreambuf_iterator<char>(in)), {});
    return ExecOf(entry) == executable.string();
}

void SetAutoRun(bool enabled, const std::filesystem::path& executable) {
    const std::filesystem::path file = AutostartFile();
    if (!enabled) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        return;
    }
    std::filesystem::create_directories(file.parent_path());
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Vellostore\n"
        "Comment=Caching HTTP proxy\n"
        "Exec=\"" +
        executable.string() + "\"\nX-GNOME-Autostart-enabled=true\n";
    WriteFileAtomically(file, entry,
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                            std::filesystem::perms::group_read |
                            std::filesystem::perms::others_read);
}

}  // namespace vs
