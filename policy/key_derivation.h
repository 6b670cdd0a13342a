// Password-based key derivation (PBKDF2 with HMAC-SHA256) behind a seam: the
// portable implementation here, the system's cryptography on Windows. Both
// give the same bytes for the same input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ventrix {

class KeyDeriver {
public:
    virtual ~KeyDeriver() = default;
    // Fills out[0, outSize) with the derived key; false if the derivation
    // could not run (no output is to be used then).
    virtual bool pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize, const std::uint8_t* salt,
                              std::size_t saltSize, std::uint32_t iterations, std::uint8_t* out,
                              std::size_t outSize) = 0;
};

class PortableKeyDeriver final : public KeyDeriver {
public:
    bool pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize, const std::uint8_t* salt,
                      std::size_t saltSize, std::uint32_t iterations, std::uint8_t* out,
                      std::size_t outSize) override;
};

}  // namespace ventrix
