// The cleaning page in the main window over a real cache folder: a run over
// tens of thousands of files leaves the event loop free, and a folder that
// cannot go is reported once while the run goes on past it.

#include "gui/cleaning_page.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <fstream>

#include "cache/cache_entry.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "shell/proxy_service.h"
#include "support/files.h"
#include "support/service_start.h"
#include "support/window_pages.h"

namespace vs::gui {
namespace {

namespace fs = std::filesystem;

void MakeFile(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

class CleaningPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path()));
        cache = service.ProxyEngine().Config()->cacheDir.Root();
    }
    void TearDown() override { service.ShutDown(); }

    template <typename T>
    T& Control(const char* name) {
        return *window.findChild<CleaningPage*>()->findChild<T*>(QString::fromLatin1(name));
    }
    // Presses "Пуск" from within the window's event loop and runs the loop
    // until `done` holds; returns the longest time between two ticks of a
    // 5 ms timer meanwhile, the press included.
    template <typename Done>
    qint64 StartAndRunUntil(Done done) {
        QEventLoop loop;
        QTimer::singleShot(0, &Control<QPushButton>("start"), &QPushButton::click);
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer ticks;
        ticks.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticks, &QTimer::timeout, [&] {
            longest = std::max(longest, sinceTick.restart());
            if (done()) {
                loop.quit();
            }
        });
        QTimer::singleShot(std::chrono::minutes(2), &loop, &QEventLoop::quit);
        sinceTick.start();
        ticks.start(5);
        loop.exec();
        return longest;
    }
    bool RunEnded() {
        return !service.Cleaning().Running() && Control<QPushButton>("start").isEnabled();
    }

    test::TempDir dir;
    LogWindow log;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", log.Sink()};
    MainWindow window{service, log};
    fs::path cache;
};

TEST_F(CleaningPageTest, ALargeCacheIsCleanedWhileTheWindowKeepsRunning) {
    // One site of 20 folders of 1,000 files, every tenth over the huge
    // limit, and a small site.
    const fs::path big = cache / "big.example";
    for (int file = 0; file < 20'000; ++file) {
        MakeFile(big / std::to_string(file / 1000) / std::to_string(file), file % 10 ? 10 : 1500);
    }
    MakeFile(cache / "tiny.example/index.htm", 100);

    // The page in view, its label painted as the run goes.
    auto* page = window.findChild<CleaningPage*>();
    window.Pages().setCurrentIndex(1);
    test::ShowPagesHolding(*page);
    window.show();
    Control<QCheckBox>("deleteHuge").setChecked(true);
    Control<QLineEdit>("hugeSize").setText(QStringLiteral(" 1"));
    Control<QCheckBox>("deleteSmall").setChecked(true);
    const qint64 longest = StartAndRunUntil([this] { return RunEnded(); });
    ASSERT_TRUE(RunEnded());
    // A run holding the loop would hold it for the seconds the whole run
    // takes; the bound leaves room for a machine busy with other tests.
    EXPECT_LT(longest, 1000) << "ms between two passes of the event loop";
    EXPECT_EQ(Control<QLineEdit>("hugeSize").text(), QStringLiteral("1"));

    std::size_t left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(big)) {
        left += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(left, 18'000u);
    EXPECT_FALSE(fs::exists(cache / "tiny.example"));
}

TEST_F(CleaningPageTest, AFolderThatCannotGoIsReportedOnceAndTheRunGoesOn) {
    MakeFile(cache / "a-busy/page", 10);
    const auto reader = cache::OpenEntry(cache / "a-busy/page");
    ASSERT_TRUE(reader);
    MakeFile(cache / "site/page", 10);
    Control<QCheckBox>("deleteSmall").setChecked(true);
    StartAndRunUntil([this] { return RunEnded() && window.ErrorBox() != nullptr; });
    ASSERT_NE(window.ErrorBox(), nullptr);
    EXPECT_EQ(window.ErrorBox()->text().toStdString(),
              "К сожалению моя компона не смогла удалить " + (cache / "a-busy/page").string());
    EXPECT_TRUE(fs::exists(cache / "a-busy/page"));
    EXPECT_FALSE(fs::exists(cache / "site"));  // the run went on past it
    window.ErrorBox()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    window.Pass();
    EXPECT_EQ(window.ErrorBox(), nullptr);  // taken once, shown once
}

// "Everything used before 31.12.9999" means every file, not a date wrapped
// round into the past.
TEST_F(CleaningPageTest, AFarDateTakesEveryFileUsedBeforeIt) {
    Control<QCheckBox>("deleteOld").setChecked(true);
    Control<QDateTimeEdit>("oldBefore")
        .setDateTime(QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59)));
    EXPECT_GT(window.findChild<CleaningPage*>()->Options().oldBefore,
              std::chrono::system_clock::now() + std::chrono::years(200));
}

}  // namespace
}  // namespace vs::gui
