// vellostored: the proxy without a window, for LAN servers, tests and
// benchmarks. Reads its settings from the data directory, prints the log to
// standard output and stops cleanly on SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/log_output.h"
#include "base/cp1251.h"
#include "base/data_dir.h"
#include "base/process.h"
#include "net/connection_server.h"
#include "shell/log_text.h"
#include "shell/proxy_service.h"

namespace {

// Log entries are CP1251 with CR LF line ends; a terminal wants UTF-8 and
// LF. One blank line follows each entry, as in the log window. A terminal
// obeys control characters (ESC begins sequences that clear the screen,
// rewrite earlier lines or retitle the window): what a browser or an origin
// wrote into a header shows as "." instead, as the log window shows them.
std::string LogEntryText(std::string_view header, std::string_view body) {
    const std::vector<std::string> lines =
        vs::LogEntryLines(std::chrono::system_clock::now(), header, body);
    std::string out;
    bool heading = true;
    for (std::string line : lines) {
        for (char& c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '.';
            }
        }
        // Only an entry's heading starts a line: a header line an origin
        // sends ("09.12.2026 12:00:00 # 9: Connection from boss/...") must
        // not pass for an entry of its own.
        if (!heading && !line.empty()) {
            out += "  ";
        }
        heading = false;
        out += vs::cp1251::LineToUtf8(line);
        out += '\n';
    }
    if (!lines.back().empty()) {
        out += '\n';
    }
    return out;
}

void PrintError(const std::string& cp1251Text) {
    std::cerr << vs::cp1251::ToUtf8(cp1251Text) << std::endl;
}

// The service's messages for the user are UTF-8 already: they may name a
// folder in letters the code page lacks.
void PrintUserMessage(const std::string& utf8Text) {
    std::cerr << utf8Text << std::endl;
}

// The exit status when the arguments were answered, none when there are
// none. Anything but --help and --version is a mistake (a unit's ExecStart
// with options of another program): told on standard error with status 2,
// so that it never looks like a clean run.
std::optional<int> AnswerArguments(int argc, char** argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::cout << "vellostored " << VELLOSTORE_VERSION << "\n";
        return 0;
    }
    const bool asked = std::strcmp(argv[1], "--help") == 0;
    std::ostream& out = asked ? std::cout : std::cerr;
    if (!asked) {
        out << "vellostored: unknown argument " << argv[1] << "\n";
    }
    out << "vellostored " << VELLOSTORE_VERSION
        << ": the Vellostore caching proxy without a window.\n"
           "It reads no arguments: settings, lists and the cache live in the data\n"
           "directory, the folder of this executable or $VELLOSTORE_HOME.\n"
           "The log goes to standard output; SIGHUP reads the settings and edited\n"
           "lists again; SIGUSR1 cleans the cache by the keys CleanOlderThanDays,\n"
           "CleanLargerThanKB and CleanSitesSmallerThanKB of Vellostore.ini;\n"
           "SIGINT or SIGTERM stops it.\n";
    return asked ? 0 : 2;
}

// A LAN server's cache has no page to clean it from: SIGUSR1 (from a timer
// or by hand) runs the cleaning the settings file asks for.
bool StartCleaning(vs::ProxyService& service) {
    try {
        if (service.StartCleaningBySettingsFile()) {
            std::cerr << "vellostored: cleaning the cache" << std::endl;
            // A folder not there yet (a disk to come) is waited for, which
            // would otherwise look like a run that never ends.
            std::error_code error;
            if (const auto config = service.ProxyEngine().Config();
                config && !std::filesystem::is_directory(config->cacheDir.Root(), error)) {
                std::cerr << "vellostored: the cleaning waits for the cache folder "
                          << config->cacheDir.Root().string() << " to be there" << std::endl;
            }
            return true;
        }
        std::cerr << "vellostored: nothing to clean by: CleanOlderThanDays, CleanLargerThanKB "
                     "and CleanSitesSmallerThanKB are not set in Vellostore.ini (or not understood)"
                  << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "vellostored: " << e.what() << std::endl;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    vs::ReserveStandardDescriptors();
    if (const std::optional<int> answered = AnswerArguments(argc, argv)) {
        return *answered;
    }
    // The signals are taken by the main loop; worker threads inherit the
    // mask and never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    vs::RaiseFileLimit();

    const std::filesystem::path dataDir = vs::DataDirectory();
    if (std::error_code ignored; !std::filesystem::is_directory(dataDir, ignored)) {
        std::cerr << "vellostored: " << vs::NoDataFolderMessage(dataDir) << std::endl;
        return 1;
    }
    const vs::DataFolderLock folderLock(dataDir);
    if (folderLock.HeldByAnother()) {
        std::cerr << "vellostored: " << vs::DataFolderInUseMessage(dataDir) << std::endl;
        return 1;
    }
    // The daemon keeps the monitor's recent rows only: nobody scrolls back.
    // Written in batches, once per pass of the main loop: a busy proxy logs
    // thousands of entries a second, and a write each would take CPU from
    // the connections being served.
    vs::LogOutput log(STDOUT_FILENO, std::size_t{8} << 20);
    const auto logEntry = [&log](std::string_view header, std::string_view body) {
        log.Add(LogEntryText(header, body));
    };
    vs::ProxyService service(dataDir, vs::ExecutablePath(), logEntry, vs::DefaultClock(),
                             vs::kKeptMonitorRows);
    std::optional<std::string> error;
    try {
        error = service.StartUp();
    } catch (const std::exception& e) {
        // An unreadable settings file: running on defaults would later save
        // them over the user's settings.
        std::cerr << "vellostored: " << e.what() << std::endl;
        return 1;
    }
    // A failure tried again is told once, until something else happens.
    std::string lastTold;
    auto tell = [&lastTold](const std::string& message) {
        if (message != lastTold) {
            PrintError(message);
            lastTold = message;
        }
    };
    auto report = [&service, &tell, &lastTold](const std::optional<std::string>& message) {
        if (message) {
            tell(*message);  // keeps running with the listener stopped, and tries again
        }
        if (service.Listener().Listening()) {
            lastTold.clear();
            std::cerr << "vellostored: listening on " << service.Listener().BoundEndpoint()
                      << ", data directory " << service.DataDir().string() << std::endl;
        }
    };
    report(error);

    // The application thread. A pass (drain the monitor queue, tell what a
    // cleaning run could not delete) runs every 10 ms while workers keep
    // queueing entries, else at each 100 ms tick; every tenth tick is the
    // one-second tick. Applying a busy tenth of a second's entries in one go
    // held a core for long enough to show in the answers' latency, and an
    // idle daemon should not wake a hundred times a second.
    using namespace std::chrono_literals;
    using SteadyClock = std::chrono::steady_clock;
    constexpr auto kBusyPass = 10ms;
    constexpr auto kTick = 100ms;
    auto nextTick = SteadyClock::now() + kTick;
    bool busy = false;  // the last pass found entries waiting
    bool cleaning = false;  // a run SIGUSR1 started has not been told ended
    for (int ticks = 0;;) {
        const auto untilTick = std::max(nextTick - SteadyClock::now(), SteadyClock::duration{0});
        const auto wait = busy ? std::min<SteadyClock::duration>(kBusyPass, untilTick) : untilTick;
        const auto waitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{static_cast<time_t>(waitNs / 1'000'000'000),
                               static_cast<long>(waitNs % 1'000'000'000)};
        int signalNumber = sigtimedwait(&signals, nullptr, &timeout);
        if (signalNumber == SIGINT || signalNumber == SIGTERM) {
            break;
        }
        if (signalNumber == SIGHUP) {
            try {
                // A new port or parent restarts the listener in the
                // background; its report follows in a later pass.
                service.Reload();
                std::cerr << "vellostored: settings applied" << std::endl;
            } catch (const std::exception& e) {
                std::cerr << "vellostored: " << e.what() << std::endl;
            }
        }
        if (signalNumber == SIGUSR1) {
            cleaning = StartCleaning(service) || cleaning;
        }
        if (auto restarted = service.TakeListenerReport()) {
            report(restarted->message);
        }
        busy = service.ProxyEngine().Queue().Size() > 0;
        if (auto message = service.IdlePass()) {
            PrintUserMessage(*message);
        }
        if (cleaning && !service.Cleaning().Running()) {
            cleaning = false;
            std::cerr << "vellostored: cache cleaning ended" << std::endl;
        }
        if (const auto now = SteadyClock::now(); now >= nextTick) {
            service.Tick100ms();
            if (++ticks % 10 == 0) {
                service.Tick1s();
            }
            if (ticks % 20 == 0) {
                try {
                    service.RetryListener();
                } catch (const std::exception& e) {
                    tell(std::string("vellostored: ") + e.what());
                }
            }
            // After a stall (a suspended machine) ticks resume from now
            // rather than firing all the missed ones at once.
            nextTick = now - nextTick > 10 * kTick ? now + kTick : nextTick + kTick;
        }
        log.Flush();
    }
    bool stragglers = false;
    try {
        service.ShutDown();
    } catch (const vs::net::TerminateTimeout& e) {
        PrintError(e.what());
        stragglers = true;
    }
    if (auto told = service.TakeUserMessages()) {
        PrintUserMessage(*told);
    }
    // A list kept as another program left it is no failure of the stop.
    const int status = service.SavesFailed() ? 1 : 0;
    if (stragglers) {
        // Everything is saved; what still holds a thread (a name lookup
        // waiting on a resolver that does not answer) cannot be cut short,
        // and joining it would keep the service manager waiting for as long.
        log.Flush();
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(status);
    }
    return status;
}
