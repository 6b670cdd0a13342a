// PBKDF2-HMAC-SHA256 answers shared by the native and the Windows suites:
// the two published in RFC 7914 section 11, the rest from Python's
// hashlib.pbkdf2_hmac("sha256", password, salt, iterations, length).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace ventrix::testing {

struct Pbkdf2Vector {
    std::string_view password;
    std::string_view salt;
    std::uint32_t iterations;
    std::string_view hex;  // the derived key; its length sets the output size
};

inline void PrintTo(const Pbkdf2Vector& v, std::ostream* os) {
    *os << v.password.size() << "-byte password, " << v.iterations << " iterations, " << v.hex.size() / 2
        << " bytes";
}

using namespace std::string_view_literals;

inline const Pbkdf2Vector Pbkdf2Vectors[] = {
    {"passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
    {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
    {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
     "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
    {"pass\0word"sv, "sa\0lt"sv, 4096, "89b69d0516f829893c696226650a8687"},
    {"", "saltsaltsaltsalt", 1000, "b88f67b6a828cb87ec03d16d8243f678544a017f2526f0e5e5b60a83369dde09"},
    {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "sixteen byte sal", 100,
     "21bce248995eb3bb76018cb8de2bc9da13813ec1f8bf5d3022553917b2ddea87"},
    {"correct horse battery staple", "0123456789abcdef", 100000,
     "090105d3788cadab9c12509fa1ba1d46a91a158d7a1779b114322f3fd5a825cb"},
};

inline std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

inline const std::uint8_t* bytesOf(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The deriver's answer for one vector, as hex ("" when it refused).
template <typename Deriver>
std::string derivedHex(Deriver& deriver, const Pbkdf2Vector& v) {
    std::vector<std::uint8_t> out(v.hex.size() / 2);
    if (!deriver.pbkdf2Sha256(bytesOf(v.password), v.password.size(), bytesOf(v.salt), v.salt.size(), v.iterations,
                              out.data(), out.size()))
        return "";
    return toHex(out);
}

}  // namespace ventrix::testing
