#include "rules/users_list.h"

#include <gtest/gtest.h>

#include <string>

#include "base/base64.h"
#include "base/cp1251.h"
#include "base/utf.h"
#include "support/files.h"
#include "support/text.h"

namespace vs {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

// How a text appears inside the list file, after its byte order mark.
std::string Utf16Le(std::string_view utf8) {
    return test::Utf16(utf::Utf8ToUtf16(utf8)).substr(2);
}

UserRow User(std::string name, std::string password, std::string ip = "", bool enable = true) {
    return UserRow{enable, std::move(name), std::move(password), std::move(ip)};
}

std::string Token(std::string_view name, std::string_view password) {
    return EncodeBase64(cp1251::FromUtf8(std::string(name) + ":" + std::string(password)));
}

// A list built the way start-up builds it: rows, then tokens.
void Fill(UsersList& list, std::initializer_list<UserRow> rows) {
    for (const UserRow& row : rows) {
        list.Append(row);
    }
    list.RebuildUserTokens();
}

TEST(UsersAdmissionTest, ByToken) {
    UsersList list;
    Fill(list, {User("ann", "pw1"), User("bob", "pw2", "", false), User("cat", "pw3", "10.0.0.7"),
                User("desk", "", "10.0.0.9"), User("cat", "pw3", "10.0.0.8")});
    const auto users = list.Snapshot();
    EXPECT_EQ(FindUser(*users, Token("ann", "pw1"), "192.168.1.1"), 0);
    EXPECT_EQ(FindUser(*users, Token("ann", "pw1"), "10.0.0.7"), 0);
    EXPECT_EQ(FindUser(*users, Token("ann", "pw2"), "10.0.0.7"), -1);
    EXPECT_EQ(FindUser(*users, Token("bob", "pw2"), "10.0.0.7"), -1);  // disabled
    EXPECT_EQ(FindUser(*users, Token("cat", "pw3"), "10.0.0.7"), 2);
    EXPECT_EQ(FindUser(*users, Token("cat", "pw3"), "10.0.0.70"), -1);
    EXPECT_EQ(FindUser(*users, "", "10.0.0.7"), -1);
    // Credentials whose row refuses leave the later rows with them, then the
    // address rows: a machine admitted by address may still send old ones.
    EXPECT_EQ(FindUser(*users, Token("cat", "pw3"), "10.0.0.8"), 4);
    EXPECT_EQ(FindUser(*users, Token("bob", "pw2"), "10.0.0.9"), 3);
    EXPECT_EQ(FindUser(*users, Token("cat", "pw3"), "10.0.0.9"), 3);

    // "ann:pw1" has lower- and upper-case letters in its token; a swapped
    // one is another password and must not pass.
    std::string swapped = Token("ann", "pw1");
    for (char& c : swapped) {
        c = std::isupper(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c))
                                                        : static_cast<char>(std::toupper(c));
    }
    ASSERT_NE(swapped, Token("ann", "pw1"));
    EXPECT_EQ(FindUser(*users, swapped, "192.168.1.1"), -1);
}

TEST(UsersAdmissionTest, ByAddressAndNeverByCredentialsLackingAPart) {
    UsersList list;
    Fill(list,
         {User("off", "", "10.0.0.1", false), User("pw", "x", "10.0.0.1"), User("", "", "10.0.0.1"),
          User("host", "", "10.0.0.1"), User("any", ""), User("", "secret")});
    const auto users = list.Snapshot();
    // Disabled, with a password, or nameless: none admits by address.
    EXPECT_EQ(FindUser(*users, "", "10.0.0.1"), 3);
    EXPECT_EQ(FindUser(*users, "bm9ib2R5Om5vdGhpbmc=", "10.0.0.1"), 3);
    EXPECT_EQ(FindUser(*users, "", "10.0.0.2"), -1);
    // An empty address field is not a wildcard for admission by address.
    EXPECT_EQ(FindUser(*users, "", ""), 4);
    EXPECT_EQ(FindUser(*users, "", "10.0.0.3"), -1);
    // Credentials with an empty name or password never admit: ":secret" and
    // "any:" would otherwise open such rows from any address.
    EXPECT_EQ(FindUser(*users, Token("", "secret"), "10.0.0.2"), -1);
    EXPECT_EQ(FindUser(*users, Token("any", ""), "10.0.0.2"), -1);
    EXPECT_EQ(FindUser(*users, Token("host", ""), "10.0.0.2"), -1);
    EXPECT_EQ(FindUser(*users, Token("host", ""), "10.0.0.1"), 3);  // by its address
}

// A row's address as a person types it must admit the browser the system
// reports in its own form (lower case, compressed, IPv4 unmapped).
TEST(UsersAdmissionTest, AnAddressWrittenOtherwiseStillAdmits) {
    UsersList list;
    Fill(list, {User("six", "", "FD00:0:0::02"), User("mapped", "", "::ffff:192.168.1.20"),
                User("cred", "pw", "0:0:0:0:0:0:0:1"), User("typed", "", " 10.0.0.7\t"),
                User("blank", "pw", " "), User("link", "", "fe80::2%lo"),
                User("anylink", "", "fe80::9")});
    const auto users = list.Snapshot();
    EXPECT_EQ(FindUser(*users, "", "fd00::2"), 0);
    EXPECT_EQ(FindUser(*users, "", "fd00::3"), -1);
    EXPECT_EQ(FindUser(*users, "", "192.168.1.20"), 1);
    EXPECT_EQ(FindUser(*users, Token("cred", "pw"), "::1"), 2);
    EXPECT_EQ(FindUser(*users, Token("cred", "pw"), "127.0.0.1"), -1);
    EXPECT_EQ(FindUser(*users, "", "10.0.0.7"), 3);  // a blank typed or pasted around it
    EXPECT_EQ(FindUser(*users, Token("blank", "pw"), "10.0.0.9"), 4);  // blanks are no address
    // A link-local address is the row's only on the link it names (the
    // loopback interface is index 1); another link's machine may take it.
    EXPECT_EQ(FindUser(*users, "", "fe80::2%1"), 5);
    EXPECT_EQ(FindUser(*users, "", "fe80::2%2"), -1);
    EXPECT_EQ(FindUser(*users, "", "fe80::9%2"), 6);
}

class UsersFileTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path file_ = dir_.Path() / std::string(kUsersFileName);
};

TEST_F(UsersFileTest, SaveScramblesAndReloadRestores) {
    const std::string cyrName = "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD";  // "Иван"
    const std::string cyrPassword = "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";
    UsersList list;
    Fill(list, {User("ann", "Opensesame9"), User(cyrName, cyrPassword, "10.1.1.1"),
                User("a(b", "?q]+", "", false), User("[.*", "p,\"q")});
    list.Save(file_);

    const std::string bytes = ReadBytes(file_);
    EXPECT_FALSE(test::Has(bytes, Utf16Le("Opensesame9")));
    EXPECT_FALSE(test::Has(bytes, Utf16Le("?q]+")));
    EXPECT_FALSE(test::Has(bytes, Utf16Le(cyrPassword)));
    EXPECT_TRUE(test::Has(bytes, Utf16Le(cyrName)));
    EXPECT_TRUE(test::Has(bytes, Utf16Le("a(b")));

    UsersList loaded;
    ASSERT_TRUE(loaded.Load(file_));
    ASSERT_EQ(loaded.Count(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(loaded.Row(i), list.Row(i)) << i;
    }
    const auto users = loaded.Snapshot();
    EXPECT_EQ(FindUser(*users, Token(cyrName, cyrPassword), "10.1.1.1"), 1);
    EXPECT_EQ(FindUser(*users, Token("[.*", "p,\"q"), "10.9.9.9"), 3);
    EXPECT_EQ(FindUser(*users, Token("a(b", "?q]+"), "10.9.9.9"), -1);  // disabled

    // A password typed in by hand, not scrambled: taken as it stands (it
    // decoded to bytes nobody can type), and scrambled by the next save.
    // One that merely looks scrambled ("1234567", all digits) is written
    // back as it was, never as what it decoded to.
    // One with letters the scrambled form cannot hold stays as written: as
    // "??" it would admit any password of two such letters.
    const std::string han = "\xE5\xAF\x86\xE7\xA0\x81";  // "密码"
    // They are named by the file's lines, a comment above them included.
    WriteBytes(file_,
               "# staff\r\n1,True,bob,secret,\r\n2,True,eve,0000000,10.1.1.2\r\n3,True,al,1234567,"
               "\r\n4,True,li," +
                   han + ",\r\n5,True,jo,9876543,\r\n6,True,dan,1facade,\r\n");
    EXPECT_FALSE(loaded.Load(file_));  // the comment is left out
    // A lead digit ("9") or letters ("f") the scrambled form never has mark
    // a clear one.
    EXPECT_EQ(loaded.PasswordsInClear(), (std::vector<PasswordInClear>{{.row = 0, .line = 2},
                                                                       {.row = 3, .line = 5},
                                                                       {.row = 4, .line = 6},
                                                                       {.row = 5, .line = 7}}));
    EXPECT_EQ(FindUser(*loaded.Snapshot(), Token("bob", "secret"), "10.9.9.9"), 0);
    EXPECT_EQ(FindUser(*loaded.Snapshot(), Token("jo", "9876543"), "10.9.9.9"), 4);
    EXPECT_EQ(FindUser(*loaded.Snapshot(), Token("dan", "1facade"), "10.9.9.9"), 5);
    loaded.Save(file_);
    EXPECT_FALSE(test::Has(ReadBytes(file_), Utf16Le("secret")));
    EXPECT_TRUE(test::Has(ReadBytes(file_), Utf16Le(",al,1234567,\r\n")));
    EXPECT_TRUE(test::Has(ReadBytes(file_), Utf16Le(",eve,0000000,")));
    ASSERT_TRUE(loaded.Load(file_));
    EXPECT_EQ(loaded.PasswordsInClear(), (std::vector<PasswordInClear>{{.row = 3, .line = 4}}));
    EXPECT_EQ(FindUser(*loaded.Snapshot(), Token("bob", "secret"), "10.9.9.9"), 0);
    EXPECT_EQ(FindUser(*loaded.Snapshot(), EncodeBase64("li:" + han), "10.9.9.9"), 3);
    EXPECT_EQ(FindUser(*loaded.Snapshot(), EncodeBase64("li:??"), "10.9.9.9"), -1);
    // Nor does renaming its user turn it into "??".
    loaded.SetName(3, "lin");
    loaded.Save(file_);
    ASSERT_TRUE(loaded.Load(file_));
    EXPECT_EQ(FindUser(*loaded.Snapshot(), EncodeBase64("lin:" + han), "10.9.9.9"), 3);
}

TEST_F(UsersFileTest, MissingFileIsEmptyAndAnErrorKeepsEarlierRows) {
    UsersList list;
    EXPECT_TRUE(list.Load(file_));
    EXPECT_EQ(list.Count(), 0u);

    UsersList saved;
    Fill(saved, {User("ann", "pw1"), User("bob", "pw2")});
    saved.Save(file_);
    WriteBytes(file_,
               ReadBytes(file_) + Utf16Le("3,True,cat,00000000000,,extra\r\n4,True,dan,,\r\n"));
    EXPECT_FALSE(list.Load(file_));
    // The line that failed is no row, not even in part (run together with
    // the next, its address would be another); the line after it is one.
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Snapshot()->rows[2].name, "dan");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("bob", "pw2"), "1.2.3.4"), 1);

    // A row appended in UTF-8 to the UTF-16 file (echo >> users.lst) reads as
    // one field of other characters: no row, and the file is not the
    // program's to rewrite.
    saved.Save(file_);
    WriteBytes(file_, ReadBytes(file_) + "10,True,pc5,0000000,127.0.0.5\n");
    EXPECT_FALSE(list.Load(file_));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_FALSE(list.FileState().MayReplace(file_));
    // Edited in the window all the same: saved, and the file as it was is
    // kept beside it, its unread row included.
    const std::string asItWas = ReadBytes(file_);
    list.Append(User("eve", "pw3"));
    EXPECT_EQ(list.Save(file_), OtherVersionKept::kReadInPart);
    EXPECT_EQ(ReadBytes(ListFileState::OtherVersionOf(file_)), asItWas);
    EXPECT_TRUE(list.Load(file_));
    EXPECT_EQ(list.Count(), 3u);
    list.Append(User("fay", "pw4"));
    EXPECT_EQ(list.Save(file_), OtherVersionKept::kNone);  // its own file: nothing to keep aside
    // Read whole, then written by another program: the user is told that, not
    // that a line could not be read.
    saved.Save(file_);
    list.Append(User("gus", "pw5"));
    EXPECT_EQ(list.Save(file_), OtherVersionKept::kChangedElsewhere);
}

TEST(UsersTokenUpkeepTest, EditsKeepTokensOnTheirRows) {
    UsersList list;
    Fill(list, {User("ann", "pw1"), User("bob", "pw2"), User("cat", "pw3")});
    const auto before = list.Snapshot();

    // A cleared name revokes the credentials at once, as a restart would.
    list.SetName(0, "");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("ann", "pw1"), "1.1.1.1"), -1);
    list.SetName(0, "amy");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("amy", "pw1"), "1.1.1.1"), 0);
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("ann", "pw1"), "1.1.1.1"), -1);

    list.SetPassword(1, "new");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("bob", "new"), "1.1.1.1"), 1);
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("bob", "pw2"), "1.1.1.1"), -1);

    // Other cells leave the token alone; a delete takes its row's along.
    list.SetEnable(2, false);
    list.SetIp(2, "10.0.0.1");
    list.Delete(1);
    list.SetEnable(1, true);
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("cat", "pw3"), "10.0.0.1"), 1);

    // An insert must not leave later tokens pointing at the rows before them.
    list.Insert(0, User("eve", "pw4", "", false));
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("amy", "pw1"), "1.1.1.1"), 1);
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("eve", "pw4"), "1.1.1.1"), -1);

    // An appended row gets its token from its name.
    list.Append(User("", ""));
    list.SetPassword(3, "pw5");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("", "pw5"), "1.1.1.1"), -1);
    list.SetName(3, "fay");
    EXPECT_EQ(FindUser(*list.Snapshot(), Token("fay", "pw5"), "1.1.1.1"), 3);

    // The snapshot taken first still answers with the data it had.
    EXPECT_EQ(FindUser(*before, Token("ann", "pw1"), "1.1.1.1"), 0);
    EXPECT_EQ(FindUser(*before, Token("bob", "pw2"), "1.1.1.1"), 1);
    EXPECT_EQ(FindUser(*before, Token("amy", "pw1"), "1.1.1.1"), -1);
}

}  // namespace
}  // namespace vs
