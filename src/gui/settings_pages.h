#pragma once
// The settings pages "Общие" and " Родительский прокси ", bound to the core's
// settings model. A check box acts at once (as the tray's check items do):
// the switch reaches the workers with the next request. Text fields are
// kept in the model as typed and take effect with "Применить", which either
// page's button does for both; the buttons are enabled by an edit and
// disabled again once applied.

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace vs {
class ProxyService;
struct Settings;
}  // namespace vs

namespace vs::gui {

class SettingsPages : public QObject {
    Q_OBJECT

public:
    // `showLog` is what "Показать лог" does.
    SettingsPages(ProxyService& service, std::function<void()> showLog, QObject* parent = nullptr);

    QWidget* GeneralPage() const { return general_; }
    QWidget* ParentPage() const { return parent_; }
    // "Применить": the model applied to the running proxy and saved; the
    // fields show the values actually used.
    void Apply();
    // The controls show the model again (after start-up or Apply).
    void Refresh();

signals:
    // Before Apply saves the settings (the window puts its placement in).
    void AboutToApply();
    // After Apply: the chart's scale and the like may have changed.
    void Applied();
    // Something the user asked for could not be done (the autostart entry).
    void Failed(const QString& message);

private:
    enum class Coding { kCodePage, kUtf8 };
    QLineEdit* AddText(QWidget* page, int row, const QString& caption, std::string Settings::*field,
                       Coding coding = Coding::kCodePage);
    QCheckBox* AddSwitch(QWidget* page, int row, const QString& caption, bool Settings::*field);
    // A whole number from 0 ("нет": off) to `most`, applied with the fields.
    QSpinBox* AddNumber(QWidget* page, int row, const QString& caption, int Settings::*field,
                        int most);
    QPushButton* AddApplyButton(QWidget* page, int row);
    void Edited();

    ProxyService& service_;
    QWidget* general_;
    QWidget* parent_;
    std::vector<QPushButton*> applyButtons_;
    std::vector<std::function<void()>> refreshers_;
};

}  // namespace vs::gui
