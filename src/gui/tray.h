#pragma once
// The tray icon: its hint shows the traffic, it cycles its frames while
// bytes flow, a click hides or shows the window, and its menu holds the
// proxy's switches as check items. The items read the settings model each
// time the menu opens, so they mirror the settings pages' boxes whichever
// side changed last; toggling one acts on the next request at once.

#include <QObject>
#include <QTimer>

#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace vs {
class ProxyService;
struct Settings;
}  // namespace vs

namespace vs::gui {

class Tray : public QObject {
    Q_OBJECT

public:
    explicit Tray(ProxyService& service, QObject* parent = nullptr);
    ~Tray() override;

    // Where the desktop has no tray the window stays in the task bar.
    static bool Available();
    void Show();
    // Shown, whether or not a tray holds the icon yet.
    bool Shown() const;
    void SetHint(const QString& hint);
    // Cycles the frames while traffic flows, rests on the first otherwise.
    void SetAnimated(bool animated);
    bool Animated() const { return animation_.isActive(); }

    QMenu* Menu() const { return menu_; }
    // The check items read the model (what opening the menu does).
    void Refresh();

signals:
    // A check item changed the model: the settings pages show it.
    void SwitchChanged();
    // A click on the icon, and the double click that may follow it.
    void Clicked();
    void DoubleClicked();
    void ExitRequested();

private:
    void AddSwitch(const QString& caption, bool Settings::*field);
    void NextFrame();

    ProxyService& service_;
    QMenu* menu_;
    QSystemTrayIcon* icon_;
    QTimer animation_;
    int frame_ = 0;
    std::vector<std::pair<QAction*, bool Settings::*>> switches_;
};

}  // namespace vs::gui
