#include "gui/trainer_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "gui/cp1251_text.h"

namespace vs::gui {

TrainerPage::TrainerPage(QWidget* parent)
    : QWidget(parent),
      pattern_(new QLineEdit(this)),
      replacement_(new QLineEdit(this)),
      input_(new QPlainTextEdit(this)),
      output_(new QPlainTextEdit(this)) {
    auto* apply = new QPushButton(QStringLiteral("Применить"), this);
    auto* replace = new QPushButton(QStringLiteral("Заменить"), this);
    apply->setObjectName("apply");
    replace->setObjectName("replace");
    connect(apply, &QPushButton::clicked, this, &TrainerPage::Apply);
    connect(replace, &QPushButton::clicked, this, &TrainerPage::Replace);
    output_->setReadOnly(true);
    // Tab leaves the texts, as it leaves the fields: typed into the text, it
    // would take part in the match, and a keyboard user could not get out.
    input_->setTabChangesFocus(true);
    output_->setTabChangesFocus(true);
    // Matches and groups are easier to line up in a fixed-width font.
    output_->setFont(QFont(QStringLiteral("monospace")));
    input_->setFont(output_->font());

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("Правило:  "), this), 0, 0);
    fields->addWidget(pattern_, 0, 1);
    fields->addWidget(apply, 0, 2);
    fields->addWidget(new QLabel(QStringLiteral("Замена:  "), this), 1, 0);
    fields->addWidget(replacement_, 1, 1);
    fields->addWidget(replace, 1, 2);
    auto* memos = new QSplitter(Qt::Horizontal, this);
    memos->addWidget(input_);
    memos->addWidget(output_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(memos, 1);
    // In the order they stand: each field's button after it.
    setTabOrder(pattern_, apply);
    setTabOrder(apply, replacement_);
    setTabOrder(replacement_, replace);
    setTabOrder(replace, input_);
    setTabOrder(input_, output_);
}

std::string TrainerPage::PatternText() const {
    return ToCp1251(pattern_->text());
}

std::string TrainerPage::InputText() const {
    QString text = input_->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return ToCp1251(text);
}

void TrainerPage::Show(const std::string& text) {
    QString shown = FromCp1251(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    output_->setPlainText(shown);
}

void TrainerPage::Apply() {
    Show(simulator_.Apply(PatternText(), InputText()));
}

void TrainerPage::Replace() {
    Show(simulator_.Replace(PatternText(), ToCp1251(replacement_->text()), InputText()));
}

}  // namespace vs::gui
