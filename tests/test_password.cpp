#include "rules/password.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vs {
namespace {

TEST(StoredPasswordTest, AnyBytesRoundTripAndNeverStoreAlike) {
    EXPECT_NE(EncodeStoredPassword("secret"), EncodeStoredPassword("secret"));
    std::mt19937 generator(12345);
    for (int round = 0; round < 500; ++round) {
        std::string password(generator() % 41, '\0');
        for (char& c : password) {
            c = static_cast<char>(generator());
        }
        if (round < 2) {
            password = round == 0 ? std::string("\x00\xFF\x00\xFF", 4) : "";
        }
        // A digit 0..8, then upper-case hex.
        const std::string stored = EncodeStoredPassword(password);
        ASSERT_EQ(stored.size(), 4 * password.size() + 7);
        ASSERT_TRUE(stored[0] >= '0' && stored[0] <= '8') << stored;
        ASSERT_EQ(stored.find_first_not_of("0123456789ABCDEF", 1), std::string::npos) << stored;
        ASSERT_EQ(DecodeStoredPassword(stored), password) << stored;
    }
}

// The stored form comes from a file anyone may have edited, or that the
// desktop program wrote.
TEST(StoredPasswordTest, DamagedFormsDecodeQuietly) {
    for (const std::string_view stored :
         {"", "0", "000", "0ABCDEFA", "5GG1122GGHH", "1\xFF\xFE\x80\x81\x82\x83"}) {
        EXPECT_NO_THROW(DecodeStoredPassword(stored)) << stored;
    }
    EXPECT_EQ(DecodeStoredPassword("00041000000"), "A");
    EXPECT_EQ(DecodeStoredPassword("0004a0b0000"), "A");  // lower-case hex reads too
}

}  // namespace
}  // namespace vs
