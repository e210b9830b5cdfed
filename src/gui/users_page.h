#pragma once
// The "Пользователи" page: the users list as a grid with its own popup menu
// ("Добавить", "Удалить") and "Сохранить". Every edit is published to the
// workers at once, so the next connection is admitted by the list as it
// now stands. A user's statistics column follows the user: a new name takes
// the column along (and "stat.txt" is written at once), a deleted user's
// column goes. Only "Сохранить" and the program's end write "users.lst".

#include <QAbstractTableModel>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <string>

class QAction;
class QTableView;

namespace vs {
class ProxyService;
}  // namespace vs

namespace vs::gui {

enum class UserColumn { Number, Enable, Name, Password, Ip };
inline constexpr int kUserColumnCount = 5;

// The grid's model reads the core's users list itself: this model is the
// list's only editor while the window runs, so the two never disagree.
class UsersTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit UsersTableModel(ProxyService& service, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The enable box by Qt::CheckStateRole, the texts by Qt::EditRole.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // A disabled row with empty texts at the end; it has no token until it
    // gets a name.
    void AppendUser();
    // The row goes with its token and its statistics column.
    void DeleteUser(int row);

signals:
    // The statistics table's columns changed (and were saved).
    void StatisticsChanged();
    // A password was not taken: the characters the stored form cannot hold.
    void PasswordRefused(const QString& outside);

private:
    void Rename(std::size_t row, std::string name);

    ProxyService& service_;
};

class UsersPage : public QWidget {
    Q_OBJECT

public:
    // The name the grid's column layout is stored under.
    static constexpr const char* kGridName = "IPClientList";

    explicit UsersPage(ProxyService& service, QWidget* parent = nullptr);

    QTableView& Grid() const { return *grid_; }
    UsersTableModel& Model() const { return *model_; }
    QAction* AddAction() const { return add_; }
    QAction* DeleteAction() const { return delete_; }

    // "Добавить": a new last row, made current.
    void Add();
    // "Удалить": the current row, once the user has confirmed it (a row
    // left blank goes without a question); the row in its place (or the new
    // last one) becomes current. Nothing without a current row.
    void Delete();
    // Asks whether the user named so (with all the days of traffic counted
    // for it) is to go; a message box unless a test answers.
    using Confirmation = std::function<bool(const QString& name)>;
    void SetDeleteConfirmation(Confirmation confirm) { confirmDelete_ = std::move(confirm); }
    // "Сохранить": "users.lst" with the passwords scrambled.
    void Save();

signals:
    void StatisticsChanged();
    // The list could not be written.
    void Failed(const QString& message);

private:
    ProxyService& service_;
    UsersTableModel* model_;
    QTableView* grid_;
    QAction* add_;
    QAction* delete_;
    Confirmation confirmDelete_;
};

}  // namespace vs::gui
