#include "rules/users_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/atomic_file.h"
#include "base/base64.h"
#include "base/blanks.h"
#include "base/cp1251.h"
#include "net/host_lookup.h"
#include "rules/grid_text.h"
#include "rules/password.h"

namespace vs {
namespace {

// Column numbers of users.lst; the row number (column 0) is written but
// never read.
namespace col {
constexpr int kEnable = 1;
constexpr int kName = 2;
constexpr int kPassword = 3;
constexpr int kIp = 4;
constexpr int kCount = 5;
}  // namespace col

// The scrambling works on the 8-bit form, as the files have always held it.
// A password with letters the code page lacks stays in clear: scrambled, it
// would become another password ("??" for any two such letters).
std::string PasswordCell(std::string_view clearUtf8) {
    const std::optional<std::string> eightBit = cp1251::FromUtf8Exactly(clearUtf8);
    return eightBit ? EncodeStoredPassword(*eightBit) : std::string(clearUtf8);
}

std::string ClearFromCell(std::string_view cellUtf8) {
    return cp1251::ToUtf8(DecodeStoredPassword(cp1251::FromUtf8(cellUtf8)));
}

// Which row a scrambled cell as read belongs to: the user and the password
// it decodes to (a cell holds no line break).
std::string StoredFormKey(const UserRow& row) {
    return row.name + '\n' + row.password;
}

class UserSink : public GridSink {
public:
    void AtLine(std::size_t line) override { line_ = line; }
    void BeginRow() override {
        rows_.emplace_back();
        lines_.push_back(line_);
    }
    void DropRow() override {
        if (!clearRows_.empty() && clearRows_.back().row + 1 == rows_.size()) {
            clearRows_.pop_back();
        }
        rows_.pop_back();
        lines_.pop_back();
    }
    bool RowsHaveSeparators() const override { return true; }

    void Field(int column, std::string text) override {
        if (column >= col::kCount) {
            throw GridReadError("a row of " + std::string(kUsersFileName) + " has more than " +
                                std::to_string(col::kCount) + " fields");
        }
        UserRow& row = rows_.back();
        if (column == 0) {
            CheckRowNumberCell(text);
        } else if (column == col::kEnable) {
            row.enable = BoolFromCellText(text);
        } else if (column == col::kName) {
            row.name = std::move(text);
        } else if (column == col::kPassword) {
            if (IsWrittenInClear(text)) {
                clearRows_.push_back({rows_.size() - 1, line_});
                row.password = std::move(text);
            } else {
                row.password = ClearFromCell(text);
                storedForms_.emplace(StoredFormKey(row), std::move(text));
            }
        } else if (column == col::kIp) {
            row.ip = std::move(text);
        }
    }

    std::vector<UserRow>& Rows() { return rows_; }
    std::vector<std::size_t>& Lines() { return lines_; }
    std::vector<PasswordInClear>& ClearRows() { return clearRows_; }
    std::map<std::string, std::string>& StoredForms() { return storedForms_; }

private:
    std::vector<UserRow> rows_;
    std::vector<PasswordInClear> clearRows_;
    std::vector<std::size_t> lines_;
    std::size_t line_ = 0;
    std::map<std::string, std::string> storedForms_;
};

std::vector<UserTokens> AllTokens(const std::vector<UserRow>& rows) {
    std::vector<UserTokens> tokens;
    tokens.reserve(rows.size());
    for (const UserRow& row : rows) {
        tokens.push_back(UserToken(row));
    }
    return tokens;
}

void CheckIndex(const UsersSnapshot& users, std::size_t index) {
    if (index >= users.rows.size()) {
        throw std::out_of_range("users list: no such row");
    }
}

}  // namespace

UserTokens UserToken(const UserRow& row) {
    // A row without a name or without a password admits nobody by
    // credentials: its token stays empty (keeping the positions aligned),
    // and an empty token never matches. Otherwise "Basic Og==" (":") would
    // open a nameless row, and "name:" a password-less row from anywhere.
    if (row.name.empty() || row.password.empty()) {
        return {};
    }
    const std::string credentials = row.name + ":" + row.password;
    // A letter the code page lacks has no 8-bit form: written as "?", it
    // would let "????" stand for any password of four such letters.
    const std::optional<std::string> eightBit = cp1251::FromUtf8Exactly(credentials);
    return {eightBit ? EncodeBase64(*eightBit) : std::string(), EncodeBase64(credentials)};
}

int FindUser(const UsersSnapshot& users, std::string_view token, std::string_view address) {
    if (!token.empty()) {
        // Exact: Base64 is case-sensitive, so a comparison ignoring case
        // would admit passwords that differ from the stored one.
        for (std::size_t i = 0; i < users.tokens.size() && i < users.rows.size(); ++i) {
            const UserRow& user = users.rows[i];
            if (users.tokens[i].Admit(token) && user.enable &&
                (TrimBlanks(user.ip).empty() || net::SameAddress(user.ip, address))) {
                return static_cast<int>(i);
            }
        }
    }
    // Credentials that admit nowhere still leave the address rows: a machine
    // admitted by its address may go on sending old credentials.
    for (std::size_t i = 0; i < users.rows.size(); ++i) {
        const UserRow& user = users.rows[i];
        if (user.enable && !user.name.empty() && user.password.empty() &&
            net::SameAddress(user.ip, address)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::size_t UsersList::Count() const {
    return Snapshot()->rows.size();
}

UserRow UsersList::Row(std::size_t index) const {
    return Snapshot()->rows.at(index);
}

void UsersList::Append(UserRow row) {
    UsersSnapshot users = *Snapshot();
    row.id = ++lastId_;
    users.rows.push_back(std::move(row));
    PublishEdit(std::move(users));
}

void UsersList::Insert(std::size_t index, UserRow row) {
    UsersSnapshot users = *Snapshot();
    if (index > users.rows.size()) {
        throw std::out_of_range("users list: insert position past the end");
    }
    row.id = ++lastId_;
    users.rows.insert(users.rows.begin() + static_cast<std::ptrdiff_t>(index), std::move(row));
    // Shifting rows under unshifted tokens would hand each later token to
    // the row before it; rebuilding keeps every token on its own row.
    users.tokens = AllTokens(users.rows);
    PublishEdit(std::move(users));
}

void UsersList::SetEnable(std::size_t index, bool enable) {
    UsersSnapshot users = *Snapshot();
    CheckIndex(users, index);
    users.rows[index].enable = enable;
    PublishEdit(std::move(users));
}

void UsersList::SetName(std::size_t index, std::string name) {
    UsersSnapshot users = *Snapshot();
    CheckIndex(users, index);
    users.rows[index].name = std::move(name);
    if (!users.rows[index].name.empty()) {
        // An appended row has no token yet; its name is what gives it one.
        // Rows appended before it get theirs too, so entry i stays row i.
        while (users.tokens.size() <= index) {
            users.tokens.push_back(UserToken(users.rows[users.tokens.size()]));
        }
    }
    if (index < users.tokens.size()) {
        // A cleared name revokes the row's credentials at once, as a restart
        // would.
        users.tokens[index] = UserToken(users.rows[index]);
    }
    PublishEdit(std::move(users));
}

void UsersList::SetPassword(std::size_t index, std::string password) {
    UsersSnapshot users = *Snapshot();
    CheckIndex(users, index);
    users.rows[index].password = std::move(password);
    if (index < users.tokens.size()) {
        users.tokens[index] = UserToken(users.rows[index]);
    }
    PublishEdit(std::move(users));
}

void UsersList::SetIp(std::size_t index, std::string ip) {
    UsersSnapshot users = *Snapshot();
    CheckIndex(users, index);
    users.rows[index].ip = std::move(ip);
    PublishEdit(std::move(users));
}

void UsersList::Delete(std::size_t index) {
    UsersSnapshot users = *Snapshot();
    CheckIndex(users, index);
    users.rows.erase(users.rows.begin() + static_cast<std::ptrdiff_t>(index));
    if (index < users.tokens.size()) {
        users.tokens.erase(users.tokens.begin() + static_cast<std::ptrdiff_t>(index));
    }
    PublishEdit(std::move(users));
}

void UsersList::RebuildUserTokens() {
    UsersSnapshot users = *Snapshot();
    users.tokens = AllTokens(users.rows);
    published_.Publish(std::make_shared<const UsersSnapshot>(std::move(users)));
}

bool UsersList::Load(const std::filesystem::path& file) {
    const FileVersion before = FileVersion::Of(file);
    std::string bytes;
    const FileRead read = ReadWholeFile(file, bytes);
    UserSink sink;
    GridGaps gaps;
    const bool complete =
        read != FileRead::kFailed && ReadGridText(bytes, kGridSeparator, sink, nullptr, &gaps);
    UsersSnapshot users;
    users.rows = std::move(sink.Rows());
    for (UserRow& row : users.rows) {
        row.id = ++lastId_;
    }
    passwordsInClear_ = std::move(sink.ClearRows());
    storedForms_ = std::move(sink.StoredForms());
    users.tokens = AllTokens(users.rows);
    published_.Publish(std::make_shared<const UsersSnapshot>(std::move(users)));
    fileState_.Read(before, complete, gaps, std::move(sink.Lines()));
    return complete;
}

void UsersList::PublishEdit(UsersSnapshot users) {
    published_.Publish(std::make_shared<const UsersSnapshot>(std::move(users)));
    fileState_.Edited();
}

OtherVersionKept UsersList::Save(const std::filesystem::path& file) {
    const auto users = Snapshot();
    std::vector<std::vector<std::string>> fields;
    fields.reserve(users->rows.size());
    std::map<std::string, std::string> written;
    for (std::size_t i = 0; i < users->rows.size(); ++i) {
        const UserRow& row = users->rows[i];
        const auto read = storedForms_.find(StoredFormKey(row));
        std::string cell = read != storedForms_.end() ? read->second : PasswordCell(row.password);
        written.emplace(StoredFormKey(row), cell);
        fields.push_back(
            {std::to_string(i + 1), BoolCellText(row.enable), row.name, std::move(cell), row.ip});
    }
    constexpr auto kOwnerOnly =
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    const OtherVersionKept keptOther = fileState_.KeepOtherVersion(file, kOwnerOnly);
    WriteFileAtomically(file, WriteGridText(fields, kGridSeparator), kOwnerOnly);
    fileState_.Written(file);
    storedForms_ = std::move(written);
    return keptOther;
}

}  // namespace vs
