// PBKDF2-HMAC-SHA256 and random bytes from the system's cryptography (CNG).
// bcrypt.dll is loaded at run time, so the program still starts where it
// does not exist; there, and for any call the system refuses, the portable
// derivation answers instead (the bytes are the same).
#pragma once

#include <windows.h>

#include "policy/key_derivation.h"

namespace ventrix {

class CngKeyDeriver final : public KeyDeriver {
public:
    explicit CngKeyDeriver(const char* library = "bcrypt.dll");
    ~CngKeyDeriver() override;
    CngKeyDeriver(const CngKeyDeriver&) = delete;
    CngKeyDeriver& operator=(const CngKeyDeriver&) = delete;

    bool pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize, const std::uint8_t* salt,
                      std::size_t saltSize, std::uint32_t iterations, std::uint8_t* out,
                      std::size_t outSize) override;

    // The system's HMAC-SHA256 provider is open.
    bool hasSystemProvider() const { return algorithm_ != nullptr; }
    // The last derivation was the system's, not the portable one.
    bool lastBySystem() const { return lastBySystem_; }

private:
    using Derive = LONG(WINAPI*)(void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONGLONG, PUCHAR, ULONG, ULONG);
    using Close = LONG(WINAPI*)(void*, ULONG);

    HMODULE library_ = nullptr;
    void* algorithm_ = nullptr;
    Derive derive_ = nullptr;
    Close close_ = nullptr;
    bool lastBySystem_ = false;
    PortableKeyDeriver portable_;
};

// Fills out with cryptographically random bytes: BCryptGenRandom with the
// system's preferred generator, else RtlGenRandom. False if neither is there.
bool systemRandomBytes(std::uint8_t* out, std::size_t size, const char* library = "bcrypt.dll");

}  // namespace ventrix
