#pragma once
// The "Тренажер" page: a pattern and a replacement tried on a text of the
// user's own before they go into a list. "Применить" shows what the first
// match captures, "Заменить" also the text with that match replaced. The
// window's texts are Unicode; the matcher works on the program's 8-bit code
// page, as the lists do, so what shows here is what a rule would do.

#include <QWidget>

#include <string>

#include "rules/url_converter.h"

class QLineEdit;
class QPlainTextEdit;

namespace vs::gui {

class TrainerPage : public QWidget {
    Q_OBJECT

public:
    explicit TrainerPage(QWidget* parent = nullptr);

    // "Применить".
    void Apply();
    // "Заменить".
    void Replace();

    QLineEdit& Pattern() const { return *pattern_; }
    QLineEdit& Replacement() const { return *replacement_; }
    QPlainTextEdit& Input() const { return *input_; }
    QPlainTextEdit& Output() const { return *output_; }

private:
    std::string PatternText() const;
    // The input's lines joined by CR LF, as the matcher sees a memo's text.
    std::string InputText() const;
    void Show(const std::string& text);

    PatternSimulator simulator_;
    QLineEdit* pattern_;
    QLineEdit* replacement_;
    QPlainTextEdit* input_;
    QPlainTextEdit* output_;
};

}  // namespace vs::gui
