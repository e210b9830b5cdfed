#pragma once
// The users list: which clients may use the proxy, by Basic proxy
// credentials or by address. Like the rule lists it is edited on the
// user-interface side and read by workers as an immutable snapshot, which
// carries each row's credential token so that admission is one look-up.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/snapshot.h"
#include "rules/list_file_state.h"

namespace vs {

// Texts are UTF-8, as in the list file.
struct UserRow {
    bool enable = false;
    std::string name;
    std::string password;  // in clear: only the file holds the scrambled form
    std::string ip;        // dotted address; empty admits from anywhere
    // Given by the list as the row joins it and kept through its edits, so
    // that bytes counted for a connection find the row after a rename; 0
    // outside a list. No part of what the row says: rows compare without it.
    std::uint64_t id = 0;
    bool operator==(const UserRow& other) const {
        return enable == other.enable && name == other.name && password == other.password &&
               ip == other.ip;
    }
};

// The Basic credentials a row admits, in their encoded form. Browsers and
// curl on this platform encode a name and password in UTF-8; older clients
// send the 8-bit code page. Both admit; for an ASCII row they are one text.
struct UserTokens {
    std::string codePage;  // Base64 of the CP1251 text name + ":" + password
    std::string utf8;      // Base64 of the UTF-8 text
    bool operator==(const UserTokens&) const = default;
    // Never true for an empty token: a row without a name or without a
    // password admits nobody by credentials.
    bool Admit(std::string_view token) const {
        return !token.empty() && (token == codePage || token == utf8);
    }
};

UserTokens UserToken(const UserRow& row);

struct UsersSnapshot {
    std::vector<UserRow> rows;
    // UserTokenList: entry i belongs to row i (rows without a name too).
    std::vector<UserTokens> tokens;
};

// The row that admits a client, or -1: the first enabled row whose token
// equals `token` exactly and whose address is empty or `address`, else the
// first enabled row with a name, no password and that address.
int FindUser(const UsersSnapshot& users, std::string_view token, std::string_view address);

// A row read with its password in clear, and the file's line it stands on
// (comments and blank lines included), from 1.
struct PasswordInClear {
    std::size_t row = 0;
    std::size_t line = 0;
    bool operator==(const PasswordInClear&) const = default;
};

class UsersList {
public:
    std::shared_ptr<const UsersSnapshot> Snapshot() const { return published_.Get(); }

    // User-interface side.
    std::size_t Count() const;
    UserRow Row(std::size_t index) const;
    // A new row adds no token until its name is set.
    void Append(UserRow row);
    void Insert(std::size_t index, UserRow row);
    // Edits keep the token list in step: a name or password edit renews the
    // row's token (an empty name revokes it); the address and the enable
    // flag leave it alone.
    void SetEnable(std::size_t index, bool enable);
    void SetName(std::size_t index, std::string name);
    void SetPassword(std::size_t index, std::string password);
    void SetIp(std::size_t index, std::string ip);
    void Delete(std::size_t index);
    // One token per row, in row order.
    void RebuildUserTokens();

    // "users.lst": the grid text format with the password scrambled. A
    // missing file gives an empty list (which admits nobody); an error stops
    // reading and keeps the rows before it. Tokens are rebuilt after loading.
    bool Load(const std::filesystem::path& file);
    // Written whole or not at all, mode 0600. Says whether and why the file
    // held what the rows do not and was kept as "<file>.old" first. A password cell
    // read scrambled goes back as it was read while the password is the
    // same: a hand-written password that merely looks scrambled ("1234567")
    // is never replaced by what it decoded to, and the file does not change
    // at every save.
    OtherVersionKept Save(const std::filesystem::path& file);
    // The file as last read or written, and whether the rows were edited
    // since.
    const ListFileState& FileState() const { return fileState_; }
    // The rows of the last Load whose password was written in clear rather
    // than scrambled: taken as it stands, scrambled at the next save.
    const std::vector<PasswordInClear>& PasswordsInClear() const { return passwordsInClear_; }

private:
    void PublishEdit(UsersSnapshot users);

    vs::Snapshot<UsersSnapshot> published_;
    std::uint64_t lastId_ = 0;
    ListFileState fileState_;
    std::vector<PasswordInClear> passwordsInClear_;
    // User and password in clear -> the password's cell as last read or
    // written.
    std::map<std::string, std::string> storedForms_;
};

inline constexpr std::string_view kUsersFileName = "users.lst";

}  // namespace vs
