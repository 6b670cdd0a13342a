#include "policy/win32/registry_policy_source.h"

#include "policy/win32/system_library.h"

namespace ventrix {
namespace {

// Policy values are short; anything longer is not one of ours.
constexpr DWORD MaxValueBytes = 64 * 1024;
constexpr DWORD MaxNameLength = 256;  // characters, with the terminator

using EnterSection = HANDLE(WINAPI*)(BOOL machine);
using LeaveSection = BOOL(WINAPI*)(HANDLE section);

// A missing key or value is absent; any other error leaves the read unanswered.
PolicyRead failure(LONG result) { return result == ERROR_FILE_NOT_FOUND ? PolicyRead::Absent : PolicyRead::Failed; }

class OpenKey {
public:
    OpenKey(PolicyScope scope, const char* key) {
        const HKEY root = scope == PolicyScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const REGSAM access = scope == PolicyScope::Machine ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
        result_ = RegOpenKeyExA(root, key, 0, access, &key_);
        if (result_ != ERROR_SUCCESS) key_ = nullptr;
    }
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }
    LONG result() const { return result_; }

private:
    HKEY key_ = nullptr;
    LONG result_ = ERROR_SUCCESS;
};

}  // namespace

RegistryPolicySource::~RegistryPolicySource() {
    endRead();
    if (userenv_) FreeLibrary(userenv_);
}

void RegistryPolicySource::beginRead() {
    if (!userenv_) userenv_ = loadSystemLibrary("userenv.dll");
    const auto enter = entry<EnterSection>(userenv_, "EnterCriticalPolicySection");
    if (!enter) return;  // read as before, where the system offers no section
    machineSection_ = enter(TRUE);
    if (!machineOnly_) userSection_ = enter(FALSE);
}

void RegistryPolicySource::endRead() {
    const auto leave = entry<LeaveSection>(userenv_, "LeaveCriticalPolicySection");
    for (HANDLE* section : {&userSection_, &machineSection_}) {
        if (*section && leave) leave(*section);
        *section = nullptr;
    }
}

PolicyRead RegistryPolicySource::readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) {
    if (machineOnly_ && scope == PolicyScope::User) return PolicyRead::Absent;
    const OpenKey open(scope, key);
    if (!open.get()) return failure(open.result());
    DWORD type = 0, size = 0;
    LONG result = RegQueryValueExA(open.get(), name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return failure(result);
    // Policy values are short: a longer one is there, and malformed.
    if (size > MaxValueBytes) {
        out = {REG_NONE, {}};
        return PolicyRead::Found;
    }
    std::vector<std::uint8_t> bytes(size);
    result = RegQueryValueExA(open.get(), name, nullptr, &type, bytes.data(), &size);
    if (result != ERROR_SUCCESS) return result == ERROR_FILE_NOT_FOUND ? PolicyRead::Absent : PolicyRead::Failed;
    bytes.resize(size);
    out = {type, std::move(bytes)};
    return PolicyRead::Found;
}

PolicyRead RegistryPolicySource::readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) {
    if (machineOnly_ && scope == PolicyScope::User) return PolicyRead::Absent;
    const OpenKey open(scope, key);
    if (!open.get()) return failure(open.result());
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
            return PolicyRead::Failed;
        }
        out.push_back({std::string(name, nameLength), {type, {bytes.begin(), bytes.begin() + size}}});
    }
    return PolicyRead::Found;
}

}  // namespace ventrix
