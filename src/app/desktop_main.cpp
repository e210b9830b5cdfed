// vellostore: the desktop application. The full window comes with the GUI
// work; until then it runs the proxy and shows its state and log.

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

#include "base/cp1251.h"
#include "base/data_dir.h"
#include "base/process.h"
#include "shell/log_text.h"
#include "shell/proxy_service.h"

namespace {

QString FromCp1251(std::string_view text) {
    return QString::fromStdString(vs::cp1251::ToUtf8(text));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    vs::RaiseFileLimit();

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Vellostore"));
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    auto* status = new QLabel;
    auto* log = new QPlainTextEdit;
    log->setReadOnly(true);
    log->setMaximumBlockCount(5000);
    layout->addWidget(status);
    layout->addWidget(log);
    window.setCentralWidget(central);
    window.resize(640, 420);

    // Workers never touch widgets: entries travel to the window's thread.
    auto sink = [log](std::string_view header, std::string_view body) {
        QString text =
            FromCp1251(vs::FormatLogEntry(std::chrono::system_clock::now(), header, body));
        QMetaObject::invokeMethod(
            log, [log, text] { log->appendPlainText(text); }, Qt::QueuedConnection);
    };
    vs::ProxyService service(vs::DataDirectory(), vs::ExecutablePath(), sink);
    std::optional<std::string> error;
    try {
        error = service.StartUp();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Ошибка"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
    if (error) {
        QMessageBox::critical(&window, QStringLiteral("Ошибка"), FromCp1251(*error));
        status->setText(QStringLiteral("Прокси остановлен."));
    } else {
        status->setText(QStringLiteral("Прокси слушает порт %1. Папка данных: %2")
                            .arg(service.Listener().BoundPort())
                            .arg(QString::fromStdString(service.DataDir().string())));
    }
    QTimer pass;
    QObject::connect(&pass, &QTimer::timeout, [&service, &window] {
        if (auto message = service.IdlePass()) {
            QMessageBox::critical(&window, QStringLiteral("Ошибка"),
                                  QString::fromStdString(*message));
        }
        service.Tick100ms();
    });
    pass.start(100);
    QTimer second;
    QObject::connect(&second, &QTimer::timeout, [&service] { service.Tick1s(); });
    second.start(1000);
    window.show();
    int rc = app.exec();
    try {
        service.ShutDown();
    } catch (const std::exception&) {
    }
    return rc;
}
