// The pattern try-out page: the window's Unicode texts meet the matcher in
// the program's 8-bit code page, with the memo's lines joined by CR LF.

#include "gui/trainer_page.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace vs::gui {
namespace {

TEST(TrainerPage, ShowsGroupsAndTheReplacedTextOrNothingForABrokenPattern) {
    TrainerPage page;
    auto click = [&page](const char* button) { page.findChild<QPushButton*>(button)->click(); };
    page.Pattern().setText(QStringLiteral("(b+)"));
    page.Input().setPlainText(QStringLiteral("abbc"));
    click("apply");
    EXPECT_EQ(page.Output().toPlainText(), QStringLiteral("0(2): bb\n1(2): bb"));

    // Offsets count characters, not UTF-8 bytes; later lines stay lines.
    page.Pattern().setText(QStringLiteral("(в+)"));
    page.Input().setPlainText(QStringLiteral("двва\nВтор"));
    page.Replacement().setText(QStringLiteral("Ж"));
    click("replace");
    EXPECT_EQ(
        page.Output().toPlainText(),
        QStringLiteral("0(2): вв\n1(2): вв\n--------- После -- замены ----------\nдЖа\nВтор"));

    // Tab goes on to the next control: typed into the text, it would be
    // matched, and a keyboard user could not leave.
    page.Input().setPlainText(QStringLiteral("abbc"));
    QTest::keyClick(&page.Input(), Qt::Key_Tab);
    EXPECT_EQ(page.Input().toPlainText(), QStringLiteral("abbc"));

    page.Pattern().setText(QStringLiteral("(b"));
    click("apply");
    EXPECT_EQ(page.Output().toPlainText(), QString());
    EXPECT_TRUE(page.Output().isReadOnly());
}

}  // namespace
}  // namespace vs::gui
