// The configuration file against the real data-protection service and real
// files. Some cases need a second process: the test program starts a copy of
// itself, which does one small job (chosen by environment variables) before
// the test runner starts, and reports through its exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "policy/win32/dpapi_protector.h"
#include "policy/win32/win32_file_system.h"
#include "tests/support/bytes.h"

namespace ventrix {
namespace {

using testing::Bytes;
using testing::imageOf;

constexpr const char* ChildProtectVar = "VENTRIX_CHILD_PROTECT_TO";
constexpr const char* ChildUserVar = "VENTRIX_CHILD_USER";
constexpr const char* ChildOpenVar = "VENTRIX_CHILD_OPEN";
constexpr const char* ChildAccessVar = "VENTRIX_CHILD_ACCESS";
constexpr DWORD ChildTimeoutMs = 30000;

const Bytes ForeignPlain{'X', 1};  // a drive entry for X:, locked

std::string environmentValue(const char* name) {
    char value[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool writeWholeFile(const std::string& path, const Bytes& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

Bytes readWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    Bytes bytes(GetFileSize(file, nullptr));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

// Child job: protect ForeignPlain as another user. Wine keys the store on
// GetUserNameA, which reads WINEUSERNAME from the process's own environment;
// that variable is rebuilt from the parent's Unix user when a child starts,
// so a changed USER in the child's environment block alone changes nothing.
// The child therefore renames itself once it runs.
DWORD protectAsChild(const std::string& path, const std::string& user) {
    for (const char* name : {"WINEUSERNAME", "USERNAME", "USER", "LOGNAME"}) {
        SetEnvironmentVariableA(name, user.c_str());
    }
    char seen[256];
    DWORD size = sizeof seen;
    if (!GetUserNameA(seen, &size) || user != seen) return 5;
    DpapiProtector protector;
    Bytes blob, back;
    if (!protector.protect(ForeignPlain.data(), ForeignPlain.size(), blob)) return 2;
    if (!protector.unprotect(blob.data(), blob.size(), back) || back != ForeignPlain) return 3;
    return writeWholeFile(path, blob) ? 0 : 4;
}

// Child job: open the file once; 0 if that worked, else the error code.
DWORD openAsChild(const std::string& path, const std::string& access) {
    const DWORD rights = access == "write" ? GENERIC_WRITE : GENERIC_READ;
    HANDLE file = CreateFileA(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

// Runs before the test runner: a child started by a test does its job and exits.
[[maybe_unused]] const bool childJobDone = [] {
    const std::string protectTo = environmentValue(ChildProtectVar);
    if (!protectTo.empty()) ExitProcess(protectAsChild(protectTo, environmentValue(ChildUserVar)));
    const std::string openPath = environmentValue(ChildOpenVar);
    if (!openPath.empty()) ExitProcess(openAsChild(openPath, environmentValue(ChildAccessVar)));
    return false;
}();

// This program's environment with `overrides` put in place of same-named entries.
std::string environmentBlock(const std::map<std::string, std::string>& overrides) {
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; *entry; entry += lstrlenA(entry) + 1) {
        const std::string text(entry);
        const std::size_t eq = text.find('=', 1);
        bool replaced = false;
        for (const auto& [name, value] : overrides) {
            replaced = replaced || lstrcmpiA(text.substr(0, eq).c_str(), name.c_str()) == 0;
        }
        if (!replaced) block += text + '\0';
    }
    FreeEnvironmentStringsA(strings);
    for (const auto& [name, value] : overrides) block += name + '=' + value + '\0';
    return block + '\0';
}

// Starts a copy of this program with the given environment changes and waits
// for it; false if it could not be started or did not finish in time.
bool runChild(const std::map<std::string, std::string>& overrides, DWORD& exitCode) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) return false;
    std::string commandLine = std::string("\"") + self + "\"";
    std::string environment = environmentBlock(overrides);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, environment.data(), nullptr,
                        &startup, &process)) {
        return false;
    }
    const bool finished = WaitForSingleObject(process.hProcess, ChildTimeoutMs) == WAIT_OBJECT_0;
    if (!finished) TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return finished;
}

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

Bytes frame(std::uint8_t tag, const Bytes& blob) {
    Bytes out{tag, static_cast<std::uint8_t>(blob.size()), static_cast<std::uint8_t>(blob.size() >> 8),
              static_cast<std::uint8_t>(blob.size() >> 16), static_cast<std::uint8_t>(blob.size() >> 24)};
    out.insert(out.end(), blob.begin(), blob.end());
    return out;
}

// ---- The data-protection service -------------------------------------------------------

TEST(DpapiProtectorTest, RoundTripsAndGivesADifferentBlobEveryCall) {
    DpapiProtector protector;
    const Bytes plain{'q', 'u', 'i', 'l', 'l', 0};
    Bytes first, second, back;
    ASSERT_TRUE(protector.protect(plain.data(), plain.size(), first));
    ASSERT_TRUE(protector.protect(plain.data(), plain.size(), second));
    EXPECT_NE(first, second);
    ASSERT_TRUE(protector.unprotect(first.data(), first.size(), back));
    EXPECT_EQ(back, plain);
    ASSERT_TRUE(protector.unprotect(second.data(), second.size(), back));
    EXPECT_EQ(back, plain);

    LockedMediaRecord record{};
    record.serial = 0xDEADBEEF;
    const Bytes image = imageOf(record);
    ASSERT_TRUE(protector.protect(image.data(), image.size(), first));
    ASSERT_TRUE(protector.unprotect(first.data(), first.size(), back));
    EXPECT_EQ(back, image);
}

TEST(DpapiProtectorTest, DamagedTruncatedOrJunkBlobsFail) {
    DpapiProtector protector;
    const Bytes plain{'[', 1};
    Bytes blob, back;
    ASSERT_TRUE(protector.protect(plain.data(), plain.size(), blob));
    // Not every implementation authenticates the blob's header; the sealed
    // data and its signature at the end always are.
    for (std::size_t fromEnd : {1u, 8u, 20u}) {
        Bytes flipped = blob;
        flipped[flipped.size() - fromEnd] ^= 0x01;
        EXPECT_FALSE(protector.unprotect(flipped.data(), flipped.size(), back)) << fromEnd << " from the end";
    }
    EXPECT_FALSE(protector.unprotect(blob.data(), blob.size() - 1, back));
    const Bytes junk(64, 0x5A);
    EXPECT_FALSE(protector.unprotect(junk.data(), junk.size(), back));
}

// ---- The file, in a scratch current directory ---------------------------------------------

class ConfigFileWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        directory = std::string(temp) + "ventrix-cfg-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
        GetCurrentDirectoryA(MAX_PATH, previous);
        ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
        path = directory + "\\" + ConfigFileName;
    }
    void TearDown() override {
        config.closeConfiguration();
        SetCurrentDirectoryA(previous);
        DeleteFileA(path.c_str());
        DeleteFileA((path + ".new").c_str());
        RemoveDirectoryA(directory.c_str());
    }

    // Another opener in this process: share mode 0 refuses it like a stranger.
    static DWORD openErrorFor(DWORD access) {
        HANDLE file = CreateFileA(ConfigFileName, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        CloseHandle(file);
        return 0;
    }
    DWORD childOpenError(const char* access) {
        DWORD code = 0xFFFFFFFF;
        EXPECT_TRUE(runChild({{ChildOpenVar, path}, {ChildAccessVar, access}}, code));
        return code;
    }

    PolicyTables tables;
    Win32FileSystem files;
    DpapiProtector protector;
    ConfigFile config{tables, files, protector};
    std::string directory, path;
    std::string password = "unchanged";
    char previous[MAX_PATH] = {};
};

TEST_F(ConfigFileWin32, SaveAndLoadRoundTripThroughTheRealStore) {
    tables.addMedia(0x12345678, "Holiday", 2);
    tables.addMedia(0x9ABCDEF0, "", 5);
    tables.setDriveLocked("E:\\", true);
    tables.setDriveLocked("F:\\", false);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "s3cret"), 1);
    EXPECT_EQ(GetFileAttributesA((path + ".new").c_str()), INVALID_FILE_ATTRIBUTES);

    PolicyTables loaded;
    ConfigFile reader(loaded, files, protector);
    ASSERT_EQ(config.closeConfiguration(), 1);
    ASSERT_EQ(reader.loadConfiguration(ConfigFileName, password), 1);
    EXPECT_EQ(password, "s3cret");
    ASSERT_EQ(loaded.mediaRecords().size(), 2u);
    ASSERT_EQ(loaded.driveEntries().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(imageOf(loaded.mediaRecords()[i]), imageOf(tables.mediaRecords()[i]));
        EXPECT_EQ(imageOf(loaded.driveEntries()[i]), imageOf(tables.driveEntries()[i]));
    }
}

TEST_F(ConfigFileWin32, FileIsFramedRecordsInOrder) {
    tables.addMedia(1, "ONE", 5);
    tables.setDriveLocked("G:\\", true);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    ASSERT_EQ(config.closeConfiguration(), 1);
    const Bytes file = readWholeFile(path);
    std::vector<std::uint8_t> tags;
    std::size_t pos = 0;
    while (pos + 5 <= file.size()) {
        const std::uint32_t length = file[pos + 1] | file[pos + 2] << 8 | file[pos + 3] << 16 |
                                     static_cast<std::uint32_t>(file[pos + 4]) << 24;
        tags.push_back(file[pos]);
        pos += 5 + length;
    }
    EXPECT_EQ(pos, file.size());
    EXPECT_EQ(tags, (std::vector<std::uint8_t>{PasswordTag, MediaTag, DriveTag}));
}

TEST_F(ConfigFileWin32, HeldFileIsRefusedToAnotherOpenerInThisProcess) {
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    EXPECT_EQ(openErrorFor(GENERIC_READ), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(openErrorFor(GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    EXPECT_EQ(openErrorFor(GENERIC_READ), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_EQ(config.closeConfiguration(), 1);
    EXPECT_EQ(openErrorFor(GENERIC_READ), 0u);
}

TEST_F(ConfigFileWin32, HeldFileIsRefusedToAnotherProcess) {
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    EXPECT_EQ(childOpenError("read"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(childOpenError("write"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_EQ(config.closeConfiguration(), 1);
    EXPECT_EQ(childOpenError("read"), 0u);
}

TEST_F(ConfigFileWin32, SaveRefusedWhileAnotherHolderHasTheFileLeavesItAsItWas) {
    tables.setDriveLocked("D:\\", true);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "old"), 1);
    ASSERT_EQ(config.closeConfiguration(), 1);
    const Bytes before = readWholeFile(path);
    HANDLE holder = CreateFileA(ConfigFileName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    tables.setDriveLocked("D:\\", false);
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, "new"), 0);
    EXPECT_FALSE(config.isHeld());
    CloseHandle(holder);
    EXPECT_EQ(readWholeFile(path), before);
    EXPECT_EQ(GetFileAttributesA((path + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ConfigFileWin32, RecordOfAnotherUserIsSkippedAndTheNextLoads) {
    if (!runningUnderWine()) GTEST_SKIP() << "a second account is needed outside Wine";
    const std::string blobPath = directory + "\\foreign.blob";
    const std::string other = "ventrix-other";
    DWORD code = 0xFFFFFFFF;
    ASSERT_TRUE(runChild({{ChildProtectVar, blobPath}, {ChildUserVar, other}}, code));
    ASSERT_EQ(code, 0u) << "the child could not protect as another user";
    const Bytes foreign = readWholeFile(blobPath);
    DeleteFileA(blobPath.c_str());
    Bytes plain;
    ASSERT_FALSE(protector.unprotect(foreign.data(), foreign.size(), plain)) << "the blob is not foreign";

    Bytes own;
    const Bytes ownPlain{'E', 0};
    ASSERT_TRUE(protector.protect(ownPlain.data(), ownPlain.size(), own));
    Bytes file = frame(DriveTag, foreign);
    const Bytes next = frame(DriveTag, own);
    file.insert(file.end(), next.begin(), next.end());
    ASSERT_TRUE(writeWholeFile(path, file));

    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    ASSERT_EQ(tables.driveEntries().size(), 1u);
    EXPECT_EQ(imageOf(tables.driveEntries()[0]), ownPlain);
    EXPECT_EQ(password, "unchanged");
}

}  // namespace
}  // namespace ventrix
