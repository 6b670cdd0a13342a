#include "service/win32/machine_setup.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <vector>

#include "service/protocol.h"

namespace ventrix {
namespace {

// Protected (P): nothing inherited from above; OICI: inherited by the files
// and keys below.
constexpr const char* MachineOnly = "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)";
constexpr DWORD RestartDelayMs = 5000;
constexpr DWORD FailureResetSeconds = 24 * 60 * 60;

DWORD protect(const char* name, SE_OBJECT_TYPE type) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(MachineOnly, SDDL_REVISION_1, &descriptor, nullptr))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    const DWORD result = SetNamedSecurityInfoA(const_cast<char*>(name), type,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, acl, nullptr);
    LocalFree(descriptor);
    return result;
}

}  // namespace

std::string errorText(DWORD error) {
    char text[512] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                        sizeof text, nullptr))
        return "error " + std::to_string(error);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}

std::string dataFolder() {
    char common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common))) return {};
    std::string folder = std::string(common) + "\\Ventrix";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

DWORD protectFolder(const std::string& folder) { return protect(folder.c_str(), SE_FILE_OBJECT); }

// Made before any package writes to it, so a verifier put there is never
// readable by users, not even for the moment until the service takes it.
DWORD protectSetupKey() {
    HKEY key = nullptr;
    const LONG made = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (made != ERROR_SUCCESS) return static_cast<DWORD>(made);
    RegCloseKey(key);
    return protect((std::string("MACHINE\\") + SetupKey).c_str(), SE_REGISTRY_KEY);
}

bool takeSetupVerifier(std::string& line) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    bool found = RegQueryValueExA(key, SetupValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (found) {
        // Whatever it holds is taken once: a copy that does not parse is
        // reported by the caller and gone as well.
        std::vector<char> text(size + 1);
        if (type != REG_SZ || size > 4096 ||
            RegQueryValueExA(key, SetupValue, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
                ERROR_SUCCESS)
            text.assign(1, '\0');
        line = text.data();
        RegDeleteValueA(key, SetupValue);
    }
    RegCloseKey(key);
    return found;
}

void setRecovery(const char* description) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return;
    // SERVICE_START is asked as well: a restart action needs it.
    if (SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START)) {
        SC_ACTION restarts[3] = {{SC_ACTION_RESTART, RestartDelayMs},
                                 {SC_ACTION_RESTART, RestartDelayMs},
                                 {SC_ACTION_RESTART, RestartDelayMs}};
        SERVICE_FAILURE_ACTIONSA actions{};
        actions.dwResetPeriod = FailureResetSeconds;
        actions.cActions = 3;
        actions.lpsaActions = restarts;
        ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
        SERVICE_DESCRIPTIONA text{const_cast<char*>(description)};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void registerEventSource() {
    char self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ventrix", 0,
                        nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(self), length + 1);
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
}

}  // namespace ventrix
