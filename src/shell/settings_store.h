#pragma once
// Writing the settings back, and applying them: turning the text of the
// number fields into the values the running proxy uses, with each field
// rewritten to the value actually used.

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection_server.h"
#include "proxy/proxy_config.h"
#include "shell/settings.h"

namespace vs {

// Writes section "TMainForm": "FormVersion", then every stored setting in
// the key table's order. Every other key and section of the file stays as
// it was (window placement and grid layouts belong to the desktop app).
// Whole or not at all, mode 0600.
void SaveSettings(const std::filesystem::path& iniFile, const Settings& settings);

// What applying the settings gives the running proxy.
struct AppliedSettings {
    int port = 8080;
    std::string parentHost;
    int parentPort = 8080;
    // Taken at "Применить" like the parent's address: a check box ticked
    // meanwhile must not put half-typed credentials to use.
    std::string parentUser;
    std::string parentPassword;
    int scale = 10000;  // the traffic chart's upper bound
    std::chrono::seconds freshWindow{0};
};

// Applies the fields as "Применить" does: each number field is read as a
// whole decimal number, a text that is not one gives the field's fallback,
// and the field is rewritten with the value used (port and parent port
// 8080, chart scale 10000, hours and minutes 0).
AppliedSettings ApplySettings(Settings& settings, std::chrono::seconds previousFreshWindow);

// What the proxy's workers get of the settings once applied.
proxy::ProxyConfig ProxyConfigOf(const Settings& settings, const AppliedSettings& applied,
                                 cache::CacheDir cacheDir);

// The limits on browser connections the settings ask for.
net::ConnectionLimits ConnectionLimitsOf(const Settings& settings);

// "Порт %d уже занят" in the 8-bit code page.
std::string PortBusyMessage(int port);
// Why the port cannot be listened on, for the errno of the failure (0: not
// known), in the 8-bit code page; PortBusyMessage for a port in use.
std::string ListenFailureMessage(int port, int error);
// A port number outside 0..65535, in the 8-bit code page.
std::string NoSuchPortMessage(int port);
// The parent proxy is this proxy's own listener, in the 8-bit code page;
// `host` is the setting's text as the file holds it.
std::string ParentLoopMessage(std::string_view host, int port);

// The autorun entry: the XDG autostart file
// $XDG_CONFIG_HOME/autostart/vellostore.desktop (~/.config/autostart by
// default) whose Exec starts this program on this data folder.
std::filesystem::path AutostartFile();
// That command: the executable alone when the data folder is the
// executable's own folder, else "env VELLOSTORE_HOME=<folder> <executable>",
// so that the session started at login is the one the box was ticked in.
std::vector<std::string> AutostartCommand(const std::filesystem::path& executable,
                                          const std::filesystem::path& dataDir);
// The Exec value, as the desktop entry file holds it, that runs `command`:
// each argument quoted when it has a character the command line reserves (a
// blank, a quote, "$", "\\", ...), "%" doubled, and every backslash doubled
// once more for the file's own string escapes.
std::string DesktopExecValue(const std::vector<std::string>& command);
// Ticked exactly when that file exists and runs this executable on this
// data folder.
bool AutoRunEnabled(const std::filesystem::path& executable, const std::filesystem::path& dataDir);
// Writes or removes the file. Throws std::system_error when it cannot.
void SetAutoRun(bool enabled, const std::filesystem::path& executable,
                const std::filesystem::path& dataDir);

}  // namespace vs
