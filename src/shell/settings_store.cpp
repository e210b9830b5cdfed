#include "shell/settings_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/atomic_file.h"
#include "base/cp1251.h"
#include "shell/ini_file.h"

namespace vs {

void SaveSettings(const std::filesystem::path& iniFile, const Settings& settings) {
    IniFile ini = IniFile::Load(iniFile);
    ini.Set(kSettingsSection, "FormVersion", "0");
    for (const auto& [key, value] : settings.windowPlacement) {
        ini.Set(kSettingsSection, key, value);
    }
    for (const SettingsKey& key : StoredSettingsKeys()) {
        if (key.InUtf8()) {
            ini.SetUtf8(kSettingsSection, key.key, key.ToText(settings));
        } else {
            ini.Set(kSettingsSection, key.key, key.ToText(settings));
        }
    }
    for (const GridLayout& layout : settings.gridLayouts) {
        WriteGridLayout(ini, layout);
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
    // An IPv6 parent written as in a URL, "[fd00::2]": the brackets are no
    // part of the address to connect to.
    if (applied.parentHost.size() > 2 && applied.parentHost.front() == '[' &&
        applied.parentHost.back() == ']') {
        applied.parentHost = applied.parentHost.substr(1, applied.parentHost.size() - 2);
    }
    applied.parentUser = settings.parentUser;
    applied.parentPassword = settings.parentPassword;
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
    config.lanReachesHostServices = s.lanReachesHostServices;
    config.useParent = s.useParent;
    config.parentUser = applied.parentUser;
    config.parentPassword = applied.parentPassword;
    return config;
}

net::ConnectionLimits ConnectionLimitsOf(const Settings& s) {
    const auto seconds = [](int value) { return std::chrono::seconds(std::max(value, 0)); };
    net::ConnectionLimits limits;
    limits.firstRequest = seconds(s.firstRequestSeconds);
    limits.idle = seconds(s.idleSeconds);
    limits.maxConnections = static_cast<std::size_t>(std::max(s.maxConnections, 0));
    return limits;
}

std::string PortBusyMessage(int port) {
    return cp1251::FromUtf8("Порт " + std::to_string(port) + " уже занят");
}

std::string ListenFailureMessage(int port, int error) {
    const std::string number = std::to_string(port);
    switch (error) {
        case EADDRINUSE:
            return PortBusyMessage(port);
        case EACCES:
        case EPERM:
            // The usual case: a port below 1024 asked for by an ordinary
            // account, which Linux keeps for the administrator.
            return cp1251::FromUtf8(
                "Нет прав на порт " + number +
                (port < 1024 ? ": порты ниже 1024 открывает только администратор" : ""));
        case EMFILE:
        case ENFILE:
            return cp1251::FromUtf8("Порт " + number +
                                    " не открыть: нет свободных дескрипторов файлов");
        case ENOMEM:
        case ENOBUFS:
            return cp1251::FromUtf8("Порт " + number + " не открыть: не хватает памяти");
        case 0:
            return cp1251::FromUtf8("Порт " + number + " не открыть");
        default:
            return cp1251::FromUtf8("Порт " + number + " не открыть: ") +
                   std::generic_category().message(error);
    }
}

std::string NoSuchPortMessage(int port) {
    return cp1251::FromUtf8("Порта " + std::to_string(port) +
                            " не бывает: номер порта — от 1 до 65535");
}

std::string ParentLoopMessage(std::string_view host, int port) {
    // "::1:8080" would read as an address, "[::1]:8080" as a port of one.
    const bool bracketed = host.find(':') != std::string_view::npos && !host.starts_with('[');
    return cp1251::FromUtf8("Родительский прокси ") + (bracketed ? "[" : "") + std::string(host) +
           (bracketed ? "]:" : ":") + std::to_string(port) +
           cp1251::FromUtf8(" — это сам Vellostore; запросы к нему не идут");
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

// The command line of one argument: quoted as a whole when it holds a
// character the command line reserves, and "%" doubled so that no part of
// it is taken for a field code such as "%f".
std::string QuotedArgument(std::string_view argument) {
    const bool quote = argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string out;
    if (quote) {
        out += '"';
    }
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            out += '\\';
        } else if (c == '%') {
            out += '%';
        }
        out += c;
    }
    if (quote) {
        out += '"';
    }
    return out;
}

}  // namespace

std::string DesktopExecValue(const std::vector<std::string>& command) {
    std::string exec;
    for (const std::string& argument : command) {
        if (!exec.empty()) {
            exec += ' ';
        }
        exec += QuotedArgument(argument);
    }
    // Then the value as a string of the entry, which has escapes of its own:
    // the backslashes of the quoting are doubled once more, and a line break
    // would end the line.
    std::string value;
    for (char c : exec) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::vector<std::string> AutostartCommand(const std::filesystem::path& executable,
                                          const std::filesystem::path& dataDir) {
    const auto folder = [](const std::filesystem::path& p) {
        return (std::filesystem::absolute(p) / "").lexically_normal();
    };
    if (folder(dataDir) == folder(executable.parent_path())) {
        return {executable.string()};
    }
    return {"env", "VELLOSTORE_HOME=" + folder(dataDir).parent_path().string(),
            executable.string()};
}

namespace {

// The arguments of an Exec value, with both levels of escaping undone;
// none when its quoting is broken.
std::optional<std::vector<std::string>> ArgumentsOfExec(std::string_view value) {
    std::string exec;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            switch (c = value[++i]) {
                case 's':
                    c = ' ';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'r':
                    c = '\r';
                    break;
                default:
                    break;  // "\\" and anything unknown: the character itself
            }
        }
        exec += c;
    }
    std::vector<std::string> arguments;
    std::size_t i = 0;
    while (i < exec.size()) {
        if (exec[i] == ' ') {
            ++i;
            continue;
        }
        std::string argument;
        const bool quoted = exec[i] == '"';
        for (i += quoted ? 1 : 0; i < exec.size(); ++i) {
            char c = exec[i];
            if (quoted ? c == '"' : c == ' ') {
                break;
            }
            if (quoted && c == '\\' && i + 1 < exec.size()) {
                c = exec[++i];
            } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
                ++i;
            }
            argument += c;
        }
        if (quoted) {
            if (i == exec.size()) {
                return std::nullopt;  // no closing quote
            }
            ++i;
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

}  // namespace

bool AutoRunEnabled(const std::filesystem::path& executable, const std::filesystem::path& dataDir) {
    std::ifstream in(AutostartFile(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("Exec=")) {
            return ArgumentsOfExec(std::string_view(line).substr(5)) ==
                   AutostartCommand(executable, dataDir);
        }
    }
    return false;
}

void SetAutoRun(bool enabled, const std::filesystem::path& executable,
                const std::filesystem::path& dataDir) {
    const std::filesystem::path file = AutostartFile();
    if (!enabled) {
        // An entry left behind starts the program at the next login all the
        // same: the box must not say it is off.
        std::error_code error;
        if (!std::filesystem::remove(file, error) && error) {
            throw std::filesystem::filesystem_error("cannot remove the autostart entry", file,
                                                    error);
        }
        return;
    }
    std::filesystem::create_directories(file.parent_path());
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Vellostore\n"
        "Comment=Caching HTTP proxy\n"
        "Exec=" +
        DesktopExecValue(AutostartCommand(executable, dataDir)) +
        "\nX-GNOME-Autostart-enabled=true\n";
    WriteFileAtomically(file, entry,
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                            std::filesystem::perms::group_read |
                            std::filesystem::perms::others_read);
}

}  // namespace vs
