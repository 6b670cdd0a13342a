// A password set by the administrator, stored only as a verifier:
// "$pbkdf2-sha256$i=<iterations>$<salt>$<hash>", salt and hash in standard
// base64 without padding. A typed password is accepted when PBKDF2 of it with
// that salt and count gives the hash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "policy/key_derivation.h"

namespace ventrix {

inline constexpr std::string_view VerifierPrefix = "$pbkdf2-sha256$i=";
inline constexpr std::uint32_t MinVerifierIterations = 100000;
// Far above any sensible count; a larger one would hold the prompt for minutes.
inline constexpr std::uint32_t MaxVerifierIterations = 10000000;
// What the verifier tool writes.
inline constexpr std::uint32_t DefaultVerifierIterations = 600000;
inline constexpr std::size_t MinVerifierSaltSize = 16;
inline constexpr std::size_t MaxVerifierSaltSize = 64;
inline constexpr std::size_t VerifierHashSize = 32;

struct PasswordVerifier {
    std::uint32_t iterations = 0;
    std::vector<std::uint8_t> salt;
    std::array<std::uint8_t, VerifierHashSize> hash{};

    bool operator==(const PasswordVerifier&) const = default;
};

// False, leaving out as it was, unless text is exactly one well-formed
// verifier within the bounds above (no spaces, no padding, canonical base64).
bool parseVerifier(std::string_view text, PasswordVerifier& out);
std::string formatVerifier(const PasswordVerifier& verifier);

// Derives the hash of password with the given salt and count; false if the
// derivation could not run.
bool makeVerifier(std::string_view password, const std::uint8_t* salt, std::size_t saltSize,
                  std::uint32_t iterations, KeyDeriver& deriver, PasswordVerifier& out);

// True when typed is the verifier's password; the hashes are compared in
// constant time. False also when the derivation could not run.
bool verifierAccepts(const PasswordVerifier& verifier, std::string_view typed, KeyDeriver& deriver);

// A verifier is made of the password's UTF-8 bytes. The characters of such
// a text, or InvalidUtf8 when it is not well-formed UTF-8 (overlong forms,
// surrogates and values past U+10FFFF included).
inline constexpr std::size_t InvalidUtf8 = static_cast<std::size_t>(-1);
std::size_t utf8Characters(std::string_view text);

// Standard base64 without padding, as the verifier uses it.
std::string base64Encode(const std::uint8_t* data, std::size_t size);
bool base64Decode(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace ventrix
