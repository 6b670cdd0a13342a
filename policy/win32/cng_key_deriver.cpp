#include "policy/win32/cng_key_deriver.h"

#include "policy/win32/system_library.h"

namespace ventrix {
namespace {

using Open = LONG(WINAPI*)(void**, LPCWSTR, LPCWSTR, ULONG);
using GenRandom = LONG(WINAPI*)(void*, PUCHAR, ULONG, ULONG);
using RtlGenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);

constexpr ULONG HmacFlag = 0x00000008;          // BCRYPT_ALG_HANDLE_HMAC_FLAG
constexpr ULONG SystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
constexpr const wchar_t* Sha256Algorithm = L"SHA256";

}  // namespace

CngKeyDeriver::CngKeyDeriver(const char* library) : library_(LoadLibraryA(library)) {
    const Open open = entry<Open>(library_, "BCryptOpenAlgorithmProvider");
    derive_ = entry<Derive>(library_, "BCryptDeriveKeyPBKDF2");
    close_ = entry<Close>(library_, "BCryptCloseAlgorithmProvider");
    if (!open || !derive_ || !close_ || open(&algorithm_, Sha256Algorithm, nullptr, HmacFlag) < 0)
        algorithm_ = nullptr;
}

CngKeyDeriver::~CngKeyDeriver() {
    if (algorithm_) close_(algorithm_, 0);
    if (library_) FreeLibrary(library_);
}

bool CngKeyDeriver::pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize, const std::uint8_t* salt,
                                 std::size_t saltSize, std::uint32_t iterations, std::uint8_t* out,
                                 std::size_t outSize) {
    lastBySystem_ = false;
    if (iterations == 0 || outSize == 0) return false;
    // CNG takes no null pointers, even for empty input.
    std::uint8_t none = 0;
    if (algorithm_ && passwordSize <= MAXDWORD && saltSize <= MAXDWORD && outSize <= MAXDWORD &&
        derive_(algorithm_, passwordSize ? const_cast<PUCHAR>(password) : &none, static_cast<ULONG>(passwordSize),
                saltSize ? const_cast<PUCHAR>(salt) : &none, static_cast<ULONG>(saltSize), iterations, out,
                static_cast<ULONG>(outSize), 0) >= 0) {
        lastBySystem_ = true;
        return true;
    }
    return portable_.pbkdf2Sha256(password, passwordSize, salt, saltSize, iterations, out, outSize);
}

bool systemRandomBytes(std::uint8_t* out, std::size_t size, const char* library) {
    if (size > MAXDWORD) return false;
    bool done = false;
    if (HMODULE bcrypt = LoadLibraryA(library)) {
        const GenRandom generate = entry<GenRandom>(bcrypt, "BCryptGenRandom");
        done = generate && generate(nullptr, out, static_cast<ULONG>(size), SystemPreferredRng) >= 0;
        FreeLibrary(bcrypt);
    }
    if (!done) {
        if (HMODULE advapi = LoadLibraryA("advapi32.dll")) {
            const RtlGenRandom generate = entry<RtlGenRandom>(advapi, "SystemFunction036");
            done = generate && generate(out, static_cast<ULONG>(size));
            FreeLibrary(advapi);
        }
    }
    return done;
}

}  // namespace ventrix
