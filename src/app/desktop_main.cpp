// vellostore: the desktop application. It only wires the window to the core;
// everything it shows lives in src/gui, everything it runs in the core.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "base/data_dir.h"
#include "base/process.h"
#include "gui/icons.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/show_requests.h"
#include "gui/tray.h"
#include "shell/proxy_service.h"

namespace {

// Qt aborts without a display, with advice to reinstall the program. A
// platform Qt is told of (offscreen, vnc) needs none.
bool NoDisplayNamed(int argc, char** argv) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return false;
        }
    }
    return std::none_of(argv, argv + argc, [](const char* argument) {
        return std::string_view(argument) == "-platform";
    });
}

// A display that is named but does not answer (an X server that ended, an
// ssh session's forwarding gone) makes Qt give up with a fatal message and an
// abort. Until the application exists, a fatal message ends the start the
// way a missing display does: told, status 1.
void FailTheStartOnAFatalMessage(QtMsgType type, const QMessageLogContext& context,
                                 const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    if (type != QtFatalMsg) {
        return;
    }
    const char* display = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "vellostore: the display %s cannot be opened, so no window can be shown; "
                 "vellostored serves without one\n",
                 display != nullptr ? display : "");
    std::_Exit(1);
}

// The display gone (a logout without a session manager, an X server that
// ended) makes Qt end the process from inside the main loop by exit(): the
// one service running then is saved as the session's end would save it,
// with the window's placement and columns as Qt last knew them. Set from
// the service's start to the main loop's end.
struct SavedAtExit {
    vs::ProxyService* service = nullptr;
    vs::gui::MainWindow* window = nullptr;
};
SavedAtExit savedAtExit;

void SaveOnExitFromTheLoop() {
    const SavedAtExit saved = std::exchange(savedAtExit, {});
    if (saved.window != nullptr) {
        saved.window->StorePlacement(true);
    }
    if (saved.service != nullptr) {
        saved.service->SaveForSessionEnd();
    }
}

}  // namespace

int main(int argc, char** argv) {
    vs::ReserveStandardDescriptors();
    // SIGTERM, SIGINT and the hangup of the terminal it was started from end
    // the session like the close box: the event loop returns and the
    // settings, statistics and lists are written. Blocked before any thread
    // starts, so only the signalfd takes them.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    if (NoDisplayNamed(argc, argv)) {
        std::fputs(
            "vellostore: no display (DISPLAY and WAYLAND_DISPLAY are not set), so no "
            "window can be shown; vellostored serves without one\n",
            stderr);
        return 1;
    }
    qInstallMessageHandler(FailTheStartOnAFatalMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    // The window speaks Russian whatever the system's language: Qt's own
    // texts (a question's "Да"/"Нет", a field's edit menu) follow it where
    // Qt's translations are installed.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }
    QApplication::setWindowIcon(vs::gui::ApplicationIcon());
    signal(SIGPIPE, SIG_IGN);
    vs::RaiseFileLimit();
    const int endingFd = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    QSocketNotifier endingNotifier(endingFd, QSocketNotifier::Read);
    bool endedBySignal = false;
    QObject::connect(&endingNotifier, &QSocketNotifier::activated, &app,
                     [endingFd, &endedBySignal] {
                         signalfd_siginfo info;
                         [[maybe_unused]] ssize_t n = ::read(endingFd, &info, sizeof info);
                         endedBySignal = true;
                         // A box of the start (the folder in use, an
                         // unreadable settings file) runs its own loop, which
                         // a quit before the main loop does not end: closed,
                         // it lets the start end as if clicked away.
                         if (QWidget* box = QApplication::activeModalWidget()) {
                             box->close();
                         }
                         QCoreApplication::quit();
                     });

    // The log window exists from start to end, hidden until asked for; it
    // outlives the service that writes to it.
    vs::gui::LogWindow log;
    const std::filesystem::path dataDir = vs::DataDirectory();
    if (std::error_code ignored; !std::filesystem::is_directory(dataDir, ignored)) {
        QMessageBox::critical(nullptr, QStringLiteral("Ошибка"),
                              QString::fromStdString(vs::NoDataFolderMessage(dataDir)));
        return 1;
    }
    const vs::DataFolderLock folderLock(dataDir);
    if (folderLock.HeldByAnother()) {
        if (vs::gui::ShowRequests::AskRunningCopy(dataDir)) {
            return 0;  // the copy holding the folder shows its window
        }
        QMessageBox::critical(nullptr, QStringLiteral("Ошибка"),
                              QString::fromStdString(vs::DataFolderInUseMessage(dataDir)));
        return 1;
    }
    // Taken with the folder, so that a second start during this one's start
    // (a double click) reaches it; the window shows once it is there.
    vs::gui::MainWindow* shownOnRequest = nullptr;
    bool showAsked = false;
    const vs::gui::ShowRequests showRequests(dataDir, [&shownOnRequest, &showAsked] {
        if (shownOnRequest != nullptr) {
            shownOnRequest->ShowInFront();
        } else {
            showAsked = true;
        }
    });
    vs::ProxyService service(dataDir, vs::ExecutablePath(), log.Sink(), vs::DefaultClock(),
                             vs::kKeptMonitorRows);
    std::optional<std::string> error;
    try {
        error = service.StartUp();
    } catch (const std::exception& e) {
        // An unreadable settings file: running on defaults would later save
        // them over the user's settings.
        QMessageBox::critical(nullptr, QStringLiteral("Ошибка"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
    savedAtExit.service = &service;  // from here on, it counts what must not be lost
    std::atexit(SaveOnExitFromTheLoop);
    vs::gui::MainWindow window(service, log);
    savedAtExit.window = &window;
    // "Прятать при старте" needs a tray to come back from.
    if (!service.SettingsModel().startHidden || !vs::gui::Tray::Available()) {
        window.show();
    } else {
        window.HideInTray();
    }
    window.ShowListenerReport(error);
    shownOnRequest = &window;
    if (showAsked) {
        window.ShowInFront();
    }
    // Logging out: the session manager asks for the data first, and the
    // display may be gone before it asks the program to quit (then the
    // process ends at once, saving nothing).
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&](QSessionManager&) {
        window.StorePlacement(true);  // as the quit would
        service.SaveForSessionEnd();
    });
    // A signal taken during the start (its boxes) ends the session as
    // one during the main loop would.
    const int rc = endedBySignal ? 0 : app.exec();
    savedAtExit = {};
    shownOnRequest = nullptr;  // the boxes of the end run the loop again
    window.StorePlacement(true);
    bool stragglers = false;
    try {
        service.ShutDown();
    } catch (const std::exception&) {
        // Connections that outlived the wait end with the process.
        stragglers = true;
    }
    // The window is gone, but the user must learn that edits or today's
    // counts did not reach the disk. A session that a signal ended (logout,
    // shutdown) has nobody to click a box away: the error output then.
    if (auto failed = service.TakeUserMessages()) {
        if (endedBySignal) {
            std::fprintf(stderr, "%s\n", failed->c_str());
        } else {
            QMessageBox::critical(nullptr, QStringLiteral("Ошибка"),
                                  QString::fromStdString(*failed));
        }
    }
    if (stragglers) {
        // Everything is saved; a thread still held (a name lookup waiting
        // on a resolver that does not answer) would hold the exit as long.
        std::fflush(nullptr);
        std::_Exit(rc);
    }
    return rc;
}
