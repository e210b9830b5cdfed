#include "rules/password.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/base64.h"

namespace vs {
namespace {

TEST(Base64Test, PadsTheLastGroupAndUsesTheWholeAlphabet) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("a"), "YQ==");
    EXPECT_EQ(EncodeBase64("ab"), "YWI=");
    EXPECT_EQ(EncodeBase64("abc"), "YWJj");
    EXPECT_EQ(EncodeBase64("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(EncodeBase64("\xFF\xFF\xFF\xFB\xEF\xBE"), "////++++");
    EXPECT_EQ(EncodeBase64(std::string("\x00\x80", 2)), "AIA=");
    EXPECT_EQ(EncodeBase64("\xC0\xE1"), "wOE=");  // CP1251 "Аб"
}

// A digit 0..8, then upper-case hex.
bool HasStoredForm(const std::string& stored) {
    if (stored.empty() || stored[0] < '0' || stored[0] > '8') {
        return false;
    }
    return stored.find_first_not_of("0123456789ABCDEF", 1) == std::string::npos;
}

TEST(StoredPasswordTest, AnyBytesRoundTripAndNeverStoreAlike) {
    EXPECT_NE(EncodeStoredPassword("secret"), EncodeStoredPassword("secret"));
    std::mt19937 generator(12345);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 500; ++round) {
        std::string password(static_cast<std::size_t>(length(generator)), '\0');
        for (char& c : password) {
            c = static_cast<char>(byte(generator));
        }
        if (round < 2) {
            password = round == 0 ? std::string("\x00\xFF\x00\xFF", 4) : "";
        }
        const std::string stored = EncodeStoredPassword(password);
        ASSERT_EQ(stored.size(), 4 * password.size() + 7);
        ASSERT_TRUE(HasStoredForm(stored)) << stored;
        ASSERT_EQ(DecodeStoredPassword(stored), password) << stored;
    }
}

// The stored form comes from a file anyone may have edited.
TEST(StoredPasswordTest, DamagedFormsDecodeQuietly) {
    for (const std::string_view stored :
         {"", "0", "00", "000", "0ABC", "0ABCDEFA", "zzzzzzzzzzzz", "5GG1122GGHH",
          "1\xFF\xFE\x80\x81\x82\x83", "0abcdef0123"}) {
        EXPECT_NO_THROW(DecodeStoredPassword(stored)) << stored;
    }
    // A lead digit, a filler byte, (byte, pad) pairs, two filler bytes.
    EXPECT_EQ(DecodeStoredPassword("0ABCDEF"), "");  // fillers only
    EXPECT_EQ(DecodeStoredPassword("00041000000"), "A");
    EXPECT_EQ(DecodeStoredPassword("00061630000"), "\x02");
    // Lower-case hex reads too; a pair that is not hex counts as 0.
    EXPECT_EQ(DecodeStoredPassword("0004a0b0000"), "A");
    EXPECT_EQ(DecodeStoredPassword("00041ZZ0000"), "A");
    // A byte left without its pad is dropped, as is an odd last digit.
    EXPECT_EQ(DecodeStoredPassword("00041004200007"), "A");
}

}  // namespace
}  // namespace vs
