// The tray's check items and the settings boxes are two views of the same
// switches: whichever changes one, the other shows it, and the workers get
// it with the next request.

#include "gui/tray.h"

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/rule_list_page.h"
#include "shell/proxy_service.h"
#include "support/files.h"
#include "support/service_start.h"

namespace vs::gui {
namespace {

QAction* Item(Tray& tray, const QString& caption) {
    for (QAction* action : tray.Menu()->actions()) {
        if (action->text() == caption) {
            return action;
        }
    }
    return nullptr;
}

TEST(Tray, ItsCheckItemsAndTheSettingsBoxesMirrorEachOther) {
    test::TempDir dir;
    LogWindow log;
    ProxyService service(dir.Path(), dir.Path() / "vellostore", log.Sink());
    ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path()));
    {
        MainWindow window(service, log);
        Tray& tray = window.TrayIcon();
        QAction* offline = Item(tray, QStringLiteral("Работать автономно"));
        QAction* blackList = Item(tray, QStringLiteral("Черный список"));
        auto* box = window.findChild<QCheckBox*>(QStringLiteral("offline"));
        ASSERT_TRUE(offline && blackList && box);
        ASSERT_NE(Item(tray, QStringLiteral("Выход")), nullptr);

        // The box first: the menu shows it when it opens.
        box->click();
        emit tray.Menu()->aboutToShow();
        EXPECT_TRUE(offline->isChecked());
        // The tray item: the box shows it, the workers get it.
        offline->trigger();
        EXPECT_FALSE(box->isChecked());
        EXPECT_FALSE(service.ProxyEngine().Config()->offline);
        // The same for a list's box, which sits on the list's page.
        auto* listBox =
            window.ListPage(ListKind::Black).findChild<QCheckBox*>(QStringLiteral("enabled"));
        ASSERT_TRUE(blackList->isChecked() && listBox->isChecked());
        blackList->trigger();
        EXPECT_FALSE(listBox->isChecked());
        EXPECT_FALSE(service.SettingsModel().blackListEnabled);

        // A click shows the hidden window and hides the shown one; the double
        // click that follows its first press leaves it shown.
        auto* icon = tray.findChild<QSystemTrayIcon*>();
        ASSERT_NE(icon, nullptr);
        window.show();
        emit icon->activated(QSystemTrayIcon::Trigger);
        EXPECT_FALSE(window.isVisible());
        emit icon->activated(QSystemTrayIcon::Trigger);
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(service.ProxyEngine().Config()->blackListEnabled);
        listBox->click();
        emit tray.Menu()->aboutToShow();
        EXPECT_TRUE(blackList->isChecked());
        listBox->click();
    }
    service.ShutDown();
    // Switches are settings: the close writes them.
    EXPECT_NE(test::ReadBytes(dir.Path() / "Vellostore.ini").find("BlackListCB_Checked=False"),
              std::string::npos);
}

}  // namespace
}  // namespace vs::gui
