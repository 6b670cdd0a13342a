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

TEST(Sha256, HashesTheStandardMessages) {
    for (const auto& [message, hex] :
         {std::pair<std::string_view, std::string_view>{
              "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
          {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}}) {
        const Sha256Digest d = sha256(testing::bytesOf(message), message.size());
        EXPECT_EQ(testing::toHex({d.begin(), d.end()}), hex) << message;
    }
}

TEST(PortablePbkdf2Refuses, ZeroIterations) {
    PortableKeyDeriver deriver;
    std::uint8_t out[32];
    EXPECT_FALSE(deriver.pbkdf2Sha256(testing::bytesOf("p"), 1, testing::bytesOf("s"), 1, 0, out, sizeof out));
}

}  // namespace
}  // namespace ventrix
