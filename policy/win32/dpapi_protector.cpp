#include "policy/win32/dpapi_protector.h"

#include <windows.h>
#include <wincrypt.h>

namespace ventrix {
namespace {

using Transform = BOOL(WINAPI*)(DATA_BLOB*, DATA_BLOB*);

// Both directions: flags 0, no description, no entropy, no prompt.
BOOL WINAPI protectBlob(DATA_BLOB* in, DATA_BLOB* out) {
    return CryptProtectData(in, nullptr, nullptr, nullptr, nullptr, 0, out);
}

BOOL WINAPI unprotectBlob(DATA_BLOB* in, DATA_BLOB* out) {
    return CryptUnprotectData(in, nullptr, nullptr, nullptr, nullptr, 0, out);
}

bool run(Transform transform, const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    if (size > MAXDWORD) return false;
    DATA_BLOB in{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
    DATA_BLOB result{0, nullptr};
    if (!transform(&in, &result)) return false;
    out.assign(result.pbData, result.pbData + result.cbData);
    LocalFree(result.pbData);
    return true;
}

}  // namespace

bool DpapiProtector::protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    return run(protectBlob, data, size, out);
}

bool DpapiProtector::unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    return run(unprotectBlob, data, size, out);
}

}  // namespace ventrix
