#include "gui/users_page.h"

#include <QAction>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "gui/column_fit.h"
#include "gui/cp1251_text.h"
#include "gui/grid_keys.h"
#include "rules/users_list.h"
#include "shell/proxy_service.h"

namespace vs::gui {
namespace {

UserColumn ColumnOf(const QModelIndex& index) {
    return static_cast<UserColumn>(index.column());
}

bool IsText(UserColumn column) {
    return column == UserColumn::Name || column == UserColumn::Password || column == UserColumn::Ip;
}

QString TextOf(const UserRow& row, UserColumn column) {
    switch (column) {
        case UserColumn::Name:
            return QString::fromStdString(row.name);
        case UserColumn::Password:
            return QString::fromStdString(row.password);
        case UserColumn::Ip:
            return QString::fromStdString(row.ip);
        default:
            return {};
    }
}

}  // namespace

UsersTableModel::UsersTableModel(ProxyService& service, QObject* parent)
    : QAbstractTableModel(parent), service_(service) {}

int UsersTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(service_.Lists().users.Count());
}

int UsersTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kUserColumnCount;
}

QVariant UsersTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const UserColumn column = ColumnOf(index);
    if (column == UserColumn::Number) {
        return role == Qt::DisplayRole ? QVariant(index.row() + 1) : QVariant();
    }
    const UserRow row = service_.Lists().users.Row(static_cast<std::size_t>(index.row()));
    if (column == UserColumn::Enable) {
        return role == Qt::CheckStateRole ? QVariant(row.enable ? Qt::Checked : Qt::Unchecked)
                                          : QVariant();
    }
    if (role == Qt::DisplayRole || role == Qt::EditRole) {
        return TextOf(row, column);
    }
    return {};
}

QVariant UsersTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (static_cast<UserColumn>(section)) {
        case UserColumn::Number:
            return QStringLiteral("№");
        case UserColumn::Enable:
            return QStringLiteral("Разрешить");
        case UserColumn::Name:
            return QStringLiteral("Имя");
        case UserColumn::Password:
            return QStringLiteral("Пароль");
        case UserColumn::Ip:
            return QStringLiteral("IP");
        default:
            return {};
    }
}

Qt::ItemFlags UsersTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    const UserColumn column = ColumnOf(index);
    if (column == UserColumn::Enable) {
        flags |= Qt::ItemIsUserCheckable;
    } else if (IsText(column)) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool UsersTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= rowCount()) {
        return false;
    }
    UsersList& users = service_.Lists().users;
    const auto row = static_cast<std::size_t>(index.row());
    const UserColumn column = ColumnOf(index);
    if (column == UserColumn::Enable && role == Qt::CheckStateRole) {
        users.SetEnable(row, value.toInt() == Qt::Checked);
        emit dataChanged(index, index, {Qt::CheckStateRole});
        return true;
    }
    if (!IsText(column) || role != Qt::EditRole) {
        return false;
    }
    // Pasted with the line end of the file it came from, a name or a
    // password would be one no browser sends, and an address none the
    // proxy sees; the grid would show no sign of it.
    QString typed = value.toString().remove(QRegularExpression(QStringLiteral("[\r\n]")));
    if (column != UserColumn::Password) {
        typed = typed.trimmed();
    }
    std::string text = typed.toStdString();
    if (TextOf(users.Row(row), column).toStdString() == text) {
        return true;  // an editor closed unchanged renames nothing
    }
    switch (column) {
        case UserColumn::Name:
            Rename(row, std::move(text));
            break;
        case UserColumn::Password:
            // users.lst keeps passwords scrambled in 8-bit text, where such
            // a character would turn into "?" and the password into another.
            if (const QString outside = CharactersOutsideCp1251(typed); !outside.isEmpty()) {
                emit PasswordRefused(outside);
                return false;
            }
            users.SetPassword(row, std::move(text));
            break;
        default:
            users.SetIp(row, std::move(text));
            break;
    }
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

void UsersTableModel::Rename(std::size_t row, std::string name) {
    UsersList& users = service_.Lists().users;
    users.SetName(row, name);
    // A cleared name leaves the counts where they are, for the name's return.
    service_.Statistics().RenameUser(row, users);
    service_.SaveStatistics();
    emit StatisticsChanged();
}

void UsersTableModel::AppendUser() {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    service_.Lists().users.Append(UserRow{});
    endInsertRows();
}

void UsersTableModel::DeleteUser(int row) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    UsersList& users = service_.Lists().users;
    beginRemoveRows({}, row, row);
    users.Delete(static_cast<std::size_t>(row));
    endRemoveRows();
    if (row < rowCount()) {
        // The rows that moved up show their new numbers.
        const int number = static_cast<int>(UserColumn::Number);
        emit dataChanged(index(row, number), index(rowCount() - 1, number), {Qt::DisplayRole});
    }
    // Saved after the row went: saving puts the columns in the users' order,
    // which would give a user still listed a fresh column.
    service_.Statistics().DeleteUserColumn(static_cast<std::size_t>(row), *users.Snapshot());
    emit StatisticsChanged();
    service_.SaveStatistics();
    emit StatisticsChanged();
}

UsersPage::UsersPage(ProxyService& service, QWidget* parent)
    : QWidget(parent),
      service_(service),
      model_(new UsersTableModel(service, this)),
      grid_(new RowGrid(this)),
      add_(new QAction(QStringLiteral("Добавить"), this)),
      delete_(new QAction(QStringLiteral("Удалить"), this)),
      confirmDelete_([this](const QString& name) {
          // One click beside "Добавить" would take years of statistics
          // with it, and nothing brings them back.
          return QMessageBox::question(
                     this, QStringLiteral("Vellostore"),
                     QStringLiteral("Удалить пользователя «%1»?\nЕго статистика за все дни "
                                    "будет удалена вместе с ним.")
                         .arg(name),
                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
      }) {
    grid_->setObjectName(QString::fromLatin1(kGridName));
    grid_->setModel(model_);
    grid_->verticalHeader()->hide();
    grid_->setColumnWidth(static_cast<int>(UserColumn::Number), 40);
    grid_->setColumnWidth(static_cast<int>(UserColumn::Enable), 80);
    grid_->setColumnWidth(static_cast<int>(UserColumn::Name), 140);
    grid_->setColumnWidth(static_cast<int>(UserColumn::Password), 120);
    grid_->horizontalHeader()->setStretchLastSection(true);
    KeepCellsWhole(*grid_, static_cast<int>(UserColumn::Number));
    // Enter opens the editor on the current text cell; the box toggles on a
    // click, and the row number takes no editing at all.
    grid_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    LetTheKeyboardLeaveAndOpenTheMenu(*grid_);
    connect(grid_, &QAbstractItemView::activated, this, [this](const QModelIndex& index) {
        if (IsText(ColumnOf(index))) {
            grid_->edit(index);
        }
    });
    connect(model_, &UsersTableModel::StatisticsChanged, this, &UsersPage::StatisticsChanged);
    connect(model_, &UsersTableModel::PasswordRefused, this, [this](const QString& outside) {
        emit Failed(QStringLiteral("В пароле есть символы, которых нет в кодировке Windows-1251: "
                                   "%1\nПароль не изменён.")
                        .arg(outside));
    });

    grid_->setContextMenuPolicy(Qt::ActionsContextMenu);
    grid_->addAction(add_);
    grid_->addAction(delete_);
    connect(add_, &QAction::triggered, this, &UsersPage::Add);
    connect(delete_, &QAction::triggered, this, &UsersPage::Delete);

    auto* save = new QPushButton(QStringLiteral("Сохранить"), this);
    save->setObjectName("save");
    connect(save, &QPushButton::clicked, this, &UsersPage::Save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(grid_);
    layout->addWidget(save, 0, Qt::AlignLeft);
}

void UsersPage::Add() {
    model_->AppendUser();
    const int column = grid_->currentIndex().isValid() ? grid_->currentIndex().column()
                                                       : static_cast<int>(UserColumn::Name);
    const QModelIndex last = model_->index(model_->rowCount() - 1, column);
    grid_->setCurrentIndex(last);
    grid_->scrollTo(last);
}

void UsersPage::Delete() {
    const QModelIndex current = grid_->currentIndex();
    if (!current.isValid()) {
        return;
    }
    const UserRow user = service_.Lists().users.Row(static_cast<std::size_t>(current.row()));
    const bool blank = user.name.empty() && user.password.empty() && user.ip.empty();
    if (!blank && !confirmDelete_(QString::fromStdString(user.name))) {
        return;
    }
    model_->DeleteUser(current.row());
    const int row = std::min(current.row(), model_->rowCount() - 1);
    grid_->setCurrentIndex(row >= 0 ? model_->index(row, current.column()) : QModelIndex());
}

void UsersPage::Save() {
    if (const auto message = service_.SaveUsersFromWindow()) {
        emit Failed(QString::fromStdString(*message));
    }
}

}  // namespace vs::gui
