// The settings pages over a running core: a check box acts on the next
// request at once; a typed field waits for "Применить", which either page's
// button does, and which then saves the file and disables both buttons.

#include "gui/settings_pages.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include "shell/proxy_service.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs::gui {
namespace {

class SettingsPagesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::StartOnAFreePort(service, dir.Path())); }
    void TearDown() override { service.ShutDown(); }
    template <typename T>
    T* Find(const char* name) {
        for (QWidget* page : {pages.GeneralPage(), pages.ParentPage()}) {
            if (auto* found = page->findChild<T*>(QString::fromLatin1(name))) {
                return found;
            }
        }
        return nullptr;
    }
    std::string StatusOf(const std::string& url) { return test::StatusThrough(service, url); }

    test::TempDir dir;
    ProxyService service{dir.Path(), dir.Path() / "vellostore", {}};
    int logShown = 0;
    SettingsPages pages{service, [this] { ++logShown; }};
};

TEST_F(SettingsPagesTest, ACheckBoxActsOnTheNextRequestWithoutApply) {
    test::HttpOrigin origin;
    QCheckBox* offline = Find<QCheckBox>("offline");
    ASSERT_NE(offline, nullptr);
    offline->click();
    EXPECT_TRUE(service.SettingsModel().offline);
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/elsewhere")), " 404 "));
    EXPECT_FALSE(Find<QPushButton>("applyGeneral")->isEnabled());
    offline->click();
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/")), " 200 "));
}

TEST_F(SettingsPagesTest, ATypedPortWaitsForApplyWhichSavesAndDisablesBothButtons) {
    QLineEdit* port = Find<QLineEdit>("port");
    QPushButton* general = Find<QPushButton>("applyGeneral");
    QPushButton* parent = Find<QPushButton>("applyParent");
    ASSERT_TRUE(port && general && parent);
    EXPECT_FALSE(general->isEnabled() || parent->isEnabled());
    const int next = test::FreePort();
    port->setText(QString::number(next));
    emit port->textEdited(port->text());
    EXPECT_TRUE(general->isEnabled() && parent->isEnabled());
    EXPECT_NE(service.Applied().port, next);  // typed, not applied
    // Nor is a parent user being typed, whatever box is ticked meanwhile.
    QLineEdit* user = Find<QLineEdit>("parentUser");
    ASSERT_NE(user, nullptr);
    // A pasted line break goes in as a blank: the file stays writable.
    user->setText(QStringLiteral("pe\ntr") + QChar(0));
    emit user->textEdited(user->text());
    EXPECT_EQ(user->text(), QStringLiteral("pe tr "));
    user->setText(QStringLiteral("pe tr"));
    emit user->textEdited(user->text());
    // The parent reads the name in UTF-8, whatever its letters; a field the
    // file holds in the code page refuses letters it lacks, which would be
    // saved as "?".
    user->setText(QStringLiteral("pe tr密"));
    emit user->textEdited(user->text());
    QString refusal;
    QObject::connect(&pages, &SettingsPages::Failed, [&](const QString& text) { refusal = text; });
    QLineEdit* host = Find<QLineEdit>("parentHost");
    ASSERT_NE(host, nullptr);
    const QString hostBefore = host->text();
    host->setText(hostBefore + QStringLiteral("密"));
    emit host->textEdited(host->text());
    EXPECT_TRUE(refusal.contains(QStringLiteral("«Адрес»")) &&
                refusal.contains(QStringLiteral("密")))
        << refusal.toStdString();
    EXPECT_EQ(host->text(), hostBefore);
    Find<QCheckBox>("offline")->click();
    Find<QCheckBox>("offline")->click();
    EXPECT_EQ(service.ProxyEngine().Config()->parentUser, "");

    parent->click();  // the other page's button applies the same
    EXPECT_EQ(service.Applied().port, next);
    EXPECT_EQ(service.ProxyEngine().Config()->parentUser, "pe tr密");
    EXPECT_FALSE(general->isEnabled() || parent->isEnabled());
    EXPECT_TRUE(test::Has(test::ReadBytes(dir.Path() / "Vellostore.ini"),
                          "PortEd_Text=" + std::to_string(next)));
    ASSERT_TRUE(test::WaitUntil([&] { return service.TakeListenerReport().has_value(); }));
    EXPECT_EQ(service.Listener().BoundPort(), next);

    // A field that is not a number shows the value applying used.
    QLineEdit* parentPort = Find<QLineEdit>("parentPort");
    parentPort->setText(QStringLiteral("abc"));
    emit parentPort->textEdited(parentPort->text());
    // A folder is named in the file system's letters, whatever the code
    // page holds: the one typed is the one used and shown.
    QLineEdit* cacheDir = Find<QLineEdit>("cacheDir");
    const QString folder = QString::fromStdString((dir.Path() / "キャッシュ").string());
    cacheDir->setText(folder);
    emit cacheDir->textEdited(cacheDir->text());
    general->click();
    EXPECT_EQ(parentPort->text(), QStringLiteral("8080"));
    EXPECT_EQ(cacheDir->text(), folder);
    EXPECT_EQ(service.ProxyEngine().Config()->cacheDir.Root(), dir.Path() / "キャッシュ" / "");
}

// The connection limits wait for "Применить" like the fields, then reach
// the running server and the file; the host-services box acts at once.
TEST_F(SettingsPagesTest, LimitsApplyToTheRunningServerAndTheHostServicesBoxActsAtOnce) {
    QSpinBox* ceiling = Find<QSpinBox>("maxConnections");
    QCheckBox* lan = Find<QCheckBox>("lanHostServices");
    ASSERT_TRUE(ceiling && lan);
    EXPECT_EQ(ceiling->value(), 4096);
    EXPECT_FALSE(Find<QPushButton>("applyGeneral")->isEnabled());
    ceiling->setValue(7);
    EXPECT_EQ(service.Server().Limits().maxConnections, 4096u);
    Find<QPushButton>("applyGeneral")->click();
    EXPECT_EQ(service.Server().Limits().maxConnections, 7u);
    EXPECT_TRUE(test::Has(test::ReadBytes(dir.Path() / "Vellostore.ini"), "MaxConnections=7"));

    EXPECT_FALSE(service.ProxyEngine().Config()->lanReachesHostServices);
    lan->click();
    EXPECT_TRUE(service.ProxyEngine().Config()->lanReachesHostServices);
}

TEST_F(SettingsPagesTest, TheAutorunBoxWritesAndRemovesTheAutostartEntry) {
    test::ScopedEnv config("XDG_CONFIG_HOME", dir.Path().c_str());
    QCheckBox* box = Find<QCheckBox>("autoRun");
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "autostart/vellostore.desktop"));
    EXPECT_TRUE(service.AutoRun());
    box->click();
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "autostart/vellostore.desktop"));
    // An entry that cannot be removed keeps the box ticked, and says so.
    box->click();
    std::filesystem::rename(dir.Path() / "autostart/vellostore.desktop", dir.Path() / "entry");
    std::filesystem::create_directories(dir.Path() / "autostart/vellostore.desktop/held");
    QString failure;
    QObject::connect(&pages, &SettingsPages::Failed, [&](const QString& text) { failure = text; });
    box->click();
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(failure.startsWith(QStringLiteral("Автозапуск не изменён")))
        << failure.toStdString();
}

}  // namespace
}  // namespace vs::gui
