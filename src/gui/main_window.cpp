#include "gui/main_window.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "gui/cleaning_page.h"
#include "gui/cp1251_text.h"
#include "gui/field_wheel.h"
#include "gui/grid_layouts.h"
#include "gui/log_window.h"
#include "gui/monitor_table_model.h"
#include "gui/monitor_view.h"
#include "gui/rule_list_page.h"
#include "gui/screen_fit.h"
#include "gui/settings_pages.h"
#include "gui/statistics_page.h"
#include "gui/trainer_page.h"
#include "gui/tray.h"
#include "gui/users_page.h"
#include "rules/find_rule.h"
#include "shell/byte_size.h"
#include "shell/proxy_service.h"
#include "shell/settings.h"
#include "widgets/traffic_chart.h"

namespace vs::gui {
namespace {

// Messages joined in the one error box.
const QString kBetweenMessages = QStringLiteral("\n\n");

constexpr int kStripHeight = 46;
constexpr int kChartScaleUnset = 5000;
constexpr int kChartTop = 4;
constexpr int kChartHeight = 39;
constexpr int kValueLeft = 140;
constexpr int kValueWidth = 170;
// A pass runs at least this often, and sooner again while workers keep
// queueing, so a busy proxy's rows appear without waiting for the tick.
constexpr int kPassMs = 100;
constexpr int kBusyPassMs = 10;

QLabel* StripLabel(QWidget* strip, const QString& text, int x, int y, int width = -1) {
    auto* label = new QLabel(text, strip);
    label->move(x, y);
    if (width > 0) {
        label->resize(width, label->sizeHint().height());
    } else {
        label->adjustSize();
    }
    return label;
}

// A page as wide as its controls would, on a small or scaled screen, push
// the window's edge with its close box off the screen (a window is never
// smaller than its widest page); in a scroll area it scrolls sideways
// there instead, and a taller one scrolls down. The area follows focus
// moving within it, but not focus that arrives from outside (Shift+Tab
// from the tabs onto "Применить").
QScrollArea* Scrolling(QWidget* page) {
    auto* area = new QScrollArea;
    KeepTheWheelOffFields(*page, area);
    area->setWidget(page);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);  // a stop of Tab that shows nothing
    QObject::connect(qApp, &QApplication::focusChanged, area, [area](QWidget*, QWidget* now) {
        if (now != nullptr && area->widget()->isAncestorOf(now)) {
            area->ensureWidgetVisible(now);
        }
    });
    return area;
}

}  // namespace

MainWindow::MainWindow(ProxyService& service, LogWindow& log, QWidget* parent)
    : QMainWindow(parent),
      service_(service),
      log_(log),
      monitorModel_(new MonitorTableModel(service.Monitor(), this)),
      layouts_(service.SettingsFile()) {
    setWindowTitle(QStringLiteral("Vellostore"));
    pages_ = new QTabWidget(this);
    pages_->addTab(BuildMonitorPage(), QStringLiteral("Монитор"));
    pages_->addTab(BuildSettingsPages(), QStringLiteral("Настройки"));
    pages_->addTab(BuildListPages(), QStringLiteral("Списки"));
    pages_->addTab(BuildAboutPage(), QStringLiteral("O программе"));  // a Latin O
    setCentralWidget(pages_);
    ResizeWithinTheScreen(*this, {742, 384});
    RestorePlacement();

    tray_ = new Tray(service_, this);
    connect(tray_, &Tray::SwitchChanged, settings_, &SettingsPages::Refresh);
    for (RuleListPage* page : listPages_) {
        connect(tray_, &Tray::SwitchChanged, page, &RuleListPage::ShowSwitches);
    }
    connect(tray_, &Tray::Clicked, this, &MainWindow::ToggleShown);
    connect(tray_, &Tray::DoubleClicked, this, &MainWindow::ShowInFront);
    connect(tray_, &Tray::ExitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    // Shown whether or not a tray runs yet: the icon takes its place in one
    // that appears later (a panel started after the program, or restarted),
    // and a minimise that hides the window must find it there.
    tray_->Show();

    passTimer_.setSingleShot(true);
    connect(&passTimer_, &QTimer::timeout, this, &MainWindow::Pass);
    passTimer_.start(kPassMs);
    connect(&tickTimer_, &QTimer::timeout, this, &MainWindow::Tick);
    tickTimer_.start(100);
    connect(&secondTimer_, &QTimer::timeout, this, &MainWindow::SecondTick);
    secondTimer_.start(1000);
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::BuildMonitorPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    strip_ = new QWidget(page);
    strip_->setFixedHeight(kStripHeight);
    strip_->installEventFilter(this);
    StripLabel(strip_, QStringLiteral("Взято из интернет:"), 8, 6);
    StripLabel(strip_, QStringLiteral("Взято из кеша:"), 8, 26);
    internetLabel_ = StripLabel(strip_, QStringLiteral("0"), kValueLeft, 6, kValueWidth);
    cacheLabel_ = StripLabel(strip_, QStringLiteral("0"), kValueLeft, 26, kValueWidth);
    chart_ = new TrafficChart(strip_);
    // No scales, labels or header and no frame: the chart is a strip of the
    // last four minutes against an 8 x 5 grid, from 0 to the chart scale.
    chart_->SetViewHeader(false);
    chart_->SetViewXScale(false);
    chart_->SetViewYScale(false);
    chart_->SetViewXLabel(false);
    chart_->SetViewYLabel(false);
    chart_->SetFrameWidth(0);
    chart_->SetStepsX(8);
    chart_->SetStepsY(5);
    chart_->SetResolution(240);
    chart_->SetYScaleMin(0);
    // The window's own bound stays where the setting is one the chart
    // refuses (below 4): the bare chart's 100 would pin every second of a
    // download to the top.
    chart_->SetYScaleMax(kChartScaleUnset);
    chart_->SetYScaleMax(service_.Applied().scale);
    // A medium grey grid under a line in the selection colour.
    chart_->SetGridColor(QColor(128, 128, 128));
    chart_->SetSeriesColor(palette().color(QPalette::Highlight));
    layout->addWidget(strip_);

    monitorView_ = new MonitorView(page);
    monitorView_->SetMonitorModel(monitorModel_);
    monitorView_->SetStopHandler(
        [this](std::int32_t row) { service_.ProxyEngine().StopList().Stop(row); });
    layout->addWidget(monitorView_);
    KeepLayoutOf(*monitorView_, "Monitor");
    return page;
}

QWidget* MainWindow::BuildSettingsPages() {
    auto* pages = new QTabWidget;
    settings_ = new SettingsPages(
        service_, [this] { log_.ToggleShown(); }, this);
    connect(settings_, &SettingsPages::Failed, this, &MainWindow::ShowError);
    connect(settings_, &SettingsPages::AboutToApply, this, [this] { StorePlacement(false); });
    connect(settings_, &SettingsPages::Applied, this,
            [this] { chart_->SetYScaleMax(service_.Applied().scale); });
    // The general page holds more fields than the window's first height
    // shows: it scrolls rather than making the whole window taller.
    pages->addTab(Scrolling(settings_->GeneralPage()), QStringLiteral("Общие"));
    pages->addTab(Scrolling(settings_->ParentPage()), QStringLiteral(" Родительский прокси "));
    usersPage_ = new UsersPage(service_);
    statisticsPage_ = new StatisticsPage(service_);
    connect(usersPage_, &UsersPage::Failed, this, &MainWindow::ShowError);
    connect(usersPage_, &UsersPage::StatisticsChanged, statisticsPage_, &StatisticsPage::Refresh);
    pages->addTab(usersPage_, QStringLiteral("Пользователи"));
    pages->addTab(statisticsPage_, QStringLiteral("Статистика"));
    KeepLayoutOf(usersPage_->Grid(), std::string(UsersPage::kGridName));
    KeepLayoutOf(statisticsPage_->Grid(), std::string(StatisticsPage::kGridName));
    pages->addTab(Scrolling(new CleaningPage(service_)), QStringLiteral("Очистка кеша"));
    return pages;
}

QWidget* MainWindow::BuildListPages() {
    auto* pages = new QTabWidget;
    const std::pair<ListKind, const char*> lists[] = {
        {ListKind::Black, "Черный список"},        {ListKind::Cache, "Запись в кеш"},
        {ListKind::NoReq, "Не обновлять"},         {ListKind::OnlyFromCache, "Только из кеша"},
        {ListKind::UrlConverter, "URL конвертор"},
    };
    for (const auto& [kind, caption] : lists) {
        auto* page = new RuleListPage(service_, kind);
        connect(page, &RuleListPage::Failed, this, &MainWindow::ShowError);
        listPages_.push_back(page);
        pages->addTab(page, QString::fromUtf8(caption));
        KeepLayoutOf(page->Grid(), page->GridName().toStdString());
    }
    pages->addTab(new TrainerPage, QStringLiteral("Тренажер"));
    return pages;
}

RuleListPage& MainWindow::ListPage(ListKind kind) const {
    return *listPages_.at(static_cast<std::size_t>(kind));
}

QWidget* MainWindow::BuildAboutPage() {
    auto* page = new QWidget;
    auto* name = new QLabel(QStringLiteral("Vellostore"), page);
    QFont font(QStringLiteral("Arial"), 20);
    font.setBold(true);
    name->setFont(font);
    QPalette palette = name->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
    name->setPalette(palette);
    name->move(24, 24);
    name->adjustSize();
    auto* version = new QLabel(QStringLiteral("Version 0.90"), page);
    version->move(24, 24 + name->height() + 8);
    version->adjustSize();
    return page;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == strip_ && event->type() == QEvent::Resize) {
        PlaceChart();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::PlaceChart() {
    const int left = cacheLabel_->x() + cacheLabel_->width() + 5;
    chart_->setGeometry(left, kChartTop, std::max(0, strip_->width() - left - 4), kChartHeight);
}

void MainWindow::Pass() {
    if (inPass_) {
        return;  // a message box's own event loop must not re-enter the drain
    }
    inPass_ = true;
    const bool busy = service_.ProxyEngine().Queue().Size() > 0;
    std::optional<std::string> failure = service_.IdlePass();
    // Drained often while workers queue, shown at most every kPassMs: each
    // showing repaints the grid, and a hundred repaints a second took a
    // good part of a core from a desktop at browsing rates.
    if (!busy || !viewShown_.isValid() || viewShown_.elapsed() >= kPassMs) {
        viewShown_.start();
        monitorModel_->ShowChanges(service_.Monitor().TakeChanges());
        for (RuleListPage* page : listPages_) {
            page->Refresh();
        }
        FillLabels();
    }
    if (auto report = service_.TakeListenerReport()) {
        chart_->SetYScaleMax(service_.Applied().scale);
        ShowListenerReport(report->message);
    }
    if (failure) {
        ShowError(QString::fromStdString(*failure));
    }
    inPass_ = false;
    passTimer_.start(busy ? kBusyPassMs : kPassMs);
}

void MainWindow::Tick() {
    // Held now: X11 reports the keyboard state to any client, a Wayland
    // session only while one of our windows has the focus. Neither tells of
    // a key pressed and let go between two looks, so a tap shorter than the
    // 100 ms between them may go unseen; a key held while clicking is seen.
    const Qt::KeyboardModifiers keys = QGuiApplication::queryKeyboardModifiers();
    AltDown = keys.testFlag(Qt::AltModifier);
    CtrlDown = keys.testFlag(Qt::ControlModifier);
    ShiftDown = keys.testFlag(Qt::ShiftModifier);
    service_.Tick100ms();
}

void MainWindow::SecondTick() {
    const std::int64_t sample = service_.Tick1s();
    chart_->AddSample(sample);
    tray_->SetAnimated(sample > 0);
    // A window hidden in a tray that has gone could be reached no more: the
    // program would run on with nothing to show or quit it by.
    if (hiddenInTray_ && !isVisible() && !Tray::Available()) {
        ToggleShown();
    }
    tray_->SetHint(QStringLiteral("Интернет: ") + internetLabel_->text() +
                   QStringLiteral(" Кеш: ") + cacheLabel_->text());
}

namespace {

QString ScreenSuffix() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    // In the units the rectangle is stored in: a start under another scale
    // factor keeps a key of its own rather than reading this one's numbers
    // in other units.
    const QSize size = screen != nullptr ? screen->size() : QSize(0, 0);
    return QStringLiteral("(%1x%2)").arg(size.width()).arg(size.height());
}

}  // namespace

void MainWindow::StorePlacement(bool closing) {
    QRect normal = normalGeometry();
    if (!normal.isValid()) {
        normal = geometry();
    }
    // The corner is the frame's, where move() puts it back: the geometries
    // are the inner area's, and storing that corner moved the window by the
    // window manager's border and title bar at every start.
    const QPoint corner = normal.topLeft() - (geometry().topLeft() - pos());
    // Left, top, right, bottom with the right and bottom edges outside, as
    // the file has always held them.
    const QString normPos = QStringLiteral("%1,%2,%3,%4")
                                .arg(corner.x())
                                .arg(corner.y())
                                .arg(corner.x() + normal.width())
                                .arg(corner.y() + normal.height());
    const QString suffix = ScreenSuffix();
    service_.SettingsModel().gridLayouts = layouts_.Capture();
    auto& placement = service_.SettingsModel().windowPlacement;
    placement.clear();
    auto add = [&placement](const QString& key, const QString& value) {
        placement.emplace_back(key.toStdString(), value.toStdString());
    };
    add(QStringLiteral("Flags"), QStringLiteral("0"));
    add(QStringLiteral("ShowCmd"), isMinimized() ? QStringLiteral("2") : QStringLiteral("1"));
    add(QStringLiteral("PixelsPerInch"), QString::number(logicalDpiY()));
    add(QStringLiteral("MinMaxPos") + suffix, QStringLiteral("-1,-1,-1,-1"));
    add(QStringLiteral("MinMaxPos"), QStringLiteral("-1,-1,-1,-1"));
    add(QStringLiteral("NormPos") + suffix, normPos);
    add(QStringLiteral("NormPos"), normPos);
    add(QStringLiteral("Visible"), closing ? QStringLiteral("1") : QStringLiteral("0"));
}

void MainWindow::RestorePlacement() {
    const auto file = service_.SettingsFile();
    auto text =
        StoredSettingsValue(file, (QStringLiteral("NormPos") + ScreenSuffix()).toStdString());
    if (!text) {
        text = StoredSettingsValue(file, "NormPos");
    }
    if (!text) {
        return;
    }
    const QStringList parts = QString::fromStdString(*text).split(QLatin1Char(','));
    if (parts.size() != 4) {
        return;
    }
    int edges[4];
    for (int i = 0; i < 4; ++i) {
        bool number = false;
        edges[i] = parts[i].trimmed().toInt(&number);
        if (!number) {
            return;
        }
    }
    const int width = edges[2] - edges[0];
    const int height = edges[3] - edges[1];
    // A placement that cannot be a window (hand-edited, another screen) is
    // no reason to start unusable.
    if (width < 100 || height < 100 || width > 20000 || height > 20000) {
        return;
    }
    // A placement kept from a larger screen, or one no longer attached,
    // would open the window where nobody can reach it (and store that
    // again): it is moved onto the screen that holds its middle, else the
    // primary one.
    QRect placed(edges[0], edges[1], width, height);
    const QScreen* screen = QGuiApplication::screenAt(placed.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        const QRect room = screen->availableGeometry();
        const QSize frame = FrameAllowance(*this);
        placed.setSize(placed.size().boundedTo(room.size() - frame));
        placed.moveLeft(std::clamp(placed.left(), room.left(),
                                   room.right() + 1 - placed.width() - frame.width()));
        placed.moveTop(std::clamp(placed.top(), room.top(),
                                  room.bottom() + 1 - placed.height() - frame.height()));
    }
    move(placed.topLeft());
    resize(placed.size());
}

void MainWindow::ToggleShown() {
    if (isVisible() && !isMinimized()) {
        HideInTray();
        return;
    }
    ShowInFront();
}

void MainWindow::ShowInFront() {
    hiddenInTray_ = false;
    // Restored as it was hidden: a maximised window stays maximised.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    monitorView_->FollowNewest();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && Tray::Available()) {
        QTimer::singleShot(0, this, &MainWindow::HideInTray);
    }
}

void MainWindow::HideInTray() {
    hide();
    hiddenInTray_ = true;
}

void MainWindow::FillLabels() {
    // Both labels say "0" until bytes of their kind arrive.
    const TrafficCounters& traffic = service_.Traffic();
    if (traffic.fromInternet > 0) {
        internetLabel_->setText(InternetText());
    }
    if (traffic.fromCache > 0) {
        cacheLabel_->setText(CacheText());
    }
}

QString MainWindow::InternetText() const {
    return QString::fromStdString(FormatByteSize(service_.Traffic().fromInternet));
}

QString MainWindow::CacheText() const {
    const TrafficCounters& traffic = service_.Traffic();
    return QString::fromStdString(CacheShareText(traffic.fromCache, traffic.fromInternet));
}

void MainWindow::ShowError(const QString& text) {
    // A box closed a moment ago is deleted only at the next turn of the event
    // loop: a message must not join it there, unseen.
    if (errorBox_ != nullptr && errorBox_->isVisible()) {
        const QString shown = errorBox_->text();
        if (!shown.split(kBetweenMessages).contains(text)) {
            errorBox_->setText(shown + kBetweenMessages + text);
        }
        return;
    }
    errorBox_ = new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"), text,
                                QMessageBox::Ok, this);
    errorBox_->setAttribute(Qt::WA_DeleteOnClose);
    errorBox_->setModal(false);
    errorBox_->show();
}

void MainWindow::ShowListenerReport(const std::optional<std::string>& message) {
    WithdrawError(listenerError_);
    listenerError_ = message ? FromCp1251(*message) : QString();
    if (!listenerError_.isEmpty()) {
        ShowError(listenerError_);
    }
}

void MainWindow::WithdrawError(const QString& text) {
    if (errorBox_ == nullptr || text.isEmpty()) {
        return;
    }
    QStringList messages = errorBox_->text().split(kBetweenMessages);
    messages.removeAll(text);
    if (messages.isEmpty()) {
        errorBox_->close();
    } else {
        errorBox_->setText(messages.join(kBetweenMessages));
    }
}

}  // namespace vs::gui
