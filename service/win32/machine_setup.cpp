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
    return std::string(common) + "\\Ventrix";
}

Win32DataFolder::Win32DataFolder() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        self_.resize(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, self_.data(), size, &size)) self_.clear();
        CloseHandle(token);
    }
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(MachineOnly, SDDL_REVISION_1, &list_, nullptr)) {
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorDacl(list_, &present, &acl_, &defaulted);
    }
}

Win32DataFolder::~Win32DataFolder() {
    if (list_) LocalFree(list_);
}

bool Win32DataFolder::failed(DWORD error) {
    error_ = error;
    return false;
}

std::string Win32DataFolder::lastErrorText() { return errorText(error_); }

// Attributes are the entry's own: a junction or symbolic link is never followed here.
EntryKind Win32DataFolder::kind(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error_ = GetLastError();
        return error_ == ERROR_FILE_NOT_FOUND || error_ == ERROR_PATH_NOT_FOUND ? EntryKind::Missing : EntryKind::File;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Link;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::Folder : EntryKind::File;
}

bool Win32DataFolder::machineSid(PSID owner) const {
    for (const WELL_KNOWN_SID_TYPE known : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        if (CreateWellKnownSid(known, nullptr, sid, &size) && EqualSid(owner, sid)) return true;
    }
    return !self_.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(self_.data())->User.Sid);
}

bool Win32DataFolder::ownedByMachine(const std::string& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool machine = machineSid(owner);
    LocalFree(descriptor);
    return machine;
}

// Owner and list are the folder's from the moment it exists: nobody can
// take it between its making and its protection.
bool Win32DataFolder::create(const std::string& folder) {
    if (self_.empty() || !acl_) return failed(ERROR_INVALID_SECURITY_DESCR);
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<TOKEN_USER*>(self_.data())->User.Sid, FALSE);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl_, FALSE);
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return CreateDirectoryA(folder.c_str(), &attributes) || failed(GetLastError());
}

// Opened as itself (a link is not followed) and without sharing its
// deletion, so nobody renames it or puts a link in its place while the
// owner is asked and the list set, both on this one handle.
DataFolderPlatform::Protection Win32DataFolder::protect(const std::string& folder) {
    if (!acl_) return failed(ERROR_INVALID_SECURITY_DESCR), Protection::Failed;
    HANDLE held = CreateFileA(folder.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) return failed(GetLastError()), Protection::Failed;
    Protection result = Protection::NotTheMachines;
    BY_HANDLE_FILE_INFORMATION info{};
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetFileInformationByHandle(held, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) == ERROR_SUCCESS &&
        machineSid(owner)) {
        const DWORD set = SetSecurityInfo(held, SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, acl_, nullptr);
        result = set == ERROR_SUCCESS ? Protection::Done : (failed(set), Protection::Failed);
    }
    if (descriptor) LocalFree(descriptor);
    CloseHandle(held);
    return result;
}

// The name beside it that nobody has taken yet; MoveFileEx moves a link as
// a link and never enters a folder.
bool Win32DataFolder::moveAside(const std::string& path, std::string& aside) {
    for (DWORD attempt = 0; attempt < 8; ++attempt) {
        char suffix[32];
        wsprintfA(suffix, ".aside-%08lX", GetTickCount() + attempt);
        aside = path + suffix;
        if (MoveFileExA(path.c_str(), aside.c_str(), 0)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    aside.clear();
    return failed(GetLastError());
}

bool Win32DataFolder::move(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), 0) || failed(GetLastError());
}

bool Win32DataFolder::list(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || failed(GetLastError());
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES || failed(error);
}

// RemoveDirectory takes a junction itself, DeleteFile a file's symbolic link.
bool Win32DataFolder::remove(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed(GetLastError());
    // A read-only mark its maker set would refuse the removal.
    if ((attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(path.c_str()) || failed(GetLastError());
    return DeleteFileA(path.c_str()) || failed(GetLastError());
}

// Made before any package writes to it, so a verifier put there is never
// readable by users, not even for the moment until the service takes it.
DWORD protectSetupKey() {
    HKEY key = nullptr;
    const LONG made = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (made != ERROR_SUCCESS) return static_cast<DWORD>(made);
    RegCloseKey(key);
    return protect((std::string("MACHINE\\") + SetupKey).c_str(), SE_REGISTRY_KEY);
}

namespace {

// A short string value; anything else reads as none given.
bool readSetupString(HKEY key, const char* name, std::string& line) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<char> text(size + 1);
    if (type != REG_SZ || size > 4096 ||
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
        text.assign(1, '\0');
    line = text.data();
    return true;
}

}  // namespace

bool RegistrySetupValue::read(std::string& line) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    bool found = readSetupString(key, SetupValue, line);
    if (!found || line.empty()) {
        std::string kept;
        if (readSetupString(key, KeptSetupValue, kept) && !kept.empty()) {
            line = kept;
            found = true;
        }
    }
    RegCloseKey(key);
    return found;
}

void RegistrySetupValue::keep(const std::string& line) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (RegSetValueExA(key, KeptSetupValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                       static_cast<DWORD>(line.size() + 1)) == ERROR_SUCCESS)
        RegDeleteValueA(key, SetupValue);
    RegCloseKey(key);
}

void RegistrySetupValue::remove() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, SetupValue);
    RegDeleteValueA(key, KeptSetupValue);
    RegCloseKey(key);
}

std::string RegistrySetupValue::name() const { return std::string("Setup\\") + SetupValue; }

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
