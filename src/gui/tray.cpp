#include "gui/tray.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "gui/icons.h"
#include "shell/proxy_service.h"

namespace vs::gui {

Tray::Tray(ProxyService& service, QObject* parent)
    : QObject(parent), service_(service), menu_(new QMenu), icon_(new QSystemTrayIcon(this)) {
    AddSwitch(QStringLiteral("Работать автономно"), &Settings::offline);
    menu_->addSeparator();
    AddSwitch(QStringLiteral("Чтение из кеша"), &Settings::readFromCache);
    AddSwitch(QStringLiteral("Не обновлять \"свежие\" файлы"), &Settings::freshWithoutAsking);
    menu_->addSeparator();
    AddSwitch(QStringLiteral("Черный список"), &Settings::blackListEnabled);
    AddSwitch(QStringLiteral("Запись в кеш"), &Settings::cacheListEnabled);
    AddSwitch(QStringLiteral("Не обновлять"), &Settings::noRequestListEnabled);
    AddSwitch(QStringLiteral("Только из кеша"), &Settings::onlyFromCacheEnabled);
    AddSwitch(QStringLiteral("URL-фильтры"), &Settings::urlConverterEnabled);
    menu_->addSeparator();
    connect(menu_->addAction(QStringLiteral("Выход")), &QAction::triggered, this,
            &Tray::ExitRequested);
    connect(menu_, &QMenu::aboutToShow, this, &Tray::Refresh);

    icon_->setIcon(TrayFrame(0));
    icon_->setToolTip(QStringLiteral("Vellostore"));
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                // A double click comes after the click of its first press,
                // which already toggled: as a second toggle it would hide
                // the window it has just shown.
                if (why == QSystemTrayIcon::Trigger) {
                    emit Clicked();
                } else if (why == QSystemTrayIcon::DoubleClick) {
                    emit DoubleClicked();
                }
            });
    animation_.setInterval(300);
    connect(&animation_, &QTimer::timeout, this, &Tray::NextFrame);
    Refresh();
}

Tray::~Tray() {
    delete menu_;  // a context menu has no parent to take it along
}

bool Tray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void Tray::Show() {
    icon_->show();
}

bool Tray::Shown() const {
    return icon_->isVisible();
}

void Tray::AddSwitch(const QString& caption, bool Settings::*field) {
    QAction* item = menu_->addAction(caption);
    item->setCheckable(true);
    connect(item, &QAction::triggered, this, [this, field](bool checked) {
        service_.SettingsModel().*field = checked;
        service_.PublishSwitches();
        emit SwitchChanged();
    });
    switches_.emplace_back(item, field);
}

void Tray::Refresh() {
    for (const auto& [item, field] : switches_) {
        item->setChecked(service_.SettingsModel().*field);
    }
}

void Tray::SetHint(const QString& hint) {
    icon_->setToolTip(hint);
}

void Tray::SetAnimated(bool animated) {
    if (animated == animation_.isActive()) {
        return;
    }
    if (animated) {
        animation_.start();
    } else {
        animation_.stop();
        frame_ = 0;
        icon_->setIcon(TrayFrame(0));
    }
}

void Tray::NextFrame() {
    icon_->setIcon(TrayFrame(++frame_));
}

}  // namespace vs::gui
