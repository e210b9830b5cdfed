#pragma once
// One page of "Списки": a rule list's grid with its "Разрешен" box, its
// cancel keys where the list has them, "Сохранить" and "Обнулить". The
// boxes are bound to the settings model and reach the workers at once; the
// grid edits the core's list, which the next request uses.
//
// Text cells open their editor only on Enter (on the rule, whatever cell is
// current; on the URL converter only from the rule or replacement cell);
// switch cells toggle on a click or Space; the context menu adds, inserts
// and deletes rows.

#include <QWidget>

#include <functional>
#include <vector>

#include "rules/rule_list.h"

class QMenu;
class QTableView;

namespace vs {
class ProxyService;
}  // namespace vs

namespace vs::gui {

class RuleListModel;

class RuleListPage : public QWidget {
    Q_OBJECT

public:
    RuleListPage(ProxyService& service, ListKind kind, QWidget* parent = nullptr);

    ListKind Kind() const { return kind_; }
    QTableView& Grid() const { return *grid_; }
    // The name the grid's column layout is kept under ("BlackList", ...).
    QString GridName() const;
    RuleListModel& Model() const { return *model_; }
    QMenu& ContextMenu() const { return *menu_; }

    // Hit counts the proxy added since the last look; cheap when none.
    void Refresh();
    // The boxes show the settings model again (after the tray changed it).
    void ShowSwitches();

    // The context menu's commands, on the grid's current row.
    void AddRow();
    void InsertRow();
    void DeleteRow();
    // "Сохранить": the list's file, now.
    void Save();
    // "Обнулить".
    void ResetHits();

    // Asked before a text is stored whose characters `outside` the 8-bit
    // code page lacks; a message box unless replaced (tests).
    using Confirmation = std::function<bool(const QString& text, const QString& outside)>;
    void SetConfirmation(Confirmation confirm) { confirm_ = std::move(confirm); }

signals:
    // A message for the user: an edited rule that does not compile, a list
    // that could not be saved.
    void Failed(const QString& message);

private:
    QWidget* BuildSwitches();
    void BuildGrid();
    int CurrentColumn() const;
    void MakeCurrent(int row, int column);
    bool AskToStore(const QString& text, const QString& outside);

    ProxyService& service_;
    ListKind kind_;
    RuleListModel* model_;
    QTableView* grid_ = nullptr;
    QMenu* menu_ = nullptr;
    Confirmation confirm_;
    std::vector<std::function<void()>> refreshers_;
};

}  // namespace vs::gui
