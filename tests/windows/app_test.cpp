// The shell in-process: start-up against fakes, the hidden agent window, its
// commands and the password prompt, driven through the real templates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <string>

#include "app/agent_window.h"
#include "app/app_context.h"
#include "app/service_client.h"
#include "app/startup.h"
#include "policy/win32/registry_policy_source.h"
#include "resources/resource.h"
#include "service/win32/overlapped_io.h"
#include "tests/windows/app_fakes.h"
#include "tests/windows/build_arch.h"
#include "tests/support/fake_policy_source.h"
#include "tests/support/fake_protector.h"
#include "tests/support/fake_volume_platform.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"
#include "ui/password_prompt.h"

namespace ventrix {
namespace {

using testing::FakeProtector;
using testing::FakeVolumePlatform;
using testing::MemoryFileSystem;

// Runs `step` from a timer inside whatever modal loop is running until it
// returns true; gives up (and fails) after the timeout.
class ModalDriver {
public:
    static void run(std::function<void()> open, std::function<bool()> step, DWORD timeoutMs = 10000) {
        current_ = {std::move(step), GetTickCount() + timeoutMs, false, false};
        UINT_PTR timer = SetTimer(nullptr, 0, 10, tick);
        open();
        KillTimer(nullptr, timer);
        EXPECT_TRUE(current_.finished) << "the modal step never completed";
        EXPECT_FALSE(current_.timedOut);
    }

private:
    struct State {
        std::function<bool()> step;
        DWORD deadline;
        bool finished;
        bool timedOut;
    };
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_.finished || current_.timedOut) return;
        if (static_cast<LONG>(GetTickCount() - current_.deadline) > 0) {
            current_.timedOut = true;
            HWND login = FindWindowA(nullptr, LoginTitle);
            if (login) DestroyWindow(login);
            return;
        }
        if (current_.step()) current_.finished = true;
    }
    static inline State current_{};
};

class ShellTest : public ::testing::Test, protected testing::AppFakes {
protected:
    HWND agent = nullptr;

    void SetUp() override {
        audit.interleaveWith(platform);
        setApp(&context);
    }
    void TearDown() override {
        if (agent && IsWindow(agent)) DestroyWindow(agent);
        if (context.SmallIconList) ImageList_Destroy(context.SmallIconList);
        setApp(nullptr);
    }

    void createAgent() {
        agent = CreateDialogParamA(context.module, MAKEINTRESOURCEA(IDD_AGENT), GetDesktopWindow(),
                                   agentDialogProc, 0);
        ASSERT_NE(agent, nullptr);
    }

    bool hasCall(const std::string& call) const {
        for (const std::string& line : platform.calls()) {
            if (line.find(call) != std::string::npos) return true;
        }
        return false;
    }

    std::string savedPassword() {
        PolicyTables loaded;
        std::string password;
        testing::Bytes bytes = files.contents(ConfigFileName);
        parseConfiguration(bytes.data(), bytes.size(), protector, loaded, password);
        return password;
    }

    // Types into the open prompt and presses OK, as the user would.
    static bool submit(const char* password) {
        HWND login = FindWindowA(nullptr, LoginTitle);
        if (!login) return false;
        SetDlgItemTextA(login, IDC_PASSWORD, password);
        SendMessageA(login, WM_COMMAND, MAKEWPARAM(IDC_OK, BN_CLICKED), 0);
        return true;
    }
};

// Start-up's rules are tested natively (PolicyControl's StartTest); here, that
// the program's start runs them with its version.
TEST_F(ShellTest, FirstRunSeedsLockableDrivesAndWritesTheDefaultPassword) {
    platform.addDrive('A', DriveRemovable);
    platform.addDrive('C', DriveFixed);
    platform.addDriveWithMedium('D', DriveCdrom, "MOVIES", 0x1234ABCD);
    platform.addDrive('E', DriveRemovable);

    loadAndEnforce(context);

    EXPECT_EQ(savedPassword(), DefaultPassword);
    EXPECT_EQ(audit.events(), (std::vector<std::string>{"event 1000 1.1|2|0|first run", "event 1001",
                                                        "event 2000 D:\\|MOVIES|1234ABCD|drive locked"}));
}

// The box and the exit of a second copy are seen end to end; here, that a
// copy in another folder is not taken for one.
TEST_F(ShellTest, CopiesInOtherDataFoldersStayIndependent) {
    const std::string here = dataFolderClaimName();
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof folder, folder);
    SetCurrentDirectoryA("..");
    EXPECT_NE(dataFolderClaimName(), here);
    SetCurrentDirectoryA(folder);
    EXPECT_EQ(dataFolderClaimName(), here);
}

TEST_F(ShellTest, SmallIconListHoldsTheFourIconsInOrder) {
    createSmallIconList(context);
    ASSERT_NE(context.SmallIconList, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(context.SmallIconList), 4);
    EXPECT_EQ(context.IconLockedIndex, 0);
    EXPECT_EQ(context.IconUnlockedIndex, 1);
    EXPECT_EQ(context.IconRemovableIndex, 2);
    EXPECT_EQ(context.IconCdromIndex, 3);
}

TEST_F(ShellTest, AgentWindowFillsTheTrayRecordAndNeverShows) {
    createAgent();
    const NOTIFYICONDATAA& tray = context.TrayIconData;
    EXPECT_EQ(tray.cbSize, TrayRecordSize);
    EXPECT_EQ(tray.hWnd, agent);
    EXPECT_EQ(tray.uID, 0u);
    EXPECT_EQ(tray.uFlags, 7u);
    EXPECT_EQ(tray.uCallbackMessage, 1031u);
    EXPECT_STREQ(tray.szTip, "Ventrix");
    EXPECT_EQ(tray.hIcon, LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED)));

    ShowWindow(agent, SW_SHOW);
    SetWindowPos(agent, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    EXPECT_FALSE(IsWindowVisible(agent));
    char title[32] = {};
    GetWindowTextA(agent, title, sizeof title);
    EXPECT_STREQ(title, AgentTitle);
}

TEST_F(ShellTest, LockNeedsNoPasswordAppliesThePolicyAndTurnsProtectionOn) {
    createAgent();
    policy.ProtectionOn = false;
    policy.setDriveLocked("D:\\", true);
    platform.addDriveWithMedium('D', DriveCdrom, "MOVIES", 7);

    SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0);

    EXPECT_TRUE(policy.ProtectionOn);
    EXPECT_EQ(context.TrayIconData.hIcon, LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED)));
    ASSERT_FALSE(audit.events().empty());
    EXPECT_EQ(audit.events().back(), "event 3001");
}

// Only while protected: tested natively (ArrivalsAreHandledOnlyWhileProtectionIsOn).
TEST_F(ShellTest, VolumeArrivalsReachEnforcementAndANullHeaderIsIgnored) {
    createAgent();
    BroadcastVolume arrival{{sizeof(BroadcastVolume), DbtDevtypVolume, 0}, 1u << 5, 0};
    SendMessageA(agent, WM_DEVICECHANGE, DbtDeviceArrival, reinterpret_cast<LPARAM>(&arrival));
    ASSERT_EQ(policy.driveEntries().size(), 1u);
    EXPECT_EQ(policy.driveEntries()[0].letter, 'F');
    SendMessageA(agent, WM_DEVICECHANGE, DbtDeviceArrival, 0);  // null header: ignored
    EXPECT_EQ(policy.driveEntries().size(), 1u);
}

TEST_F(ShellTest, ConfigurationDoesNothingWhileALoginWindowIsOpen) {
    createAgent();
    HWND other = CreateWindowA("STATIC", LoginTitle, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    SendMessageA(agent, WM_COMMAND, IDM_CONFIGURATION, 0);  // would block in a prompt otherwise
    EXPECT_EQ(FindWindowA("#32770", LoginTitle), nullptr);
    DestroyWindow(other);
}

TEST_F(ShellTest, WrongPasswordWarnsSelectsTheTextAndChangesNothing) {
    createAgent();
    policy.setDriveLocked("D:\\", true);
    HWND prompt = nullptr;
    DWORD selectionEnd = 0;
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] {
                         if (!submit("QUILLFERN")) return false;
                         prompt = FindWindowA(nullptr, LoginTitle);
                         SendDlgItemMessageA(prompt, IDC_PASSWORD, EM_GETSEL, 0,
                                             reinterpret_cast<LPARAM>(&selectionEnd));
                         SendMessageA(prompt, WM_COMMAND, IDC_CANCEL, 0);
                         return true;
                     });
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, "Invalid Password");
    EXPECT_EQ(platform.messages()[0].caption, "Error");
    EXPECT_EQ(platform.messages()[0].type, static_cast<std::uint32_t>(MB_ICONERROR));
    EXPECT_EQ(platform.messages()[0].owner, prompt);
    EXPECT_EQ(selectionEnd, 9u);
    EXPECT_TRUE(policy.ProtectionOn);
    EXPECT_FALSE(hasCall("0x9001C"));
    EXPECT_EQ(platform.calls(), (std::vector<std::string>{"event 3100 Unlock", "message Error: Invalid Password"}));
}

// Each try is counted before its "Invalid Password" shows: tries sent into
// the prompt while that box is still open meet the wait like any other.
TEST_F(ShellTest, TriesSentWhileInvalidPasswordIsOpenAreCountedAndMeetTheWait) {
    createAgent();
    int sent = 0;
    platform.onMessage = [&](const testing::ShownMessage&) {
        if (sent++ < 10) submit("guess");
    };
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] {
                         if (!submit("guess")) return false;
                         SendMessageA(FindWindowA(nullptr, LoginTitle), WM_COMMAND, IDC_CANCEL, 0);
                         return true;
                     });
    EXPECT_EQ(std::count(audit.events().begin(), audit.events().end(), "event 3100 Unlock"),
              FreeWrongPasswords + 1)
        << "tries past the fourth were taken without a wait";
    EXPECT_GT(context.Control.Guard.remaining(GetTickCount()), 0u);
}

TEST_F(ShellTest, EachPromptNamesItselfInTheWrongPasswordEventAndNeverThePassword) {
    createAgent();
    for (const auto& [command, name] : {std::pair{IDM_EXIT, "Exit"}, std::pair{IDM_CONFIGURATION, "Configuration"}}) {
        audit.clear();
        ModalDriver::run([&, command = command] { SendMessageA(agent, WM_COMMAND, command, 0); },
                         [&] {
                             if (!submit("quillfern-typo")) return false;
                             SendMessageA(FindWindowA(nullptr, LoginTitle), WM_COMMAND, IDC_CANCEL, 0);
                             return true;
                         });
        EXPECT_EQ(audit.events(), std::vector<std::string>{std::string("event 3100 ") + name});
    }
}

// Which drives are released: tested natively (ARightUnlockPasswordReleasesOnlyTheLockedDrives).
TEST_F(ShellTest, CorrectUnlockPasswordTurnsProtectionOffAndShowsItInTheTray) {
    createAgent();
    policy.setDriveLocked("D:\\", true);
    policy.setDriveLocked("E:\\", false);
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] { return submit(DefaultPassword); });
    EXPECT_FALSE(policy.ProtectionOn);
    EXPECT_EQ(FindWindowA(nullptr, LoginTitle), nullptr);
    EXPECT_EQ(context.TrayIconData.hIcon, LoadIconA(context.module, MAKEINTRESOURCEA(IDI_UNLOCKED)));
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3000"});
}

TEST_F(ShellTest, CorrectExitPasswordReleasesDrivesAndEndsTheAgentWindow) {
    createAgent();
    policy.setDriveLocked("D:\\", true);
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_EXIT, 0); },
                     [&] { return submit(DefaultPassword); });
    EXPECT_FALSE(IsWindow(agent));
    EXPECT_TRUE(hasCall("0x9001C")) << "the exit released nothing";
}

// The comparison itself is tested natively (PasswordComparisonIsExact).
TEST_F(ShellTest, ThePromptStopsThePasswordAt255Characters) {
    policy.CurrentPassword = std::string(255, 'x');
    createAgent();
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] { return submit(std::string(300, 'x').c_str()); });
    EXPECT_FALSE(policy.ProtectionOn);
}

// The tray menu as it is shown: read from the open menu, then closed.
std::vector<UINT> shownTrayMenu(HWND agent, std::vector<UINT>* submenu) {
    std::vector<UINT> ids;
    ModalDriver::run([&] { SendMessageA(agent, TrayCallbackMessage, 0, WM_RBUTTONDOWN); },
                     [&] {
                         HWND window = FindWindowA("#32768", nullptr);
                         HMENU menu = window ? reinterpret_cast<HMENU>(SendMessageA(window, MN_GETHMENU, 0, 0)) : nullptr;
                         if (!menu) return false;
                         for (int i = 0; i < GetMenuItemCount(menu); ++i) {
                             HMENU sub = GetSubMenu(menu, i);
                             ids.push_back(sub ? 0u : GetMenuItemID(menu, i));
                             for (int k = 0; sub && k < GetMenuItemCount(sub); ++k) submenu->push_back(GetMenuItemID(sub, k));
                         }
                         EndMenu();
                         return true;
                     });
    return ids;
}

TEST_F(ShellTest, UnlockForSitsBelowUnlockWhileProtectedAndIsRemovedWhileUnlocked) {
    createAgent();
    std::vector<UINT> submenu;
    EXPECT_EQ(shownTrayMenu(agent, &submenu),
              (std::vector<UINT>{IDM_PROTECTION, 0, 0, IDM_CONFIGURATION, IDM_ABOUT, IDM_EXIT}));
    EXPECT_EQ(submenu, (std::vector<UINT>{IDM_UNLOCK_5_MINUTES, IDM_UNLOCK_15_MINUTES, IDM_UNLOCK_1_HOUR}));

    policy.ProtectionOn = false;
    submenu.clear();
    EXPECT_EQ(shownTrayMenu(agent, &submenu), (std::vector<UINT>{IDM_PROTECTION, 0, IDM_CONFIGURATION, IDM_ABOUT, IDM_EXIT}));
    EXPECT_TRUE(submenu.empty());
}

class TimedUnlockTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        createAgent();
        policy.setDriveLocked("D:\\", true);
        platform.addDriveWithMedium('D', DriveCdrom, "MOVIES", 7);
    }
    void unlockFor(UINT command) {
        ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, command, 0); },
                         [&] { return submit(DefaultPassword); });
    }
    void timerFires() { SendMessageA(agent, WM_TIMER, RelockTimerId, 0); }
    static std::string tipIn(UINT minutes) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        FILETIME stamp{};
        SystemTimeToFileTime(&now, &stamp);
        ULARGE_INTEGER ticks{{stamp.dwLowDateTime, stamp.dwHighDateTime}};
        ticks.QuadPart += ULONGLONG{minutes} * 600000000;
        stamp = {ticks.LowPart, ticks.HighPart};
        SYSTEMTIME until{};
        FileTimeToSystemTime(&stamp, &until);
        char time[32] = {};
        GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &until, nullptr, time, sizeof time);
        return std::string("Ventrix - unlocked until ") + time;
    }
};

TEST_F(TimedUnlockTest, EachDurationUnlocksAsUnlockDoesAndNamesTheEndInTheTip) {
    for (const auto& [command, minutes] : {std::pair{IDM_UNLOCK_5_MINUTES, 5u}, std::pair{IDM_UNLOCK_15_MINUTES, 15u},
                                            std::pair{IDM_UNLOCK_1_HOUR, 60u}}) {
        policy.ProtectionOn = true;
        audit.clear();
        platform.clearCalls();
        const std::string before = tipIn(minutes);
        unlockFor(command);
        const std::string tip = context.TrayIconData.szTip;
        EXPECT_TRUE(tip == before || tip == tipIn(minutes)) << tip;  // the minute may turn meanwhile
        EXPECT_FALSE(policy.ProtectionOn);
        EXPECT_EQ(context.TrayIconData.hIcon, LoadIconA(context.module, MAKEINTRESOURCEA(IDI_UNLOCKED)));
        EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3002 " + std::to_string(minutes)});
    }
}

// What the end does, and that it happens once: tested natively
// (UnlocksAsUnlockDoesAndTheTimerLocksAsLockDoesOnce).
TEST_F(TimedUnlockTest, TheTimerLocksWhileAPromptIsOpenAndTheTrayShowsIt) {
    unlockFor(IDM_UNLOCK_5_MINUTES);
    audit.clear();
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_EXIT, 0); },
                     [&] {
                         HWND login = FindWindowA(nullptr, LoginTitle);
                         if (!login) return false;
                         if (audit.events().empty()) PostMessageA(agent, WM_TIMER, RelockTimerId, 0);
                         if (!policy.ProtectionOn) return false;
                         SendMessageA(login, WM_COMMAND, IDC_CANCEL, 0);
                         return true;
                     });
    EXPECT_TRUE(policy.ProtectionOn);
    EXPECT_EQ(context.TrayIconData.hIcon, LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED)));
    EXPECT_STREQ(context.TrayIconData.szTip, "Ventrix");
    EXPECT_EQ(audit.events().back(), "event 3003");
}

// The end of a timed unlock and Lock turn protection on before their pass,
// so the tray shows it from the pass's first box. An arrival meanwhile is
// tested natively (AnArrivalInsideTheFirstBoxOfARelockIsHandledAsLocked).
TEST_F(TimedUnlockTest, TheTrayShowsProtectionOnFromTheFirstBoxOfARelock) {
    for (UINT relock : {UINT{WM_TIMER}, UINT{WM_COMMAND}}) {
        unlockFor(IDM_UNLOCK_5_MINUTES);
        platform.clearCalls();
        bool onDuringBox = false;
        platform.onMessage = [&](const testing::ShownMessage&) {
            if (std::exchange(platform.onMessage, nullptr) == nullptr) return;
            onDuringBox = policy.ProtectionOn &&
                          context.TrayIconData.hIcon == LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED));
        };
        if (relock == WM_TIMER) timerFires();
        else SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0);
        EXPECT_TRUE(onDuringBox) << relock;
    }
}

// That the timer is cancelled: tested natively (LockBeforeTheEndCancelsTheTimedUnlock).
TEST_F(TimedUnlockTest, LockBeforeTheEndTakesTheEndOutOfTheTip) {
    unlockFor(IDM_UNLOCK_15_MINUTES);
    SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0);
    EXPECT_EQ(audit.events().back(), "event 3001");
    EXPECT_STREQ(context.TrayIconData.szTip, "Ventrix");
}

TEST_F(ShellTest, FindOwnWindowIgnoresWindowsOfOtherTitles) {
    createAgent();
    EXPECT_EQ(findOwnWindow(AgentTitle), agent);
    EXPECT_EQ(findOwnWindow("No Such Window Title"), nullptr);
}

// Both ends of the service's pipe: a read given up on has ended before its
// OVERLAPPED and buffer go, and takes nothing written after it.
TEST(OverlappedIoTest, ACancelledReadHasEndedBeforeItsOverlappedGoes) {
    const char* name = "\\\\.\\pipe\\ventrix-test-overlapped";
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD moved = 0;
    {
        OverlappedIo connecting;
        connecting.connect(server);
        ASSERT_TRUE(connecting.wait(5000));
        ASSERT_TRUE(connecting.result(moved));
    }
    char early[8] = {};
    {
        OverlappedIo reading;
        reading.read(server, early, sizeof early);
        EXPECT_FALSE(reading.ended());
        reading.cancel();
        EXPECT_FALSE(reading.running());
        EXPECT_TRUE(reading.wait(0)) << "cancel() returned while the read still ran";
    }
    ASSERT_TRUE(WriteFile(client, "late", 4, &moved, nullptr));
    char later[8] = {};
    OverlappedIo reading;
    reading.read(server, later, sizeof later);
    ASSERT_TRUE(reading.wait(5000));
    ASSERT_TRUE(reading.result(moved));
    EXPECT_EQ(std::string(later, moved), "late");
    EXPECT_EQ(std::string(early), "") << "the cancelled read still took a message";
    CloseHandle(client);
    CloseHandle(server);
}

// What the policy does is tested natively (TheAdministratorsPolicyTakesEffect-
// WithoutARestart, PolicyBroadcastsThatChangeNothing...); here, that the
// broadcast reaches it, and what the agent and the prompt make of it.
TEST_F(ShellTest, AdministratorsPolicyTakesEffectOnItsBroadcastWithoutARestart) {
    testing::FakePolicySource source;
    context.Control.ManagedSource = &source;
    const char* key = "SOFTWARE\\Policies\\Ventrix";
    const auto broadcast = [&] { SendMessageA(agent, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Policy")); };
    createAgent();
    source.setDword(PolicyScope::Machine, key, "LockAllDrives", 1);
    source.setDword(PolicyScope::User, key, "UnlockMinutes", 5);
    SendMessageA(agent, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"));
    EXPECT_TRUE(audit.events().empty()) << "another area's broadcast read the policy";
    broadcast();
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 1002 LockAllDrives, UnlockMinutes"});

    // Withdrawn while an Unlock prompt is open: the prompt closes, nothing unlocks.
    audit.clear();
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] {
                         if (!FindWindowA(nullptr, LoginTitle)) return false;
                         SetDlgItemTextA(FindWindowA(nullptr, LoginTitle), IDC_PASSWORD, DefaultPassword);
                         source.setDword(PolicyScope::User, key, "UnlockMinutes", 0);
                         broadcast();
                         return true;
                     });
    EXPECT_TRUE(policy.ProtectionOn);
    EXPECT_EQ(audit.events().front(), "event 1002 LockAllDrives, UnlockMinutes");
    for (const std::string& event : audit.events()) EXPECT_EQ(event.rfind("event 300", 0), std::string::npos) << event;

    // Unlock no longer offered: the prompt never opens.
    SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0);  // would block in a prompt otherwise
    EXPECT_EQ(findOwnWindow(LoginTitle), nullptr);
}

// That the verifier alone decides, on UTF-8, is tested natively
// (TheAdministratorsVerifierAloneDecidesOnTheUtf8Text); here, that the
// prompt hands it what is typed as UTF-8.
TEST_F(ShellTest, ThePromptGivesTheAdministratorsVerifierWhatIsTypedAsUtf8) {
    PortableKeyDeriver keys;
    const std::uint8_t salt[16] = {1, 2, 3};
    PasswordVerifier verifier;
    ASSERT_TRUE(makeVerifier("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", salt, sizeof salt, MinVerifierIterations, keys,
                             verifier));
    policy.Managed.verifier = verifier;
    createAgent();
    ModalDriver::run([&] { SendMessageA(agent, WM_COMMAND, IDM_PROTECTION, 0); },
                     [&] {
                         HWND login = FindWindowA(nullptr, LoginTitle);
                         if (!login) return false;
                         SetDlgItemTextW(login, IDC_PASSWORD, L"Gr\u00FC\u00DFe aus K\u00F6ln");
                         SendMessageA(login, WM_COMMAND, IDC_OK, 0);
                         return true;
                     });
    EXPECT_FALSE(policy.ProtectionOn) << "the passphrase did not open the prompt";
}

// Group Policy holding its sections: each reading waits at the gate, and
// the thread it waits on is noted.
class HeldSections final : public PolicySource {
public:
    testing::FakePolicySource values;
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> enteredOn{0};
    std::atomic<int> readings{0};
    ~HeldSections() override { CloseHandle(gate); }

    void beginRead() override {
        enteredOn = GetCurrentThreadId();
        WaitForSingleObject(gate, 20000);
    }
    void endRead() override { ++readings; }
    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override {
        return values.readValue(scope, key, name, out);
    }
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override {
        return values.readValues(scope, key, out);
    }
};

// Serves the window's messages until the condition holds; false at the deadline.
bool pumpUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        Sleep(10);
    }
    return true;
}

// The per-user program's window thread never enters Group Policy's sections:
// the start goes on without a reading held up there (with the registry's
// values read directly), and a refresh broadcast returns at once; each
// reading done on the thread is then taken up.
TEST_F(ShellTest, TheTrayNeverWaitsOnGroupPolicysSectionsOnItsWindowThread) {
    const char* key = "SOFTWARE\\Policies\\Ventrix";
    auto held = std::make_unique<HeldSections>();
    auto direct = std::make_unique<testing::FakePolicySource>();
    HeldSections& live = *held;
    held->values.setDword(PolicyScope::Machine, key, "LockAllDrives", 1);
    direct->setDword(PolicyScope::Machine, key, "UnlockMinutes", 5);  // as Group Policy last left it
    PolicyReadingThread reading(std::move(held), std::move(direct));
    PolicyRecord record;
    context.ManagedReading = &reading;
    context.ManagedRecord = &record;

    takeFirstManagedReading(context);
    loadAndEnforce(context);
    EXPECT_EQ(policy.Managed.unlockMinutes, 5u);
    EXPECT_FALSE(policy.Managed.lockAllDrives);
    EXPECT_EQ(audit.events().back(), "event 1002 UnlockMinutes");
    ASSERT_NE(live.enteredOn.load(), 0u);
    EXPECT_NE(live.enteredOn.load(), GetCurrentThreadId());

    createAgent();
    SetEvent(live.gate);  // Group Policy is done: the thread's reading arrives as a refresh
    EXPECT_TRUE(pumpUntil([&] { return policy.Managed.lockAllDrives; })) << "the thread's reading was not taken up";
    EXPECT_FALSE(policy.Managed.unlockMinutes);

    ResetEvent(live.gate);
    live.values.setDword(PolicyScope::User, key, "UnlockMinutes", 0);
    live.enteredOn = 0;
    SendMessageA(agent, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Policy"));  // returns while held
    EXPECT_TRUE(pumpUntil([&] { return live.enteredOn.load() != 0; }));
    EXPECT_NE(live.enteredOn.load(), GetCurrentThreadId());
    EXPECT_TRUE(policy.Managed.unlockOffered()) << "taken up before the reading was done";
    SetEvent(live.gate);
    EXPECT_TRUE(pumpUntil([&] { return !policy.Managed.unlockOffered(); }));
    EXPECT_EQ(live.readings.load(), 2);

    DestroyWindow(agent);
    agent = nullptr;
    context.ManagedReading = nullptr;
    context.ManagedRecord = nullptr;
}

// A tray started while the service is stopped (or starting, or not ours to
// ask) is its client, never a second enforcer: only a service the manager
// does not know, or one an administrator disabled, leaves the PC to the
// per-user program.
struct ServiceCase {
    const char* name;
    ServiceAnswers answers;
    ServiceLookup lookup;
};

void PrintTo(const ServiceCase& c, std::ostream* os) { *os << c.name; }

class ATrayStartedWhileTheServiceIsStopped : public ::testing::TestWithParam<ServiceCase> {};

TEST_P(ATrayStartedWhileTheServiceIsStopped, IsItsClientUnlessNoneIsInstalledOrItIsDisabled) {
    const ServiceCase& want = GetParam();
    EXPECT_EQ(classifyService(want.answers), want.lookup);
    const bool perUser = want.lookup == ServiceLookup::Absent || want.lookup == ServiceLookup::Disabled;
    EXPECT_EQ(trayIsServiceClient(classifyService(want.answers)), !perUser);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ATrayStartedWhileTheServiceIsStopped,
    ::testing::Values(
        ServiceCase{"Stopped", {true, true, 0, true, SERVICE_AUTO_START, true, SERVICE_STOPPED}, ServiceLookup::Installed},
        ServiceCase{"Starting", {true, true, 0, true, SERVICE_AUTO_START, true, SERVICE_START_PENDING},
                    ServiceLookup::Installed},
        ServiceCase{"OnDemandRunning", {true, true, 0, true, SERVICE_DEMAND_START, true, SERVICE_RUNNING},
                    ServiceLookup::Installed},
        ServiceCase{"NotInstalled", {true, false, ERROR_SERVICE_DOES_NOT_EXIST}, ServiceLookup::Absent},
        ServiceCase{"AccessDenied", {true, false, ERROR_ACCESS_DENIED}, ServiceLookup::Unknown},
        ServiceCase{"NoManager", {false}, ServiceLookup::Unknown},
        ServiceCase{"ConfigUnreadable", {true, true, 0, false, 0, true, SERVICE_STOPPED}, ServiceLookup::Unknown},
        ServiceCase{"Disabled", {true, true, 0, true, SERVICE_DISABLED, true, SERVICE_STOPPED}, ServiceLookup::Disabled},
        ServiceCase{"DisabledStillRunning", {true, true, 0, true, SERVICE_DISABLED, true, SERVICE_RUNNING},
                    ServiceLookup::Installed},
        ServiceCase{"DisabledStateUnknown", {true, true, 0, true, SERVICE_DISABLED, false, 0}, ServiceLookup::Installed}),
    [](const ::testing::TestParamInfo<ServiceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ventrix
