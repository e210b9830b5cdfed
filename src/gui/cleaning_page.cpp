#include "gui/cleaning_page.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>

#include <chrono>

#include "shell/proxy_service.h"

namespace vs::gui {
namespace {

constexpr int kPollMs = 100;

QDateTime ToDateTime(Clock::TimePoint when) {
    return QDateTime::fromSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count());
}

// The picker reaches the year 9999, far past what the clock's nanoseconds
// hold: such a date, typed to mean "everything", wrapped round into the past
// and deleted almost nothing. The nearest moment the clock holds keeps it.
Clock::TimePoint FromDateTime(const QDateTime& when) {
    return ClampedToClock(std::chrono::sys_seconds(std::chrono::seconds(when.toSecsSinceEpoch())));
}

QCheckBox* NewBox(const QString& caption, const char* name, QWidget* page) {
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLineEdit* NewSizeField(const std::string& text, const char* name, QWidget* page) {
    auto* field = new QLineEdit(QString::fromStdString(text), page);
    field->setObjectName(QString::fromLatin1(name));
    field->setMaximumWidth(80);
    return field;
}

}  // namespace

CleaningPage::CleaningPage(ProxyService& service, QWidget* parent)
    : QWidget(parent),
      service_(service),
      deleteOld_(
          NewBox(QStringLiteral("Удалять файлы, использованные раньше, чем "), "deleteOld", this)),
      oldBefore_(new QDateTimeEdit(this)),
      deleteHuge_(NewBox(QStringLiteral("Удалять файлы больше, чем"), "deleteHuge", this)),
      deleteEmpty_(NewBox(QStringLiteral("Удалять пустые подкаталоги"), "deleteEmpty", this)),
      deleteSmall_(NewBox(QStringLiteral("Удалять каталоги меньше, чем "), "deleteSmall", this)),
      progress_(new QLabel(this)),
      start_(new QPushButton(QStringLiteral("Пуск"), this)),
      stop_(new QPushButton(QStringLiteral("Стоп"), this)) {
    const cache::CleaningOptions defaults;
    oldBefore_->setObjectName("oldBefore");
    oldBefore_->setDisplayFormat(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    // The calendar names months and days in the window's language, whatever
    // the system's locale.
    oldBefore_->setLocale(QLocale(QLocale::Russian, QLocale::Russia));
    oldBefore_->setCalendarPopup(true);
    oldBefore_->setDateTime(ToDateTime(defaults.oldBefore));
    hugeSize_ = NewSizeField(defaults.hugeSize, "hugeSize", this);
    smallSize_ = NewSizeField(defaults.smallSize, "smallSize", this);
    // Each size after its own box, as they stand, not after "Пуск".
    setTabOrder(deleteHuge_, hugeSize_);
    setTabOrder(hugeSize_, deleteEmpty_);
    setTabOrder(deleteEmpty_, deleteSmall_);
    setTabOrder(deleteSmall_, smallSize_);
    setTabOrder(smallSize_, start_);
    progress_->setObjectName("progress");
    // A long path must not widen the window.
    progress_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    start_->setObjectName("start");
    stop_->setObjectName("stop");
    stop_->setEnabled(false);

    auto* grid = new QGridLayout;
    grid->addWidget(deleteOld_, 0, 0);
    grid->addWidget(oldBefore_, 0, 1, 1, 2, Qt::AlignLeft);
    grid->addWidget(deleteHuge_, 1, 0);
    grid->addWidget(hugeSize_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("kB"), this), 1, 2);
    grid->addWidget(deleteEmpty_, 2, 0);
    grid->addWidget(deleteSmall_, 3, 0);
    grid->addWidget(smallSize_, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("kB"), this), 3, 2);
    grid->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    layout->addStretch(1);

    connect(start_, &QPushButton::clicked, this, &CleaningPage::Start);
    connect(stop_, &QPushButton::clicked, this, &CleaningPage::Stop);
    connect(&poll_, &QTimer::timeout, this, &CleaningPage::Poll);
}

cache::CleaningOptions CleaningPage::Options() const {
    cache::CleaningOptions options;
    options.delOld = deleteOld_->isChecked();
    options.oldBefore = FromDateTime(oldBefore_->dateTime());
    options.delHuge = deleteHuge_->isChecked();
    options.hugeSize = hugeSize_->text().toStdString();
    options.delEmpty = deleteEmpty_->isChecked();
    options.delSmall = deleteSmall_->isChecked();
    options.smallSize = smallSize_->text().toStdString();
    return options;
}

void CleaningPage::Start() {
    cache::CleaningOptions options = Options();
    service_.StartCleaning(options);
    hugeSize_->setText(QString::fromStdString(options.hugeSize));
    smallSize_->setText(QString::fromStdString(options.smallSize));
    start_->setEnabled(false);
    stop_->setEnabled(true);
    poll_.start(kPollMs);
}

void CleaningPage::Stop() {
    service_.Cleaning().Stop();
    ShowIdle();
}

void CleaningPage::Poll() {
    const CleaningRun& run = service_.Cleaning();
    if (!run.Running()) {
        ShowIdle();
        return;
    }
    progress_->setText(QString::fromStdString(run.Label()));
}

void CleaningPage::ShowIdle() {
    poll_.stop();
    progress_->clear();
    start_->setEnabled(true);
    stop_->setEnabled(false);
}

}  // namespace vs::gui
