#include "policy/password_verifier.h"

#include <algorithm>
#include <utility>

namespace ventrix {
namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decimal digits only, no sign, no leading zero, within the bounds.
bool parseIterations(std::string_view text, std::uint32_t& out) {
    if (text.empty() || text.size() > 10 || text[0] == '0') return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < MinVerifierIterations || value > MaxVerifierIterations) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

const std::uint8_t* bytesOf(std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

}  // namespace

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve((size * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16 | std::uint32_t(data[i + 1]) << 8 | data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text += Alphabet[(v >> shift) & 63];
    }
    if (size - i == 1) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16;
        text += Alphabet[(v >> 18) & 63];
        text += Alphabet[(v >> 12) & 63];
    } else if (size - i == 2) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16 | std::uint32_t(data[i + 1]) << 8;
        text += Alphabet[(v >> 18) & 63];
        text += Alphabet[(v >> 12) & 63];
        text += Alphabet[(v >> 6) & 63];
    }
    return text;
}

bool base64Decode(std::string_view text, std::vector<std::uint8_t>& out) {
    if (text.size() % 4 == 1) return false;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = sextet(c);
        if (v < 0) return false;
        bits = bits << 6 | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> count));
        }
    }
    // The unused low bits of the last character must be zero: one text per value.
    if (bits & ((1u << count) - 1)) return false;
    out = std::move(bytes);
    return true;
}

bool parseVerifier(std::string_view text, PasswordVerifier& out) {
    if (!text.starts_with(VerifierPrefix)) return false;
    text.remove_prefix(VerifierPrefix.size());
    const std::size_t saltAt = text.find('$');
    if (saltAt == std::string_view::npos) return false;
    const std::size_t hashAt = text.find('$', saltAt + 1);
    if (hashAt == std::string_view::npos) return false;
    PasswordVerifier verifier;
    std::vector<std::uint8_t> hash;
    if (!parseIterations(text.substr(0, saltAt), verifier.iterations) ||
        !base64Decode(text.substr(saltAt + 1, hashAt - saltAt - 1), verifier.salt) ||
        !base64Decode(text.substr(hashAt + 1), hash))
        return false;
    if (verifier.salt.size() < MinVerifierSaltSize || verifier.salt.size() > MaxVerifierSaltSize ||
        hash.size() != VerifierHashSize)
        return false;
    std::copy(hash.begin(), hash.end(), verifier.hash.begin());
    out = std::move(verifier);
    return true;
}

std::string formatVerifier(const PasswordVerifier& verifier) {
    return std::string(VerifierPrefix) + std::to_string(verifier.iterations) + '$' +
           base64Encode(verifier.salt.data(), verifier.salt.size()) + '$' +
           base64Encode(verifier.hash.data(), verifier.hash.size());
}

bool makeVerifier(std::string_view password, const std::uint8_t* salt, std::size_t saltSize,
                  std::uint32_t iterations, KeyDeriver& deriver, PasswordVerifier& out) {
    PasswordVerifier verifier;
    verifier.iterations = iterations;
    verifier.salt.assign(salt, salt + saltSize);
    if (!deriver.pbkdf2Sha256(bytesOf(password), password.size(), salt, saltSize, iterations,
                              verifier.hash.data(), verifier.hash.size()))
        return false;
    out = std::move(verifier);
    return true;
}

bool verifierAccepts(const PasswordVerifier& verifier, std::string_view typed, KeyDeriver& deriver) {
    std::array<std::uint8_t, VerifierHashSize> derived{};
    if (!deriver.pbkdf2Sha256(bytesOf(typed), typed.size(), verifier.salt.data(), verifier.salt.size(),
                              verifier.iterations, derived.data(), derived.size()))
        return false;
    // Every byte is looked at whatever the first difference: the time says nothing.
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < VerifierHashSize; ++i) difference = difference | (derived[i] ^ verifier.hash[i]);
    return difference == 0;
}

std::size_t utf8Characters(std::string_view text) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (lead < 0x80) length = 1, value = lead;
        else if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1Fu;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0Fu;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07u;
        else return InvalidUtf8;
        if (text.size() - i < length) return InvalidUtf8;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return InvalidUtf8;
            value = value << 6 | (next & 0x3Fu);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return InvalidUtf8;
        i += length;
    }
    return characters;
}

}  // namespace ventrix
