#pragma once
// The "Очистка кеша" page: the criteria of a cleaning run, "Пуск" and
// "Стоп", and the path being deleted. The run goes on a thread of its own;
// the page only looks at it, ten times a second while it goes, so a site
// folder of tens of thousands of files never holds the window. Failures
// reach the user through the window's passes (ProxyService::IdlePass).
// Nothing here is kept between runs of the program: every start shows the
// defaults.

#include <QTimer>
#include <QWidget>

#include "cache/cleaning.h"

class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vs {
class ProxyService;
}  // namespace vs

namespace vs::gui {

class CleaningPage : public QWidget {
    Q_OBJECT

public:
    explicit CleaningPage(ProxyService& service, QWidget* parent = nullptr);

    // "Пуск": a run with the criteria as they stand; the size fields then
    // show the numbers the run uses.
    void Start();
    // "Стоп": the run ends after the file it is at.
    void Stop();

    // The criteria as the controls give them.
    cache::CleaningOptions Options() const;

private:
    // While a run goes: its label, and the buttons back once it has ended.
    void Poll();
    void ShowIdle();

    ProxyService& service_;
    QCheckBox* deleteOld_;
    QDateTimeEdit* oldBefore_;
    QCheckBox* deleteHuge_;
    QLineEdit* hugeSize_;
    QCheckBox* deleteEmpty_;
    QCheckBox* deleteSmall_;
    QLineEdit* smallSize_;
    QLabel* progress_;
    QPushButton* start_;
    QPushButton* stop_;
    QTimer poll_;
};

}  // namespace vs::gui
