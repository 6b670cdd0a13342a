#include "policy/key_derivation.h"

#include <gtest/gtest.h>

#include "tests/support/pbkdf2_vectors.h"

namespace ventrix {
namespace {

using testing::Pbkdf2Vector;

class PortablePbkdf2 : public ::testing::TestWithParam<Pbkdf2Vector> {};

TEST_P(PortablePbkdf2, GivesThePublishedKey) {
    PortableKeyDeriver deriver;
    EXPECT_EQ(testing::derivedHex(deriver, GetParam()), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(Vectors, PortablePbkdf2, ::testing::ValuesIn(testing::Pbkdf2Vectors));

TEST(PortablePbkdf2Refuses, ZeroIterations) {
    PortableKeyDeriver deriver;
    std::uint8_t out[32];
    EXPECT_FALSE(deriver.pbkdf2Sha256(testing::bytesOf("p"), 1, testing::bytesOf("s"), 1, 0, out, sizeof out));
}

}  // namespace
}  // namespace ventrix
