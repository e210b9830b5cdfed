// vellostored: the proxy without a window, for LAN servers, tests and
// benchmarks. Reads its settings from the data directory, prints the log to
// standard output and stops cleanly on SIGINT or SIGTERM.

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include "base/cp1251.h"
#include "base/data_dir.h"
#include "base/process.h"
#include "proxy/connection_server.h"
#include "shell/log_text.h"
#include "shell/proxy_service.h"

namespace {

// Log entries are CP1251 with CR LF line ends; a terminal wants UTF-8 and LF.
void PrintLogEntry(std::string_view header, std::string_view body) {
    static std::mutex lock;
    std::string text =
        vs::cp1251::ToUtf8(vs::FormatLogEntry(std::chrono::system_clock::now(), header, body));
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    if (!out.ends_with('\n')) {
        out += '\n';
    }
    out += '\n';
    std::lock_guard guard(lock);
    // Flushed once per pass of the main loop, not per entry: a busy proxy
    // logs thousands of entries a second, and a write each would take CPU
    // from the connections being served.
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void PrintError(const std::string& cp1251Text) {
    std::cerr << vs::cp1251::ToUtf8(cp1251Text) << std::endl;
}

bool AnswerArguments(int argc, char** argv) {
    if (argc < 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::cout << "vellostored " << VELLOSTORE_VERSION << "\n";
    } else {
        std::cout << "vellostored " << VELLOSTORE_VERSION
                  << ": the Vellostore caching proxy without a window.\n"
                     "It reads no arguments: settings, lists and the cache live in the data\n"
                     "directory, the folder of this executable or $VELLOSTORE_HOME.\n"
                     "The log goes to standard output; SIGINT or SIGTERM stops it.\n";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerArguments(argc, argv)) {
        return 0;
    }
    // The signals are taken by the main loop; worker threads inherit the
    // mask and never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    vs::RaiseFileLimit();
    static char logBuffer[1 << 16];
    std::setvbuf(stdout, logBuffer, _IOFBF, sizeof logBuffer);

    // The daemon keeps the monitor's recent rows only: nobody scrolls back.
    vs::ProxyService service(vs::DataDirectory(), vs::ExecutablePath(), PrintLogEntry,
                             vs::DefaultClock(), 10000);
    std::optional<std::string> error;
    try {
        error = service.StartUp();
    } catch (const std::exception& e) {
        // An unreadable settings file: running on defaults would later save
        // them over the user's settings.
        std::cerr << "vellostored: " << e.what() << std::endl;
        return 1;
    }
    auto report = [&service](const std::optional<std::string>& message) {
        if (message) {
            PrintError(*message);  // keeps running with the listener stopped
        } else {
            std::cerr << "vellostored: listening on 0.0.0.0:" << service.Server().BoundPort()
                      << ", data directory " << service.DataDir().string() << std::endl;
        }
    };
    report(error);

    // The application thread: a pass every 100 ms, a chart sample every
    // second, until asked to stop.
    const timespec tick{0, 100'000'000};
    for (int ticks = 0;; ++ticks) {
        int signalNumber = sigtimedwait(&signals, nullptr, &tick);
        if (signalNumber == SIGINT || signalNumber == SIGTERM) {
            break;
        }
        if (signalNumber == SIGHUP) {
            try {
                report(service.Reload());
            } catch (const std::exception& e) {
                std::cerr << "vellostored: " << e.what() << std::endl;
            }
        }
        if (auto message = service.IdlePass()) {
            PrintError(vs::cp1251::FromUtf8(*message));
        }
        service.Tick100ms();
        if (ticks % 10 == 9) {
            service.Tick1s();
        }
        std::fflush(stdout);
    }
    try {
        service.ShutDown();
    } catch (const vs::proxy::TerminateTimeout& e) {
        PrintError(e.what());
    }
    return 0;
}
