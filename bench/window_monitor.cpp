// The desktop window under a steady stream of monitor events: how long one
// pass of the event loop takes while 10,000 queue entries a second arrive,
// and whether memory stays flat while a million monitor rows go by.
//
// The window is the real one over a real ProxyService (no browser traffic:
// a producer thread queues what workers would). Runs offscreen unless
// QT_QPA_PLATFORM says otherwise; prints a markdown report.
//
// Usage: bench_window_monitor [seconds of steady load, default 20]
//                             [rows for the memory run, default 1000000]

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gui/log_window.h"
#include "gui/main_window.h"
#include "shell/proxy_service.h"

namespace {

using Clock = std::chrono::steady_clock;

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// What a worker queues for one request: its row, the answer, a few progress
// steps and the traffic count. Five entries.
void QueueRequest(vs::proxy::MonitorQueue& queue, std::int32_t row) {
    using namespace vs::proxy;
    queue.Add(RowAdded{row, "http://origin.example/page/" + std::to_string(row) + "/image.png"});
    RowUpdate answer;
    answer.row = row;
    answer.image = row % 5;
    answer.state = 1;
    answer.answer = "200 OK";
    queue.Add(answer);
    for (int step = 1; step <= 2; ++step) {
        RowUpdate progress;
        progress.row = row;
        progress.size = 20000;
        progress.received = 10000 * step;
        queue.Add(progress);
    }
    queue.Add(TrafficCount{false, 0, "local", 20000});
}

// Two views of the loop's responsiveness: how long each event took to
// handle (the drain and repaint passes among them), and how late a 5 ms
// timer fires, which is how long input would have waited.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_++ > 0 || !recording_) {
            const bool handled = QApplication::notify(receiver, event);
            --depth_;
            return handled;
        }
        QElapsedTimer timer;
        timer.start();
        const bool handled = QApplication::notify(receiver, event);
        events_.push_back(timer.nsecsElapsed() / 1000);
        --depth_;
        return handled;
    }
    void Record(bool on) {
        recording_ = on;
        lastBeat_.invalidate();
    }
    // Called by the 5 ms heartbeat.
    void Beat() {
        if (recording_ && lastBeat_.isValid()) {
            gaps_.push_back(lastBeat_.nsecsElapsed() / 1000);
        }
        lastBeat_.start();
    }
    std::vector<qint64> TakeEvents() { return std::exchange(events_, {}); }
    std::vector<qint64> TakeGaps() { return std::exchange(gaps_, {}); }

private:
    int depth_ = 0;
    bool recording_ = false;
    QElapsedTimer lastBeat_;
    std::vector<qint64> events_;  // microseconds
    std::vector<qint64> gaps_;    // microseconds between heartbeats
};

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const long rows = argc > 2 ? std::atol(argv[2]) : 1000000;
    TimedApplication app(argc, argv);
    const auto home = std::filesystem::temp_directory_path() /
                      ("vellostore-bench-window-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    std::ofstream(home / "Vellostore.ini") << "[TMainForm]\r\nPortEd_Text=0\r\n";

    vs::gui::LogWindow log;
    vs::ProxyService service(home, home / "vellostore", log.Sink(), vs::DefaultClock(),
                             vs::kKeptMonitorRows);
    service.StartUp();
    vs::gui::MainWindow window(service, log);
    window.show();
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&app] { app.Beat(); });
    heartbeat.start(5);
    vs::proxy::MonitorQueue& queue = service.ProxyEngine().Queue();

    std::atomic<bool> stop{false};
    std::atomic<long> queued{0};
    std::vector<std::pair<long, long>> rssAt;  // rows, KiB

    // Phase 1: 2,000 requests (10,000 entries) a second, paced in 10 ms steps.
    std::thread steadyLoad([&] {
        const auto start = Clock::now();
        for (long step = 0; !stop && step < seconds * 100L; ++step) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * step));
            for (int i = 0; i < 20; ++i) {
                QueueRequest(queue, static_cast<std::int32_t>(queued++));
            }
        }
    });
    app.Record(true);
    QTimer::singleShot(seconds * 1000 + 500, &app, &QCoreApplication::quit);
    app.exec();
    app.Record(false);
    steadyLoad.join();
    const std::vector<qint64> steadyEvents = app.TakeEvents();
    const std::vector<qint64> steadyGaps = app.TakeGaps();

    // Phase 2: a million rows as fast as the window takes them (the queue
    // is kept below 50,000 entries, as busy workers would keep it).
    std::thread flood([&] {
        while (!stop && queued < rows) {
            if (queue.Size() > 50000) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            for (int i = 0; i < 1000; ++i) {
                QueueRequest(queue, static_cast<std::int32_t>(queued++));
            }
        }
    });
    QTimer sampler;
    long nextSample = 100000;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const long shown = static_cast<long>(service.Monitor().RowCount());
        if (shown >= nextSample) {
            rssAt.emplace_back(shown, RssKiB());
            nextSample += 100000;
        }
        if (shown >= rows) {
            app.quit();
        }
    });
    sampler.start(20);
    const auto floodStart = Clock::now();
    app.Record(true);
    app.exec();
    app.Record(false);
    stop = true;
    flood.join();
    const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    const std::vector<qint64> floodEvents = app.TakeEvents();
    const std::vector<qint64> floodGaps = app.TakeGaps();

    // Phase 3: the log window shown and full (its 50,000 lines), taking
    // entries as a busy proxy gives them: passes of 1,000 entries (a request's
    // head of a dozen lines each), each pass followed by the event loop that
    // shows them; every pass then pushes old ones out.
    log.show();
    std::vector<qint64> logPasses;  // microseconds each, once full
    std::string body =
        "GET http://origin.example/page/1/image.png HTTP/1.1\r\nHost: origin.example";
    for (const char* field :
         {"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
          "Accept: image/avif,image/webp,image/png,image/svg+xml,image/*;q=0.8,*/*;q=0.5",
          "Accept-Language: ru-RU,ru;q=0.8,en-US;q=0.5,en;q=0.3", "Accept-Encoding: gzip, deflate",
          "Referer: http://origin.example/page/1/", "Connection: keep-alive",
          "Cookie: session=0123456789abcdef0123456789abcdef", "Sec-Fetch-Dest: image",
          "Sec-Fetch-Mode: no-cors", "Priority: u=5, i"}) {
        body += "\r\n";
        body += field;
    }
    constexpr int kLogPasses = 40;
    constexpr int kEntriesPerPass = 1000;
    const auto logStart = Clock::now();
    for (int pass = 0; pass < kLogPasses; ++pass) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kEntriesPerPass; ++i) {
            log.AddEntry("# " + std::to_string(pass * kEntriesPerPass + i) +
                             " >>> URL: http://origin.example/",
                         body);
        }
        QCoreApplication::processEvents();
        if (pass >= kLogPasses / 2) {
            logPasses.push_back(timer.nsecsElapsed() / 1000);
        }
    }
    const double logSeconds = std::chrono::duration<double>(Clock::now() - logStart).count();
    constexpr int kLogEntries = kLogPasses * kEntriesPerPass;
    service.ShutDown();
    std::filesystem::remove_all(home);

    auto report = [](const std::string& what, std::vector<qint64> v) {
        std::sort(v.begin(), v.end());
        const auto at = [&](double q) {
            return v.empty() ? 0.0 : v[static_cast<std::size_t>(q * (v.size() - 1))] / 1000.0;
        };
        const long over = std::count_if(v.begin(), v.end(), [](qint64 us) { return us > 50000; });
        std::printf("| %s | %zu | %.2f | %.2f | %.2f | %ld |\n", what.c_str(), v.size(), at(0.5),
                    at(0.99),
                    v.empty() ? 0.0 : v.back() / 1000.0, over);
    };
    const std::string steady = "steady, 10,000 entries/s for " + std::to_string(seconds) + " s";
    const std::string flooded = "flood, " + std::to_string(rows) + " rows";
    std::printf("## The event loop (ms)\n\n");
    std::printf("Each event handled (the drain passes, repaints, timers):\n\n");
    std::printf("| phase | events | p50 | p99 | max | over 50 ms |\n|---|---:|---:|---:|---:|---:|\n");
    report(steady, steadyEvents);
    report(flooded, floodEvents);
    std::printf("\nGaps between the beats of a 5 ms timer (how long input would wait):\n\n");
    std::printf("| phase | beats | p50 | p99 | max | over 50 ms |\n|---|---:|---:|---:|---:|---:|\n");
    report(steady, steadyGaps);
    report(flooded, floodGaps);
    std::printf("\n## Memory while rows go by (the grid keeps the newest %zu)\n\n",
                vs::kKeptMonitorRows);
    std::printf("| rows shown | RSS (MiB) |\n|---:|---:|\n");
    for (const auto& [shown, kib] : rssAt) {
        std::printf("| %ld | %.1f |\n", shown, kib / 1024.0);
    }
    std::printf("\n%ld rows in %.1f s (%.0f rows/s through the window)\n", rows, floodSeconds,
                rows / floodSeconds);
    std::printf(
        "\n## The log window shown and full (ms per pass of %d entries of 13 lines, shown)\n\n",
        kEntriesPerPass);
    std::printf(
        "| phase | passes | p50 | p99 | max | over 50 ms |\n|---|---:|---:|---:|---:|---:|\n");
    report("the last " + std::to_string(logPasses.size()) + " passes", logPasses);
    std::printf("\n%d entries in %.1f s (%.0f entries/s)\n", kLogEntries, logSeconds,
                kLogEntries / logSeconds);
    return 0;
}
