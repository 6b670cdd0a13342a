// The system's PBKDF2 (CNG, loaded at run time) against the same answers as
// the portable one, and the portable fallback where bcrypt.dll is missing.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "policy/win32/cng_key_deriver.h"
#include "tests/support/pbkdf2_vectors.h"

namespace ventrix {
namespace {

using testing::Pbkdf2Vector;

constexpr const char* MissingLibrary = "ventrix-no-such-bcrypt.dll";

class CngPbkdf2 : public ::testing::TestWithParam<Pbkdf2Vector> {};

TEST_P(CngPbkdf2, GivesThePublishedKeyThroughTheSystem) {
    CngKeyDeriver deriver;
    ASSERT_TRUE(deriver.hasSystemProvider()) << "bcrypt.dll offers no HMAC-SHA256 provider";
    EXPECT_EQ(testing::derivedHex(deriver, GetParam()), GetParam().hex);
    EXPECT_TRUE(deriver.lastBySystem()) << "the portable fallback answered";
}

TEST_P(CngPbkdf2, GivesThePublishedKeyWithoutBcrypt) {
    CngKeyDeriver deriver(MissingLibrary);
    EXPECT_FALSE(deriver.hasSystemProvider());
    EXPECT_EQ(testing::derivedHex(deriver, GetParam()), GetParam().hex);
    EXPECT_FALSE(deriver.lastBySystem());
}

INSTANTIATE_TEST_SUITE_P(Vectors, CngPbkdf2, ::testing::ValuesIn(testing::Pbkdf2Vectors));

TEST(SystemRandomBytes, DiffersBetweenCallsWithAndWithoutBcrypt) {
    for (const char* library : {"bcrypt.dll", MissingLibrary}) {
        std::vector<std::uint8_t> a(16), b(16);
        ASSERT_TRUE(systemRandomBytes(a.data(), a.size(), library)) << library;
        ASSERT_TRUE(systemRandomBytes(b.data(), b.size(), library)) << library;
        EXPECT_NE(a, b) << library;
        EXPECT_FALSE(std::all_of(a.begin(), a.end(), [](std::uint8_t x) { return x == 0; })) << library;
    }
}

}  // namespace
}  // namespace ventrix
