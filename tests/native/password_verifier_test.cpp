#include "policy/password_verifier.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/pbkdf2_vectors.h"

namespace ventrix {
namespace {

// Made with Python: "correct horse battery staple", salt "0123456789abcdef".
constexpr std::string_view GoodLine =
    "$pbkdf2-sha256$i=100000$MDEyMzQ1Njc4OWFiY2RlZg$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs";
constexpr std::string_view GoodSalt = "MDEyMzQ1Njc4OWFiY2RlZg";
constexpr std::string_view GoodHash = "CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs";

std::string line(std::string_view iterations, std::string_view salt = GoodSalt, std::string_view hash = GoodHash) {
    return "$pbkdf2-sha256$i=" + std::string(iterations) + "$" + std::string(salt) + "$" + std::string(hash);
}

class RefusingDeriver final : public KeyDeriver {
public:
    bool pbkdf2Sha256(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t, std::uint32_t,
                      std::uint8_t*, std::size_t) override {
        return false;
    }
};

TEST(PasswordVerifier, ParsesPythonsLineAndFormatsItBack) {
    PasswordVerifier verifier;
    ASSERT_TRUE(parseVerifier(GoodLine, verifier));
    EXPECT_EQ(verifier.iterations, 100000u);
    EXPECT_EQ(std::string(verifier.salt.begin(), verifier.salt.end()), "0123456789abcdef");
    EXPECT_EQ(testing::toHex({verifier.hash.begin(), verifier.hash.end()}),
              "090105d3788cadab9c12509fa1ba1d46a91a158d7a1779b114322f3fd5a825cb");
    EXPECT_EQ(formatVerifier(verifier), GoodLine);
}

TEST(PasswordVerifier, AcceptsItsPasswordAndNoOther) {
    PasswordVerifier verifier;
    ASSERT_TRUE(parseVerifier(GoodLine, verifier));
    PortableKeyDeriver deriver;
    EXPECT_TRUE(verifierAccepts(verifier, "correct horse battery staple", deriver));
    for (std::string_view other : {"Correct horse battery staple", "correct horse battery staple ", "", "quillfern"})
        EXPECT_FALSE(verifierAccepts(verifier, other, deriver)) << other;
    RefusingDeriver refusing;
    EXPECT_FALSE(verifierAccepts(verifier, "correct horse battery staple", refusing));
}

class MalformedVerifier : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedVerifier, IsRefusedAndLeavesTheOldOne) {
    PasswordVerifier verifier;
    ASSERT_TRUE(parseVerifier(GoodLine, verifier));
    const PasswordVerifier before = verifier;
    EXPECT_FALSE(parseVerifier(GetParam(), verifier));
    EXPECT_EQ(verifier, before);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MalformedVerifier,
    ::testing::Values(
        "", "$pbkdf2-sha256$", "$pbkdf2-sha1$i=100000$MDEyMzQ1Njc4OWFiY2RlZg$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs",
        "$PBKDF2-SHA256$i=100000$MDEyMzQ1Njc4OWFiY2RlZg$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs",
        "$pbkdf2-sha256$100000$MDEyMzQ1Njc4OWFiY2RlZg$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs",
        line("99999"), line("10000001"), line("4294967297"), line("0100000"), line("+100000"), line("100000x"),
        line(""), line("1e6"),
        line("100000", "MDEyMzQ1Njc4OWFiY2Rl"),                   // 15-byte salt
        line("100000", std::string(87, 'A')),                      // 65-byte salt
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZg=="),                // padding
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZg", std::string(GoodHash) + "="),
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZ.g"),                 // outside the alphabet
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZ-"),                  // URL-safe alphabet
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZgAAA"),               // a length no bytes have
        line("100000", "MDEyMzQ1Njc4OWFiY2RlZh"),                  // stray low bits
        line("100000", GoodSalt, GoodHash.substr(0, 42)),          // 31-byte hash
        line("100000", GoodSalt, std::string(GoodHash) + "AA"),    // 33-byte hash
        line("100000", GoodSalt, "CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJct"),  // stray low bits
        line("100000", GoodSalt, ""), line("100000", ""),
        std::string(GoodLine) + "$", std::string(GoodLine) + "$x", std::string(GoodLine) + " ",
        std::string(GoodLine) + "\n", " " + std::string(GoodLine),
        std::string(GoodLine.substr(0, GoodLine.rfind('$')))));

// What the verifier tool accepts as a password's text: well-formed UTF-8 only,
// counted in characters against the prompt's 255.
TEST(VerifierText, CountsUtf8CharactersAndRefusesMalformedOnes) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"", 0}, {"quillfern", 9}, {"Gr\xC3\xBC\xC3\x9F" "e", 5}, {"\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 1},
        {"\xC0\x80", InvalidUtf8},           // overlong NUL
        {"\xED\xA0\x80", InvalidUtf8},       // a surrogate
        {"\xF4\x90\x80\x80", InvalidUtf8},  // past U+10FFFF
        {"\xE2\x82", InvalidUtf8},           // cut short
        {"\x80", InvalidUtf8}, {"\xFF", InvalidUtf8}, {"a\xC3", InvalidUtf8}};
    for (const auto& [text, characters] : cases) EXPECT_EQ(utf8Characters(text), characters) << text.size();
}

}  // namespace
}  // namespace ventrix
