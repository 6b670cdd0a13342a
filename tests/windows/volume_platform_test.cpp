// The Win32 volume platform on drives made in the Wine prefix: types, labels,
// serials, the drive filter and seeding on real enumeration, and which control
// requests reach which device path (read back from the program's own trace).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "volume/disk_attributes.h"
#include "volume/volume_ops.h"
#include "volume/win32/win32_volume_platform.h"

namespace ventrix {
namespace {

// ---- Wine helpers -------------------------------------------------------------

using UnixFileName = char*(CDECL*)(const WCHAR*);

UnixFileName unixFileNameFunction() {
    return reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
}

bool runningOnWine() { return unixFileNameFunction() != nullptr; }

std::string unixPath(const std::string& windowsPath) {
    std::wstring wide(windowsPath.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* name = unixFileNameFunction()(wide.c_str());
    if (name == nullptr) return {};
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Wine's mount manager defines and removes drives live (no server restart),
// with the type given here; label and serial come from files in the folder.
// CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
constexpr DWORD IoctlDefineUnixDrive = (0x6Du << 16) | (3u << 14) | (32u << 2);

struct UnixDriveRequest {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};
static_assert(sizeof(UnixDriveRequest) == 32);

bool defineUnixDrive(char letter, DWORD type, const std::string& mountPoint) {
    std::vector<char> request(sizeof(UnixDriveRequest) + mountPoint.size() + 1, '\0');
    UnixDriveRequest head{};
    head.size = static_cast<ULONG>(request.size());
    head.type = type;
    head.letter = static_cast<WCHAR>(letter);
    if (!mountPoint.empty()) {
        head.mountPointOffset = sizeof(UnixDriveRequest);
        std::copy(mountPoint.begin(), mountPoint.end(), request.begin() + sizeof(UnixDriveRequest));
    }
    std::memcpy(request.data(), &head, sizeof head);
    HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL defined = DeviceIoControl(manager, IoctlDefineUnixDrive, request.data(),
                                         static_cast<DWORD>(request.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(manager);
    return defined != FALSE;
}

// ---- The test machine's drives -------------------------------------------------

const char* const TestFolder = "C:\\ventrix-volume-test";

struct TestDrive {
    char letter;
    DWORD type;
    const char* label;   // nullptr: no label file
    const char* serial;  // hex, nullptr: no serial file
};

// A: removable (never lockable), R: CD-ROM, S: removable, T: fixed.
const TestDrive TestDrives[] = {
    {'A', DRIVE_REMOVABLE, nullptr, nullptr},
    {'R', DRIVE_CDROM, "VTXDISC", "1234ABCD"},
    {'S', DRIVE_REMOVABLE, "VTXSTICK", "CAFE0042"},
    {'T', DRIVE_FIXED, "VTXFIXED", "00C0FFEE"},
};

std::string driveFolder(char letter) { return std::string(TestFolder) + "\\drive-" + letter; }

bool makeTestDrives(std::string& problem) {
    CreateDirectoryA(TestFolder, nullptr);
    for (const TestDrive& drive : TestDrives) {
        const std::string folder = driveFolder(drive.letter);
        CreateDirectoryA(folder.c_str(), nullptr);
        if (drive.label) writeFile(folder + "\\.windows-label", std::string(drive.label) + "\n");
        if (drive.serial) writeFile(folder + "\\.windows-serial", std::string(drive.serial) + "\n");
        if (!defineUnixDrive(drive.letter, drive.type, unixPath(folder))) {
            problem = std::string("the mount manager refused drive ") + drive.letter + ":";
            return false;
        }
    }
    return true;
}

void removeTestDrives() {
    for (const TestDrive& drive : TestDrives) defineUnixDrive(drive.letter, DRIVE_NO_ROOT_DIR, "");
}

// ctest runs every test in a process of its own, possibly side by side: the
// drives are made and removed under a prefix-wide mutex held for the process's
// whole suite, so no test sees another one's teardown.
class VolumePlatformTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!runningOnWine()) return;
        guard_ = CreateMutexA(nullptr, FALSE, "VentrixVolumeTestDrives");
        const DWORD waited = guard_ ? WaitForSingleObject(guard_, 60000) : WAIT_FAILED;
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            problem_ = "another test process kept the test drives for a minute";
            return;
        }
        drivesMade_ = makeTestDrives(problem_);
    }
    static void TearDownTestSuite() {
        if (drivesMade_) removeTestDrives();
        drivesMade_ = false;
        if (guard_) {
            ReleaseMutex(guard_);
            CloseHandle(guard_);
            guard_ = nullptr;
        }
    }
    void SetUp() override {
        if (!runningOnWine()) GTEST_SKIP() << "test drives are made through Wine's mount manager";
        ASSERT_TRUE(drivesMade_) << problem_;
    }

    Win32VolumePlatform platform;
    PolicyTables tables;
    VolumeOps ops{platform, tables};

private:
    static inline HANDLE guard_ = nullptr;
    static inline bool drivesMade_ = false;
    static inline std::string problem_;
};

TEST_F(VolumePlatformTest, DrivesReportTheirTypes) {
    EXPECT_EQ(platform.getDriveType("A:\\"), DriveRemovable);
    EXPECT_EQ(platform.getDriveType("R:\\"), DriveCdrom);
    EXPECT_EQ(platform.getDriveType("S:\\"), DriveRemovable);
    EXPECT_EQ(platform.getDriveType("T:\\"), DriveFixed);
}

TEST_F(VolumePlatformTest, VolumeQueryFillsLabelAndSerial) {
    for (const TestDrive& drive : TestDrives) {
        if (drive.label == nullptr) continue;
        SCOPED_TRACE(drive.letter);
        const std::string root{drive.letter, ':', '\\'};
        char label[260] = {};
        std::uint32_t serial = 0;
        ASSERT_TRUE(platform.getVolumeInformation(root.c_str(), label, sizeof label, serial));
        EXPECT_STREQ(label, drive.label);
        EXPECT_EQ(serial, std::stoul(drive.serial, nullptr, 16));
    }
}

TEST_F(VolumePlatformTest, EnumerationListsTheDrivesAndTheFilterKeepsOnlyLockableOnes) {
    std::map<std::string, bool> lockable;
    for (const std::string& root : ops.driveRoots()) lockable[root] = isLockableDrive(root, platform.getDriveType(root.c_str()));
    ASSERT_EQ(lockable.count("A:\\"), 1u);
    ASSERT_EQ(lockable.count("R:\\"), 1u);
    ASSERT_EQ(lockable.count("S:\\"), 1u);
    ASSERT_EQ(lockable.count("T:\\"), 1u);
    EXPECT_FALSE(lockable["A:\\"]) << "a removable A: is never lockable";
    EXPECT_TRUE(lockable["R:\\"]);
    EXPECT_TRUE(lockable["S:\\"]);
    EXPECT_FALSE(lockable["T:\\"]);
    EXPECT_FALSE(lockable["C:\\"]);
}

TEST_F(VolumePlatformTest, SeedingEntersTheCdromAndRemovableDrivesLockedInListOrder) {
    ops.seedDriveTable();
    std::string letters;
    for (const DriveLockEntry& entry : tables.driveEntries()) {
        letters += entry.letter;
        EXPECT_EQ(entry.locked, 1) << entry.letter;
    }
    EXPECT_EQ(letters.find_first_of("ACTZ"), std::string::npos) << letters;
    const auto r = letters.find('R'), s = letters.find('S');
    ASSERT_NE(r, std::string::npos) << letters;
    ASSERT_NE(s, std::string::npos) << letters;
    EXPECT_LT(r, s);
}

TEST_F(VolumePlatformTest, IdentityQueryReadsEachDriveAndLeavesCriticalErrorsFailing) {
    SetErrorMode(0);
    std::string label;
    std::uint32_t serial = 0;
    ASSERT_TRUE(ops.queryVolumeIdentity("R:\\", label, serial));
    EXPECT_EQ(label, "VTXDISC");
    EXPECT_EQ(serial, 0x1234ABCDu);
    ASSERT_TRUE(ops.queryVolumeIdentity("S:\\", label, serial));
    EXPECT_EQ(label, "VTXSTICK");
    EXPECT_EQ(serial, 0xCAFE0042u);
    const UINT mode = SetErrorMode(0);
    EXPECT_NE(mode & SEM_FAILCRITICALERRORS, 0u);
}

TEST_F(VolumePlatformTest, DevicesOfTheTestDrivesOpenWithTheOperationsShareModes) {
    for (const char* path : {"\\\\.\\R:", "\\\\.\\S:"}) {
        for (std::uint32_t share : {FileShareRead, FileShareRead | FileShareWrite}) {
            const VolumePlatform::Device device = platform.openDevice(path, share);
            EXPECT_NE(device, VolumePlatform::InvalidDevice) << path << " share " << share;
            if (device != VolumePlatform::InvalidDevice) platform.closeDevice(device);
        }
    }
}

// Wine answers the device number and refuses the attribute request: the seam
// carries that as a code, never as a success.
TEST_F(VolumePlatformTest, DiskRequestsAnswerTheDiskNumberAndRefuseTheAttributeCleanly) {
    VolumeDisk where;
    ASSERT_EQ(ops.volumeDisk("S:\\", where), 0u);
    const std::uint32_t set = ops.setDiskReadOnly(where.disk, true);
    EXPECT_TRUE(set == ErrorNotSupported || set == ErrorAccessDenied) << deviceErrorText(set);
    EXPECT_NE(ops.volumeWritable("S:\\"), ErrorWriteProtect);
}

// ---- The message seam ----------------------------------------------------------

// Answers this process's first "Error" box from another thread: reads its
// text, presses OK. Boxes of other test programs are left alone.
class ErrorBoxAnswerer {
public:
    ErrorBoxAnswerer() : thread_(CreateThread(nullptr, 0, run, this, 0, nullptr)) {}
    ~ErrorBoxAnswerer() {
        WaitForSingleObject(thread_, 15000);
        CloseHandle(thread_);
    }
    std::string text() {
        WaitForSingleObject(thread_, 15000);
        return text_;
    }

private:
    static DWORD WINAPI run(void* self) {
        auto* answerer = static_cast<ErrorBoxAnswerer*>(self);
        const DWORD start = GetTickCount();
        HWND box = nullptr;
        while ((box = ownErrorBox()) == nullptr && GetTickCount() - start < 10000) Sleep(20);
        if (box == nullptr) return 1;
        char text[260] = {};
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        answerer->text_ = text;
        SendMessageA(box, WM_COMMAND, IDOK, 0);
        return 0;
    }

    static BOOL CALLBACK match(HWND window, LPARAM found) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char className[16] = {}, title[16] = {};
        GetClassNameA(window, className, sizeof className);
        GetWindowTextA(window, title, sizeof title);
        if (process != GetCurrentProcessId() || std::strcmp(className, "#32770") != 0 ||
            std::strcmp(title, "Error") != 0) {
            return TRUE;
        }
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    static HWND ownErrorBox() {
        HWND found = nullptr;
        EnumWindows(match, reinterpret_cast<LPARAM>(&found));
        return found;
    }

    std::string text_;
    HANDLE thread_;
};

TEST(VolumeMessageSeam, RefusedEjectOpenShowsTheErrorBoxThroughMessageBox) {
    Win32VolumePlatform platform;
    PolicyTables tables;
    VolumeOps ops{platform, tables};
    ASSERT_EQ(platform.getDriveType("Q:\\"), DriveNoRootDir) << "Q: must not exist for this test";
    ErrorBoxAnswerer answerer;
    ops.ejectMedia("Q:\\");
    EXPECT_EQ(answerer.text(), "Unable to open device");
}

// ---- The trace of the control requests -------------------------------------------

const char* const TraceChildVariable = "VENTRIX_VOLUME_TRACE_CHILD";

// Runs only in the child that the trace test starts with Wine's file trace on.
TEST(VolumeTraceChild, SendsTheRequests) {
    if (GetEnvironmentVariableA(TraceChildVariable, nullptr, 0) == 0) {
        GTEST_SKIP() << "runs only when started by the trace test";
    }
    Win32VolumePlatform platform;
    PolicyTables tables;
    VolumeOps ops{platform, tables};
    std::string label;
    std::uint32_t serial = 0;
    ops.lockVolume("R:\\");
    ops.ejectMedia("S:\\");
    ops.releaseVolume("R:\\");
    EXPECT_TRUE(ops.queryVolumeIdentity("S:\\", label, serial));
}

// Turns "+pid,+file" trace lines into "open <path> <access, share, creation, attributes>"
// and "ioctl <path> <code> <buffers>" events, for our device paths only.
class TraceReader {
public:
    std::vector<std::string> events(const std::string& trace) {
        std::istringstream lines(trace);
        std::string line;
        while (std::getline(lines, line)) read(line);
        return events_;
    }

private:
    void read(const std::string& line) {
        const auto marker = line.find(":trace:file:");
        if (marker == std::string::npos) return;
        const std::string thread = line.substr(0, marker);
        const std::string process = thread.substr(0, thread.find(':'));
        const std::string body = line.substr(marker + 12);
        if (body.rfind("CreateFileW returning ", 0) == 0) {
            auto pending = pending_.find(thread);
            if (pending == pending_.end()) return;
            handles_[process + ":" + body.substr(22)] = pending->second;
            pending_.erase(pending);
        } else if (body.rfind("CreateFileW L\"\\\\\\\\.\\\\", 0) == 0) {
            const std::size_t start = std::strlen("CreateFileW L\"");
            const auto close = body.find('"', start);
            const std::string path = unescape(body.substr(start, close - start));
            pending_[thread] = path;
            events_.push_back("open " + path + " " + collapse(body.substr(close + 1)));
        } else if (body.rfind("DeviceIoControl (", 0) == 0) {
            ioctl(process, body.substr(17, body.find(')') - 17));
        }
    }

    void ioctl(const std::string& process, const std::string& arguments) {
        std::vector<std::string> fields;
        std::istringstream parts(arguments);
        for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
        if (fields.size() != 8) return;
        auto device = handles_.find(process + ":" + fields[0]);
        if (device == handles_.end()) return;
        // Pointers are printed at the build's width (8 or 16 digits).
        auto null = [](const std::string& field) { return field.find_first_not_of('0') == std::string::npos; };
        const bool bare = null(fields[2]) && fields[3] == "0" && null(fields[4]) && fields[5] == "0" &&
                          !null(fields[6]) && null(fields[7]);
        events_.push_back("ioctl " + device->second + " 0x" + fields[1] + (bare ? "" : " with buffers"));
    }

    static std::string unescape(const std::string& text) {
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            plain += text[i];
        }
        return plain;
    }

    static std::string collapse(const std::string& text) {
        std::istringstream words(text);
        std::string word, joined;
        while (words >> word) joined += (joined.empty() ? "" : " ") + word;
        return joined;
    }

    std::map<std::string, std::string> pending_;  // thread -> path being opened
    std::map<std::string, std::string> handles_;  // process:handle -> path
    std::vector<std::string> events_;
};

bool waitForFile(const std::string& path, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

// Starts this program again under a shell, with the file trace on and its
// standard error in a file: Wine writes a process's trace to its Unix stderr.
// The loader is named by the build: Wine does not hand WINELOADER on to a
// Unix child, and Debian's wine picks the 32-bit loader, which cannot start
// the x64 build (nor anything, where 32-bit programs do not run).
#ifdef _WIN64
constexpr const char* WineLoader = "/usr/lib/wine/wine64";
#else
constexpr const char* WineLoader = "wine";
#endif

bool runTraceChild(const std::string& traceFile, const std::string& doneFile) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string script = std::string(TestFolder) + "\\trace-child.sh";
    writeFile(script, std::string("PATH=/usr/local/bin:/usr/bin:/bin:$PATH\n") +
                          "VENTRIX_VOLUME_TRACE_CHILD=1 WINEDEBUG=+pid,+file " + WineLoader + " '" + unixPath(self) +
                          "' --gtest_filter=VolumeTraceChild.* >/dev/null 2>'" + unixPath(traceFile) + "'\n"
                      "echo $? >'" + unixPath(doneFile) + ".part' && mv '" + unixPath(doneFile) + ".part' '" +
                          unixPath(doneFile) + "'\n");
    std::string command = "Z:\\bin\\sh " + unixPath(script);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
    return true;
}

TEST_F(VolumePlatformTest, ControlRequestsReachTheRightDevicePathInOrder) {
    const std::string traceFile = std::string(TestFolder) + "\\trace.txt";
    const std::string doneFile = std::string(TestFolder) + "\\trace-done.txt";
    DeleteFileA(traceFile.c_str());
    DeleteFileA(doneFile.c_str());
    ASSERT_TRUE(runTraceChild(traceFile, doneFile)) << "could not start the shell";
    ASSERT_TRUE(waitForFile(doneFile, 45000)) << "the traced child did not finish";
    EXPECT_EQ(readFile(doneFile), "0\n") << "the traced child failed";

    const std::string rw = "GENERIC_READ FILE_SHARE_READ FILE_SHARE_WRITE creation 3 attributes 0x1";
    const std::string ro = "GENERIC_READ FILE_SHARE_READ creation 3 attributes 0x1";
    const std::vector<std::string> expected = {
        "open \\\\.\\R: " + rw, "ioctl \\\\.\\R: 0x90018",                                 // lock
        "open \\\\.\\S: " + ro, "ioctl \\\\.\\S: 0x2d4808",                                // eject
        "open \\\\.\\R: " + rw, "ioctl \\\\.\\R: 0x9001c", "ioctl \\\\.\\R: 0x90020",      // release
        "open \\\\.\\S: " + rw, "ioctl \\\\.\\S: 0x9001c", "ioctl \\\\.\\S: 0x90020",      // identity
    };
    EXPECT_EQ(TraceReader().events(readFile(traceFile)), expected);
}

}  // namespace
}  // namespace ventrix
