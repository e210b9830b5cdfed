#include "gui/settings_pages.h"

#include <algorithm>

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

#include "gui/cp1251_text.h"
#include "shell/proxy_service.h"

namespace vs::gui {
namespace {

QWidget* NewPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(20, 1);
    return page;
}

QGridLayout* GridOf(QWidget* page) {
    return static_cast<QGridLayout*>(page->layout());
}

}  // namespace

SettingsPages::SettingsPages(ProxyService& service, std::function<void()> showLog, QObject* parent)
    : QObject(parent), service_(service), general_(NewPage()), parent_(NewPage()) {
    AddText(general_, 0, QStringLiteral("Порт:"), &Settings::port)->setObjectName("port");
    AddText(general_, 1, QStringLiteral("Папка кеша:"), &Settings::cacheDir, Coding::kUtf8)
        ->setObjectName("cacheDir");
    AddText(general_, 2, QStringLiteral("Масштаб графика:"), &Settings::chartScale);
    AddText(general_, 3, QStringLiteral("Свежие файлы, часов:"), &Settings::freshHours);
    AddText(general_, 4, QStringLiteral("Свежие файлы, минут:"), &Settings::freshMinutes);
    AddSwitch(general_, 5, QStringLiteral("Работать автономно"), &Settings::offline)
        ->setObjectName("offline");
    AddSwitch(general_, 6, QStringLiteral("Чтение из кеша"), &Settings::readFromCache);
    AddSwitch(general_, 7, QStringLiteral("Не обновлять \"свежие\" файлы"),
              &Settings::freshWithoutAsking);
    AddSwitch(general_, 8, QStringLiteral("Игнорировать No-cache"), &Settings::ignoreNoCache);
    AddSwitch(general_, 9, QStringLiteral("Прятать при старте"), &Settings::startHidden);
    // The autostart entry of the desktop session, written or removed at once.
    auto* autoRun = new QCheckBox(QStringLiteral("Стартовать вместе с системой"), general_);
    autoRun->setObjectName("autoRun");
    GridOf(general_)->addWidget(autoRun, 9, 2);
    connect(autoRun, &QCheckBox::clicked, this, [this, autoRun](bool checked) {
        try {
            service_.SetAutoRunEnabled(checked);
        } catch (const std::exception& e) {
            autoRun->setChecked(service_.AutoRun());
            emit Failed(
                QStringLiteral("Автозапуск не изменён: %1").arg(QString::fromLocal8Bit(e.what())));
        }
    });
    refreshers_.push_back([this, autoRun] { autoRun->setChecked(service_.AutoRun()); });
    AddSwitch(general_, 10, QStringLiteral("Клиентам сети доступны службы этого компьютера"),
              &Settings::lanReachesHostServices)
        ->setObjectName("lanHostServices");
    // Limits against browsers that hold connections without using them; 0
    // turns one off. They act on running connections once applied.
    constexpr int kDay = 24 * 60 * 60;
    AddNumber(general_, 11, QStringLiteral("Ожидание первого запроса, с:"),
              &Settings::firstRequestSeconds, kDay);
    AddNumber(general_, 12, QStringLiteral("Простой соединения, с:"), &Settings::idleSeconds, kDay);
    AddNumber(general_, 13, QStringLiteral("Предел соединений:"), &Settings::maxConnections,
              1'000'000)
        ->setObjectName("maxConnections");
    auto* showLogButton = new QPushButton(QStringLiteral("Показать лог"), general_);
    connect(showLogButton, &QPushButton::clicked, this, [showLog] { showLog(); });
    GridOf(general_)->addWidget(showLogButton, 14, 0);
    AddApplyButton(general_, 14)->setObjectName("applyGeneral");

    AddSwitch(parent_, 0, QStringLiteral("Использовать родительский прокси"), &Settings::useParent);
    AddText(parent_, 1, QStringLiteral("Адрес:"), &Settings::parentHost)
        ->setObjectName("parentHost");
    AddText(parent_, 2, QStringLiteral("Порт:"), &Settings::parentPort)
        ->setObjectName("parentPort");
    AddText(parent_, 3, QStringLiteral("Имя пользователя:"), &Settings::parentUser, Coding::kUtf8)
        ->setObjectName("parentUser");
    AddText(parent_, 4, QStringLiteral("Пароль:"), &Settings::parentPassword, Coding::kUtf8)
        ->setEchoMode(QLineEdit::Password);
    AddApplyButton(parent_, 5)->setObjectName("applyParent");
    Refresh();
}

QLineEdit* SettingsPages::AddText(QWidget* page, int row, const QString& caption,
                                  std::string Settings::*field, Coding coding) {
    auto* edit = new QLineEdit(page);
    GridOf(page)->addWidget(new QLabel(caption, page), row, 0);
    GridOf(page)->addWidget(edit, row, 1);
    // The model holds the 8-bit code page, as the settings file does, but
    // for a folder's name and the parent's credentials.
    const bool utf8 = coding == Coding::kUtf8;
    QString name = caption;
    name.chop(1);  // its colon
    connect(edit, &QLineEdit::textEdited, this,
            [this, edit, field, utf8, name](const QString& typed) {
                // A pasted line break (or NUL) would make the settings file
                // unwritable: it goes in as a blank, as the grids take it.
                QString text = typed;
                text.replace(QLatin1String("\r\n"), QLatin1String(" "));
                for (const QChar c : {QChar('\r'), QChar('\n'), QChar(0)}) {
                    text.replace(c, QLatin1Char(' '));
                }
                if (text != typed) {
                    const int cursor = edit->cursorPosition();
                    edit->setText(text);
                    edit->setCursorPosition(std::min(cursor, static_cast<int>(text.size())));
                }
                // What the code page lacks would reach the parent, or the file, as
                // "?": another name or password than the one typed.
                if (const QString outside = CharactersOutsideCp1251(text);
                    !utf8 && !outside.isEmpty()) {
                    edit->setText(FromCp1251(service_.SettingsModel().*field));
                    emit Failed(QStringLiteral("В поле «%1» есть символы, которых нет в кодировке "
                                               "Windows-1251: %2\nПоле не изменено.")
                                    .arg(name, outside));
                    return;
                }
                service_.SettingsModel().*field = utf8 ? text.toStdString() : ToCp1251(text);
                Edited();
            });
    refreshers_.push_back([this, edit, field, utf8] {
        const std::string& value = service_.SettingsModel().*field;
        edit->setText(utf8 ? QString::fromStdString(value) : FromCp1251(value));
    });
    return edit;
}

QCheckBox* SettingsPages::AddSwitch(QWidget* page, int row, const QString& caption,
                                    bool Settings::*field) {
    auto* box = new QCheckBox(caption, page);
    GridOf(page)->addWidget(box, row, 0, 1, 2);
    connect(box, &QCheckBox::clicked, this, [this, field](bool checked) {
        service_.SettingsModel().*field = checked;
        service_.PublishSwitches();
    });
    refreshers_.push_back([this, box, field] { box->setChecked(service_.SettingsModel().*field); });
    return box;
}

QSpinBox* SettingsPages::AddNumber(QWidget* page, int row, const QString& caption,
                                   int Settings::*field, int most) {
    auto* box = new QSpinBox(page);
    box->setRange(0, most);
    box->setSpecialValueText(QStringLiteral("нет"));
    GridOf(page)->addWidget(new QLabel(caption, page), row, 0);
    GridOf(page)->addWidget(box, row, 1);
    connect(box, &QSpinBox::valueChanged, this, [this, field](int value) {
        service_.SettingsModel().*field = value;
        Edited();
    });
    refreshers_.push_back([this, box, field] {
        const QSignalBlocker quiet(box);  // showing the model is no edit
        box->setValue(service_.SettingsModel().*field);
    });
    return box;
}

QPushButton* SettingsPages::AddApplyButton(QWidget* page, int row) {
    auto* button = new QPushButton(QStringLiteral("Применить"), page);
    button->setEnabled(false);
    GridOf(page)->addWidget(button, row, 1, Qt::AlignLeft);
    connect(button, &QPushButton::clicked, this, &SettingsPages::Apply);
    applyButtons_.push_back(button);
    return button;
}

void SettingsPages::Edited() {
    for (QPushButton* button : applyButtons_) {
        button->setEnabled(true);
    }
}

void SettingsPages::Apply() {
    emit AboutToApply();
    service_.Apply();
    // The pressed button is disabled under the focus, which would then leave
    // the page for the tabs: it goes to the field just before the button,
    // so that a page scrolled down to it stays where the user was.
    QPushButton* pressed = nullptr;
    for (QPushButton* button : applyButtons_) {
        if (button->hasFocus()) {
            pressed = button;
        }
    }
    for (QPushButton* button : applyButtons_) {
        button->setEnabled(false);
    }
    if (pressed != nullptr) {
        QWidget* page = pressed->parentWidget();
        for (QWidget* field = pressed->previousInFocusChain();
             field != pressed && page->isAncestorOf(field); field = field->previousInFocusChain()) {
            if (field->isEnabled() && (field->focusPolicy() & Qt::TabFocus) != 0) {
                field->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
    Refresh();
    emit Applied();
}

void SettingsPages::Refresh() {
    for (const auto& refresh : refreshers_) {
        refresh();
    }
}

}  // namespace vs::gui
