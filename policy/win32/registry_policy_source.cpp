#include "policy/win32/registry_policy_source.h"

#include <windows.h>

namespace ventrix {
namespace {

// Policy values are short; anything longer is not one of ours.
constexpr DWORD MaxValueBytes = 64 * 1024;
constexpr DWORD MaxNameLength = 256;  // characters, with the terminator

class OpenKey {
public:
    OpenKey(PolicyScope scope, const char* key) {
        const HKEY root = scope == PolicyScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const REGSAM access = scope == PolicyScope::Machine ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
        if (RegOpenKeyExA(root, key, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

bool RegistryPolicySource::readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) {
    const OpenKey open(scope, key);
    if (!open.get()) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(open.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size > MaxValueBytes)
        return false;
    std::vector<std::uint8_t> bytes(size);
    if (RegQueryValueExA(open.get(), name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS) return false;
    bytes.resize(size);
    out = {type, std::move(bytes)};
    return true;
}

bool RegistryPolicySource::readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) {
    const OpenKey open(scope, key);
    if (!open.get()) return false;
    out.clear();
    std::vector<std::uint8_t> bytes(MaxValueBytes);
    for (DWORD index = 0;; ++index) {
        char name[MaxNameLength];
        DWORD nameLength = sizeof name, type = 0, size = MaxValueBytes;
        const LONG result = RegEnumValueA(open.get(), index, name, &nameLength, nullptr, &type, bytes.data(), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        // A value too long to be an entry still shows, under its name, as malformed.
        if (result == ERROR_MORE_DATA) {
            size = 0;
            type = REG_NONE;
            if (nameLength >= sizeof name) nameLength = sizeof name - 1;
        } else if (result != ERROR_SUCCESS) {
            break;
        }
        out.push_back({std::string(name, nameLength), {type, {bytes.begin(), bytes.begin() + size}}});
    }
    return true;
}

}  // namespace ventrix
