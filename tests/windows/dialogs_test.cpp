// The configuration, add-media and about dialogs, created from the program's
// own templates and driven through their procedures in this process.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/startup.h"
#include "resources/resource.h"
#include "tests/windows/app_fakes.h"
#include "tests/support/fake_protector.h"
#include "tests/support/fake_volume_platform.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"
#include "ui/about_dialog.h"
#include "ui/add_media_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/configuration_dialog.h"
#include "ui/list_view.h"
#include "ui/password_prompt.h"
#include "ui/trusted_media_dialog.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

using testing::FakeProtector;
using testing::FakeVolumePlatform;
using testing::MemoryFileSystem;

struct Column {
    std::string header;
    int width = 0;
    int format = -1;
};

struct Row {
    std::string text;
    std::string second;
    int image = -1;
    LPARAM data = -1;
};

Column columnOf(HWND list, int index) {
    char text[64] = {};
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.pszText = text;
    column.cchTextMax = sizeof text;
    if (!SendMessageA(list, LVM_GETCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column)))
        return {};
    return Column{text, column.cx, column.fmt & LVCFMT_JUSTIFYMASK};
}

std::string itemText(HWND list, int row, int subItem) {
    char text[300] = {};
    LVITEMA item{};
    item.iSubItem = subItem;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

std::vector<Row> rowsOf(HWND list) {
    std::vector<Row> rows;
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        LVITEMA item{};
        item.mask = LVIF_IMAGE | LVIF_PARAM;
        item.iItem = i;
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        rows.push_back(Row{itemText(list, i, 0), itemText(list, i, 1), item.iImage, item.lParam});
    }
    return rows;
}

int rowWithText(HWND list, const char* text) {
    LVFINDINFOA find{};
    find.flags = LVFI_STRING;
    find.psz = text;
    return static_cast<int>(SendMessageA(list, LVM_FINDITEMA, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
}

int selectedCount(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0)); }

// Selects a row the way a click does; the list view itself reports the
// change to the dialog with LVN_ITEMCHANGED.
void selectRow(HWND list, int row) {
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// The NM_CLICK that follows a button release in the list.
void sendClickNotification(HWND dialog, HWND list, int row) {
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = list;
    click.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(list));
    click.hdr.code = static_cast<UINT>(NM_CLICK);
    click.iItem = row;
    SendMessageA(dialog, WM_NOTIFY, click.hdr.idFrom, reinterpret_cast<LPARAM>(&click));
}

void clickRow(HWND dialog, HWND list, int row) {
    selectRow(list, row);
    sendClickNotification(dialog, list, row);
}

void command(HWND dialog, int id, int code = BN_CLICKED) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::string controlText(HWND dialog, int id) {
    char text[300] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

bool hasCall(const FakeVolumePlatform& platform, const std::string& line) {
    const auto& calls = platform.calls();
    return std::find(calls.begin(), calls.end(), line) != calls.end();
}

// An application context of fakes, installed as the process-wide one, with
// the shared image list made as start-up makes it.
class DialogTest : public ::testing::Test, protected testing::AppFakes {
protected:
    HWND dialog = nullptr;

    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        context.module = GetModuleHandleA(nullptr);
        createSmallIconList(context);
        ASSERT_NE(context.SmallIconList, nullptr);
        ASSERT_EQ(context.IconCdromIndex, 3);
        setApp(&context);
    }

    void TearDown() override {
        if (dialog) DestroyWindow(dialog);
        ImageList_Destroy(context.SmallIconList);
        setApp(nullptr);
    }

    HWND open(int templateId, DLGPROC procedure, HWND owner = nullptr) {
        if (dialog) DestroyWindow(dialog);
        dialog = CreateDialogParamA(context.module, MAKEINTRESOURCEA(templateId), owner, procedure, 0);
        EXPECT_NE(dialog, nullptr);
        return dialog;
    }

    HIMAGELIST smallIconsOf(HWND list) {
        return reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
    }

    void addLoadedDrive(char letter, std::uint8_t locked) { policy.appendLoadedDrive(DriveLockEntry{letter, locked}); }
};

// ---------------------------------------------------------------------------
// Configuration dialog

class ConfigurationDialogTest : public DialogTest {
protected:
    HWND drives() const { return GetDlgItem(dialog, IDC_DRIVES); }
    HWND media() const { return GetDlgItem(dialog, IDC_MEDIA); }
    HWND openConfiguration() {
        open(IDD_CONFIGURATION, configurationDialogProc);
        ShowWindow(dialog, SW_SHOW);
        return dialog;
    }
};

TEST_F(ConfigurationDialogTest, ListsHaveTheirColumnsSharedIconsAndWindowIcons) {
    openConfiguration();
    char title[64] = {};
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_STREQ(title, ConfigurationTitle);  // the agent finds the open dialog by it

    const Column drive = columnOf(drives(), 0);
    const Column state = columnOf(drives(), 1);
    EXPECT_EQ(drive.header, "Drive");
    EXPECT_EQ(drive.width, 60);
    EXPECT_EQ(drive.format, LVCFMT_LEFT);
    EXPECT_EQ(state.header, "State");
    EXPECT_EQ(state.width, 83);
    EXPECT_EQ(state.format, LVCFMT_CENTER);
    EXPECT_EQ(columnOf(drives(), 2).header, "");

    const Column label = columnOf(media(), 0);
    EXPECT_EQ(label.header, "Etiqueta");
    EXPECT_EQ(label.width, 200);
    EXPECT_EQ(label.format, LVCFMT_LEFT);
    EXPECT_EQ(columnOf(media(), 1).header, "");

    EXPECT_EQ(smallIconsOf(drives()), context.SmallIconList);
    EXPECT_EQ(smallIconsOf(media()), context.SmallIconList);
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_EQ(controlText(dialog, IDC_SERIAL), "");
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "");
}

TEST_F(ConfigurationDialogTest, DriveRowsAreSortedWithStateTextAndImage) {
    policy.setDriveLocked("F:\\", true);
    policy.setDriveLocked("D:\\", false);
    addLoadedDrive('E', 2);  // any non-zero flag counts as locked
    openConfiguration();

    const std::vector<Row> rows = rowsOf(drives());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].text, "D:\\");
    EXPECT_EQ(rows[0].second, "Unlocked");
    EXPECT_EQ(rows[0].image, context.IconUnlockedIndex);
    EXPECT_EQ(rows[1].text, "E:\\");
    EXPECT_EQ(rows[1].second, "Locked");
    EXPECT_EQ(rows[1].image, context.IconLockedIndex);
    EXPECT_EQ(rows[2].text, "F:\\");
    EXPECT_EQ(rows[2].second, "Locked");
    EXPECT_EQ(rows[2].image, context.IconLockedIndex);
    for (const Row& row : rows) EXPECT_EQ(row.data, 0) << row.text;
    EXPECT_EQ(selectedCount(drives()), 0);
}

// "Read-only" follows the row last clicked: enabled for an unlocked drive whose
// flag the owner decides, showing that flag; a click turns it over for Apply.
TEST_F(ConfigurationDialogTest, TheReadOnlyBoxActsOnTheDriveLastClickedWhileItIsUnlocked) {
    policy.setDriveLocked("D:\\", true);
    policy.setDriveLocked("E:\\", true);
    openConfiguration();
    HWND box = GetDlgItem(dialog, IDC_DRIVE_READ_ONLY);
    EXPECT_FALSE(IsWindowEnabled(box)) << "no drive clicked yet";
    clickRow(dialog, drives(), rowWithText(drives(), "D:\\"));  // D: unlocked now
    EXPECT_TRUE(IsWindowEnabled(box));
    command(dialog, IDC_DRIVE_READ_ONLY);
    EXPECT_TRUE(policy.isDriveReadOnly("D:\\"));
    EXPECT_EQ(itemText(drives(), rowWithText(drives(), "D:\\"), 1), "Read-only");
    EXPECT_TRUE(platform.calls().empty()) << "it waits for Apply";
    clickRow(dialog, drives(), rowWithText(drives(), "E:\\"));  // E: unlocked, its own flag clear
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_DRIVE_READ_ONLY), static_cast<UINT>(BST_UNCHECKED));

    clickRow(dialog, drives(), rowWithText(drives(), "D:\\"));  // D: locked again, its flag kept
    EXPECT_FALSE(IsWindowEnabled(box));
    command(dialog, IDC_DRIVE_READ_ONLY);  // not for a locked drive, even if sent
    EXPECT_TRUE(policy.isDriveReadOnly("D:\\"));

    // E: unlocked and read-only by the administrator: the owner's flag stays out of reach.
    platform.addDrive('E', DriveRemovable);
    policy.Managed.readOnlyAllDrives = true;
    clickRow(dialog, drives(), rowWithText(drives(), "D:\\"));
    clickRow(dialog, drives(), rowWithText(drives(), "E:\\"));
    clickRow(dialog, drives(), rowWithText(drives(), "E:\\"));
    EXPECT_EQ(itemText(drives(), rowWithText(drives(), "E:\\"), 1), "Read-only (policy)");
    EXPECT_FALSE(IsWindowEnabled(box));
    command(dialog, IDC_DRIVE_READ_ONLY);
    EXPECT_FALSE(policy.isDriveReadOnly("E:\\"));
}

TEST_F(ConfigurationDialogTest, MediaRowsAreSortedByLabelWithImageAndSerial) {
    policy.addMedia(0x11, "zeta", DriveRemovable);
    policy.addMedia(0xDEADBEEF, "alpha", DriveCdrom);
    policy.addMedia(0x7, "mid", 99);  // any type but CD-ROM shows the removable image
    openConfiguration();

    const std::vector<Row> rows = rowsOf(media());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].text, "alpha");
    EXPECT_EQ(rows[0].image, context.IconCdromIndex);
    EXPECT_EQ(static_cast<std::uint32_t>(rows[0].data), 0xDEADBEEFu);
    EXPECT_EQ(rows[1].text, "mid");
    EXPECT_EQ(rows[1].image, context.IconRemovableIndex);
    EXPECT_EQ(rows[1].data, 0x7);
    EXPECT_EQ(rows[2].text, "zeta");
    EXPECT_EQ(rows[2].image, context.IconRemovableIndex);
    EXPECT_EQ(rows[2].data, 0x11);
}

TEST_F(ConfigurationDialogTest, EmptyTablesGiveEmptyListsAndDeleteRemovesNothing) {
    openConfiguration();
    EXPECT_TRUE(rowsOf(drives()).empty());
    EXPECT_TRUE(rowsOf(media()).empty());
    command(dialog, IDC_DELETE);
    EXPECT_TRUE(policy.mediaRecords().empty());
    EXPECT_TRUE(rowsOf(media()).empty());
}

TEST_F(ConfigurationDialogTest, OneClickOnADriveRowTogglesItOnce) {
    policy.setDriveLocked("D:\\", true);
    policy.setDriveLocked("E:\\", false);
    openConfiguration();

    clickRow(dialog, drives(), rowWithText(drives(), "D:\\"));
    EXPECT_STREQ(policy.driveStateText("D:\\"), "Unlocked");
    EXPECT_STREQ(policy.driveStateText("E:\\"), "Unlocked");
    int row = rowWithText(drives(), "D:\\");
    ASSERT_GE(row, 0);
    EXPECT_EQ(itemText(drives(), row, 1), "Unlocked");
    EXPECT_EQ(rowsOf(drives())[row].image, context.IconUnlockedIndex);
    EXPECT_EQ(selectedCount(drives()), 0) << "the rebuild leaves nothing selected";

    clickRow(dialog, drives(), rowWithText(drives(), "E:\\"));
    EXPECT_STREQ(policy.driveStateText("E:\\"), "Locked");
    clickRow(dialog, drives(), rowWithText(drives(), "D:\\"));
    EXPECT_STREQ(policy.driveStateText("D:\\"), "Locked");
    row = rowWithText(drives(), "D:\\");
    EXPECT_EQ(itemText(drives(), row, 1), "Locked");
    EXPECT_EQ(rowsOf(drives()).size(), 2u);
}

TEST_F(ConfigurationDialogTest, MouseClickOnADriveRowTogglesItOnce) {
    policy.setDriveLocked("D:\\", true);
    openConfiguration();
    RECT bounds{};
    bounds.left = LVIR_LABEL;
    ASSERT_TRUE(SendMessageA(drives(), LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&bounds)));
    const LPARAM point = MAKELPARAM(bounds.left + 4, (bounds.top + bounds.bottom) / 2);
    // The release is queued first: a list view may wait for it inside its button-down handling.
    PostMessageA(drives(), WM_LBUTTONUP, 0, point);
    SendMessageA(drives(), WM_LBUTTONDOWN, MK_LBUTTON, point);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);

    EXPECT_STREQ(policy.driveStateText("D:\\"), "Unlocked");
    EXPECT_EQ(itemText(drives(), 0, 1), "Unlocked");
    EXPECT_EQ(selectedCount(drives()), 0);
}

TEST_F(ConfigurationDialogTest, ClickOnNoRowChangesNoFlagAndRebuilds) {
    policy.setDriveLocked("D:\\", true);
    addLoadedDrive('Q', 0);  // listed although no such drive is present
    openConfiguration();
    SendMessageA(drives(), LVM_DELETEITEM, 1, 0);  // a rebuild must bring it back
    sendClickNotification(dialog, drives(), -1);
    EXPECT_STREQ(policy.driveStateText("D:\\"), "Locked");
    EXPECT_STREQ(policy.driveStateText("Q:\\"), "Unlocked");
    const std::vector<Row> rows = rowsOf(drives());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].text, "Q:\\");
}

TEST_F(ConfigurationDialogTest, SelectingAMediumShowsItsSerialAndLabelButSerialZeroShowsNothing) {
    policy.addMedia(0x0000ABCD, "Backup", DriveRemovable);
    policy.addMedia(0, "Blank", DriveCdrom);
    policy.addMedia(0x0F00BA12, "Photos", DriveCdrom);
    openConfiguration();

    selectRow(media(), rowWithText(media(), "Blank"));
    EXPECT_EQ(controlText(dialog, IDC_SERIAL), "");
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "");

    selectRow(media(), rowWithText(media(), "Backup"));
    EXPECT_EQ(controlText(dialog, IDC_SERIAL), "ABCD");
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "Backup");

    selectRow(media(), rowWithText(media(), "Blank"));
    EXPECT_EQ(controlText(dialog, IDC_SERIAL), "ABCD");
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "Backup");

    clickRow(dialog, media(), rowWithText(media(), "Photos"));
    EXPECT_EQ(controlText(dialog, IDC_SERIAL), "F00BA12");
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "Photos");
    EXPECT_EQ(policy.mediaRecords().size(), 3u) << "selecting changes nothing";
}

TEST_F(ConfigurationDialogTest, DeleteRemovesOnlyTheSelectedMedium) {
    policy.addMedia(0x10, "Keep", DriveRemovable);
    policy.addMedia(0x20, "Gone", DriveCdrom);
    policy.addMedia(0x30, "Also kept", DriveCdrom);
    openConfiguration();

    selectRow(media(), rowWithText(media(), "Gone"));
    command(dialog, IDC_DELETE);
    EXPECT_FALSE(policy.findMedia(0x20, "Gone", DriveCdrom));
    EXPECT_TRUE(policy.findMedia(0x10, "Keep", DriveRemovable));
    EXPECT_TRUE(policy.findMedia(0x30, "Also kept", DriveCdrom));
    const std::vector<Row> rows = rowsOf(media());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "Also kept");
    EXPECT_EQ(rows[1].text, "Keep");
    // The Information fields are not cleared by a deletion.
    EXPECT_EQ(controlText(dialog, IDC_LABEL), "Gone");

    command(dialog, IDC_DELETE);  // the rebuild left nothing selected
    EXPECT_EQ(policy.mediaRecords().size(), 2u);
}

TEST_F(ConfigurationDialogTest, DeletePicksTheRecordByExactLabelAndSerial) {
    policy.addMedia(0x55, "Disk", DriveRemovable);
    policy.addMedia(0x56, "Disk", DriveCdrom);
    const std::string longest(MaxLabelLength, 'L');  // a label of 256-259 characters could not be deleted
    policy.addMedia(0x57, longest, DriveRemovable);
    policy.Managed.lockedMedia.push_back({longest, 0x58, DriveRemovable});
    openConfiguration();

    for (std::uint32_t serial : {0x56u, 0x57u, 0x58u}) {
        int row = -1;
        for (int i = 0; i < static_cast<int>(rowsOf(media()).size()); ++i) {
            if (rowsOf(media())[i].data == static_cast<LPARAM>(serial)) row = i;
        }
        ASSERT_GE(row, 0);
        selectRow(media(), row);
        command(dialog, IDC_DELETE);
    }
    EXPECT_TRUE(policy.findMedia(0x55, "Disk", DriveRemovable));
    EXPECT_FALSE(policy.findMedia(0x56, "Disk", DriveCdrom));
    EXPECT_FALSE(policy.findMedia(0x57, longest, DriveRemovable));
    // The administrator's medium with the longest label: its owner is told, not silently ignored.
    ASSERT_FALSE(platform.messages().empty());
    EXPECT_EQ(platform.messages().back().text, "This medium is set by your administrator.");
}

TEST_F(ConfigurationDialogTest, ApplyEnforcesSavesAndCloses) {
    policy.setDriveLocked("D:\\", true);
    policy.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('D', DriveCdrom, "DVD", 0x1234);
    platform.addDrive('E', DriveRemovable);
    openConfiguration();
    clickRow(dialog, drives(), rowWithText(drives(), "E:\\"));
    EXPECT_TRUE(platform.calls().empty()) << "a toggle alone touches no drive";
    EXPECT_FALSE(files.has(ConfigFileName));

    command(dialog, IDC_APPLY);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_TRUE(hasCall(platform, "ioctl 0x90018")) << "the locked drive's volume gets a lock request";
    EXPECT_TRUE(hasCall(platform, "ioctl 0x90020")) << "the released drive's volume is dismounted";
    ASSERT_TRUE(files.has(ConfigFileName));

    PolicyTables saved;
    std::string password;
    const auto bytes = files.contents(ConfigFileName);
    parseConfiguration(bytes.data(), bytes.size(), protector, saved, password);
    EXPECT_STREQ(saved.driveStateText("D:\\"), "Locked");
    EXPECT_STREQ(saved.driveStateText("E:\\"), "Unlocked");
    ASSERT_FALSE(audit.events().empty());
    EXPECT_EQ(audit.events().back(), "event 3200 1|1|0") << "after the apply pass's own events";
}

TEST_F(ConfigurationDialogTest, CancelClosesAndKeepsTheChangesInMemoryOnly) {
    policy.setDriveLocked("D:\\", true);
    policy.addMedia(0x99, "Old", DriveRemovable);
    platform.addDriveWithMedium('D', DriveCdrom, "DVD", 0x1234);
    openConfiguration();
    clickRow(dialog, drives(), 0);
    selectRow(media(), 0);
    command(dialog, IDC_DELETE);

    command(dialog, IDC_CANCEL);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_STREQ(policy.driveStateText("D:\\"), "Unlocked");
    EXPECT_TRUE(policy.mediaRecords().empty());
    EXPECT_TRUE(platform.calls().empty());
    EXPECT_FALSE(files.has(ConfigFileName));
}

TEST_F(ConfigurationDialogTest, EnterMeansApplyAndEscapeDoesNothing) {
    openConfiguration();
    EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), IDC_APPLY);
    command(dialog, IDCANCEL);  // what Escape sends
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_FALSE(files.has(ConfigFileName));
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(dialog));
}

// Drives a modal dialog owned by the configuration dialog from inside its own
// message loop: finds it by title, notes its owner, then acts on it.
struct OwnedDialogDriver {
    static inline const char* title = "Add item";
    static inline void (*act)(HWND found) = [](HWND found) {
        HWND list = GetDlgItem(found, IDC_PRESENT_MEDIA);
        selectRow(list, rowWithText(list, "E:\\"));
        command(found, IDC_ADD);
    };
    static inline HWND configuration = nullptr;
    static inline HWND found = nullptr;
    static inline HWND owner = nullptr;
    static inline bool ownerEnabled = true;
    static inline int ticks = 0;

    static BOOL CALLBACK match(HWND window, LPARAM) {
        char title[32] = {};
        GetWindowTextA(window, title, sizeof title);
        if (std::string(title) != OwnedDialogDriver::title) return TRUE;
        found = window;
        return FALSE;
    }

    static void CALLBACK tick(HWND, UINT, UINT_PTR timer, DWORD) {
        EnumThreadWindows(GetCurrentThreadId(), match, 0);
        if (found == nullptr && ++ticks < 250) return;  // about five seconds
        KillTimer(nullptr, timer);
        if (found == nullptr) return;
        owner = GetWindow(found, GW_OWNER);
        ownerEnabled = IsWindowEnabled(configuration) != FALSE;
        act(found);
    }
};

TEST_F(ConfigurationDialogTest, AddOpensTheOwnedAddMediaDialogAndListsTheNewMedium) {
    policy.addMedia(0x1, "First", DriveCdrom);
    platform.addDriveWithMedium('E', DriveRemovable, "Stick", 0xC0FFEE);
    openConfiguration();
    OwnedDialogDriver::configuration = dialog;
    ASSERT_NE(SetTimer(nullptr, 0, 20, OwnedDialogDriver::tick), 0u);

    command(dialog, IDC_ADD);  // returns when the add-media dialog has ended

    ASSERT_NE(OwnedDialogDriver::found, nullptr);
    EXPECT_EQ(OwnedDialogDriver::owner, dialog);
    EXPECT_FALSE(OwnedDialogDriver::ownerEnabled) << "modal to the configuration dialog";
    EXPECT_TRUE(policy.findMedia(0xC0FFEE, "Stick", DriveRemovable));
    const std::vector<Row> rows = rowsOf(media());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].text, "Stick");
    EXPECT_EQ(rows[1].data, 0xC0FFEE);
    EXPECT_EQ(rows[1].image, context.IconRemovableIndex);
}

// Which windows the dialog and its edits are: Wine keeps wide text even in
// an ANSI dialog's edit, Windows does not, so the dialog itself must be Unicode.
struct UnicodeWindows {
    static inline int count = 0;
    static void note(HWND dialog, std::initializer_list<int> edits) {
        count = IsWindowUnicode(dialog) ? 1 : 0;
        for (int id : edits) count += IsWindowUnicode(GetDlgItem(dialog, id)) ? 1 : 0;
    }
};

TEST_F(ConfigurationDialogTest, PasswordButtonOpensTheOwnedChangePasswordDialog) {
    openConfiguration();
    OwnedDialogDriver::configuration = dialog;
    OwnedDialogDriver::found = nullptr;
    OwnedDialogDriver::ticks = 0;
    OwnedDialogDriver::title = "Change Password";
    UnicodeWindows::count = 0;
    OwnedDialogDriver::act = [](HWND found) {
        UnicodeWindows::note(found, {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD});
        command(found, IDC_CANCEL);
    };
    ASSERT_NE(SetTimer(nullptr, 0, 20, OwnedDialogDriver::tick), 0u);

    command(dialog, IDC_CHANGE_PASSWORD);  // returns when Change Password has ended

    ASSERT_NE(OwnedDialogDriver::found, nullptr);
    EXPECT_EQ(OwnedDialogDriver::owner, dialog);
    EXPECT_FALSE(OwnedDialogDriver::ownerEnabled) << "modal to the configuration dialog";
    EXPECT_TRUE(IsWindowVisible(dialog)) << "the configuration dialog stays open";
    EXPECT_EQ(policy.CurrentPassword, DefaultPassword);
    EXPECT_EQ(UnicodeWindows::count, 4) << "Change Password and its three edits are Unicode windows";
}

// ---------------------------------------------------------------------------
// Trusted Media

class TrustedMediaDialogTest : public ConfigurationDialogTest {
protected:
    HWND list() const { return GetDlgItem(dialog, IDC_TRUSTED_LIST); }
    HWND openTrusted() {
        open(IDD_TRUSTED_MEDIA, trustedMediaDialogProc);
        ShowWindow(dialog, SW_SHOW);
        return dialog;
    }
    // Add, then the medium in E: picked in the add-media dialog; returns when it has ended.
    void addFromE() {
        OwnedDialogDriver::configuration = dialog;
        OwnedDialogDriver::found = nullptr;
        OwnedDialogDriver::ticks = 0;
        OwnedDialogDriver::title = "Add item";
        OwnedDialogDriver::act = [](HWND found) {
            HWND present = GetDlgItem(found, IDC_PRESENT_MEDIA);
            selectRow(present, rowWithText(present, "E:\\"));
            command(found, IDC_ADD);
        };
        ASSERT_NE(SetTimer(nullptr, 0, 20, OwnedDialogDriver::tick), 0u);
        command(dialog, IDC_ADD);
    }
};

TEST_F(TrustedMediaDialogTest, RowsShowLabelAndSerialWithTheImageOfTheirDriveType) {
    policy.addTrustedMedia(0x11, "zeta", DriveRemovable, true);
    policy.addTrustedMedia(0xDEADBEEF, "alpha", DriveCdrom);
    openTrusted();
    EXPECT_EQ(columnOf(list(), 0).header, "Label");
    EXPECT_EQ(columnOf(list(), 1).header, "Serial");
    EXPECT_EQ(columnOf(list(), 2).header, "Access");
    EXPECT_EQ(itemText(list(), 0, 2), "Full");
    EXPECT_EQ(itemText(list(), 1, 2), "Read-only");
    EXPECT_EQ(smallIconsOf(list()), context.SmallIconList);

    const std::vector<Row> rows = rowsOf(list());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "alpha");
    EXPECT_EQ(rows[0].second, "DEADBEEF");
    EXPECT_EQ(rows[0].image, context.IconCdromIndex);
    EXPECT_EQ(static_cast<std::uint32_t>(rows[0].data), 0xDEADBEEFu);
    EXPECT_EQ(rows[1].second, "11");
    EXPECT_EQ(rows[1].image, context.IconRemovableIndex);
}

TEST_F(TrustedMediaDialogTest, AddThroughTheAddMediaDialogTrustsThePresentMediumAndUnlistsIt) {
    policy.addMedia(0xC0FFEE, "Stick", DriveRemovable);
    platform.addDriveWithMedium('E', DriveRemovable, "Stick", 0xC0FFEE);
    openTrusted();
    addFromE();

    EXPECT_EQ(OwnedDialogDriver::owner, dialog);
    EXPECT_TRUE(policy.findTrustedMedia(0xC0FFEE, "Stick", DriveRemovable));
    EXPECT_TRUE(policy.mediaRecords().empty());
    EXPECT_FALSE(context.AddMediaToTrusted) << "the locked list is the add-media dialog's target again";
    EXPECT_EQ(rowsOf(list()).size(), 1u);
}

TEST_F(TrustedMediaDialogTest, AddAsReadOnlyTrustsThePresentMediumForReadingOnly) {
    platform.addDriveWithMedium('E', DriveRemovable, "Stick", 0xC0FFEE);
    openTrusted();
    SendDlgItemMessageA(dialog, IDC_ADD_READ_ONLY, BM_CLICK, 0, 0);
    addFromE();
    EXPECT_TRUE(policy.isTrustedReadOnly(0xC0FFEE, "Stick", DriveRemovable));
    EXPECT_FALSE(context.AddTrustedReadOnly) << "the next opener starts from full access";
    EXPECT_EQ(itemText(list(), rowWithText(list(), "Stick"), 2), "Read-only");
}

TEST_F(TrustedMediaDialogTest, DeleteRemovesTheSelectedRowAndCloseEnds) {
    policy.addTrustedMedia(0x1, "One", DriveRemovable);
    policy.addTrustedMedia(0x2, "Two", DriveCdrom);
    openTrusted();
    selectRow(list(), rowWithText(list(), "Two"));
    command(dialog, IDC_DELETE);
    ASSERT_EQ(policy.trustedRecords().size(), 1u);
    EXPECT_STREQ(policy.trustedRecords()[0].label, "One");
    EXPECT_EQ(rowsOf(list()).size(), 1u);
    command(dialog, IDC_CANCEL);
    EXPECT_FALSE(IsWindowVisible(dialog));
}

// ---------------------------------------------------------------------------
// Change Password

class ChangePasswordTest : public DialogTest {
protected:
    HWND openChange() {
        open(IDD_CHANGE_PASSWORD, changePasswordDialogProc);
        ShowWindow(dialog, SW_SHOW);
        return dialog;
    }
    void typeAndOk(const std::string& current, const std::string& fresh, const std::string& confirm) {
        SetDlgItemTextA(dialog, IDC_CURRENT_PASSWORD, current.c_str());
        SetDlgItemTextA(dialog, IDC_NEW_PASSWORD, fresh.c_str());
        SetDlgItemTextA(dialog, IDC_CONFIRM_PASSWORD, confirm.c_str());
        command(dialog, IDC_OK);
    }
    // The plaintext of the file's password record, through the protector.
    std::string savedPasswordRecord() {
        const testing::Bytes bytes = files.contents(ConfigFileName);
        for (std::size_t at = 0; at + 5 <= bytes.size();) {
            std::uint32_t length = 0;
            std::memcpy(&length, &bytes[at + 1], 4);
            if (bytes[at] == PasswordTag) {
                std::vector<std::uint8_t> plain;
                if (!protector.unprotect(&bytes[at + 5], length, plain)) return "<damaged>";
                return std::string(plain.begin(), plain.end());
            }
            at += 5 + length;
        }
        return "<none>";
    }
};

struct Refusal {
    const char* name;
    const char* current;
    const char* fresh;
    const char* confirm;
    const char* text;
    int edit;
};

class ChangePasswordRefusal : public ChangePasswordTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ChangePasswordRefusal, ShowsItsBoxSelectsTheOffendingEditAndStaysOpen) {
    const Refusal& want = GetParam();
    openChange();
    typeAndOk(want.current, want.fresh, want.confirm);
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, want.text);
    EXPECT_EQ(platform.messages()[0].caption, "Error");
    EXPECT_EQ(platform.messages()[0].type, static_cast<std::uint32_t>(MB_ICONERROR));
    EXPECT_EQ(platform.messages()[0].owner, dialog);
    DWORD from = 99, to = 0;
    SendDlgItemMessageA(dialog, want.edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(to, static_cast<DWORD>(controlText(dialog, want.edit).size()));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, want.edit));
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(policy.CurrentPassword, DefaultPassword);
    EXPECT_FALSE(files.has(ConfigFileName));
    const bool wrongCurrent = want.edit == IDC_CURRENT_PASSWORD;
    EXPECT_EQ(audit.events(), wrongCurrent ? std::vector<std::string>{"event 3100 Change Password"}
                                           : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ChangePasswordRefusal,
    ::testing::Values(Refusal{"WrongCase", "QUILLFERN", "new", "new", "Invalid Password", IDC_CURRENT_PASSWORD},
                      Refusal{"WrongBeforeEmpty", "wrong", "", "other", "Invalid Password", IDC_CURRENT_PASSWORD},
                      Refusal{"Empty", "quillfern", "", "", "The new password must not be empty", IDC_NEW_PASSWORD},
                      Refusal{"EmptyBeforeMismatch", "quillfern", "", "x", "The new password must not be empty", IDC_NEW_PASSWORD},
                      Refusal{"CaseMismatch", "quillfern", "abc", "abC", "The new passwords do not match", IDC_CONFIRM_PASSWORD},
                      Refusal{"TrailingSpace", "quillfern", "abc", "abc ", "The new passwords do not match", IDC_CONFIRM_PASSWORD}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ChangePasswordTest, A255CharacterPasswordIsSavedWithItsNulAndReplacesTheOldOne) {
    const std::string fresh(255, 'p');
    openChange();
    EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_NEW_PASSWORD, EM_GETLIMITTEXT, 0, 0), 255);
    EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), IDC_OK);
    typeAndOk(DefaultPassword, fresh, fresh);
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, "The password has been changed.");
    EXPECT_EQ(platform.messages()[0].caption, "Ventrix");
    EXPECT_EQ(platform.messages()[0].type, static_cast<std::uint32_t>(MB_ICONINFORMATION));
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(savedPasswordRecord(), fresh + '\0');
    EXPECT_TRUE(context.Control.passwordAccepts({fresh, fresh}));
    EXPECT_FALSE(context.Control.passwordAccepts({DefaultPassword, DefaultPassword}));
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3201"});
}

// As at the prompt: a wrong current password is counted before its box, so
// tries sent while the box is open meet the wait.
TEST_F(ChangePasswordTest, TriesSentWhileInvalidPasswordIsOpenAreCountedAndMeetTheWait) {
    openChange();
    int sent = 0;
    platform.onMessage = [&](const testing::ShownMessage&) {
        if (sent++ < 10) typeAndOk("guess", "n3w", "n3w");
    };
    typeAndOk("guess", "n3w", "n3w");
    EXPECT_EQ(std::count(audit.events().begin(), audit.events().end(), "event 3100 Change Password"),
              FreeWrongPasswords + 1);
    EXPECT_EQ(policy.CurrentPassword, DefaultPassword);
}

TEST_F(ChangePasswordTest, AFailedSaveSaysSoAndKeepsTheNewPasswordInMemory) {
    protector.failEveryProtect(true);
    openChange();
    typeAndOk(DefaultPassword, "n3w", "n3w");
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, "The new password could not be saved; it is used until Ventrix exits.");
    EXPECT_EQ(platform.messages()[0].caption, "Error");
    EXPECT_EQ(policy.CurrentPassword, "n3w");
    EXPECT_FALSE(files.has(ConfigFileName));
    ASSERT_EQ(audit.events().size(), 2u);
    EXPECT_EQ(audit.events()[0], "event 3201");
    EXPECT_EQ(audit.events()[1].rfind("event 5000 ", 0), 0u) << "the failed save, with the system's text";
}

TEST_F(ChangePasswordTest, EscapeClosesNothingAndCancelChangesNothing) {
    openChange();
    command(dialog, IDCANCEL);
    EXPECT_TRUE(IsWindowVisible(dialog));
    command(dialog, IDC_CANCEL);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(policy.CurrentPassword, DefaultPassword);
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(DialogTest, PromptShowsTheHintOnlyWhileThePasswordIsTheDefault) {
    auto hintVisible = [&] {
        open(IDD_LOGIN, unlockPromptProc);
        ShowWindow(dialog, SW_SHOW);
        for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            char text[64] = {};
            GetWindowTextA(child, text, sizeof text);
            if (std::string(text) == "--> The password is \"quillfern\" <--") return IsWindowVisible(child) != FALSE;
        }
        ADD_FAILURE() << "the template lost its hint";
        return false;
    };
    EXPECT_TRUE(hintVisible());
    policy.CurrentPassword = "changed";
    EXPECT_FALSE(hintVisible());
}

// The prompt as the tray opens it, against an administrator's verifier of
// a Greek passphrase: set as wide text, it must reach the check as its UTF-8.
TEST_F(DialogTest, AGreekPassphraseTypedAsWideTextOpensThePrompt) {
    PortableKeyDeriver keys;
    const std::uint8_t salt[16] = {7, 7, 7};
    PasswordVerifier verifier;
    ASSERT_TRUE(makeVerifier("\xCE\xBA\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 \xCF\x86\xCE\xAF\xCE\xBB\xCE\xB5",
                             salt, sizeof salt, MinVerifierIterations, keys, verifier));  // "καλημέρα φίλε"
    policy.Managed.verifier = verifier;
    OwnedDialogDriver::configuration = nullptr;
    OwnedDialogDriver::found = nullptr;
    OwnedDialogDriver::ticks = 0;
    OwnedDialogDriver::title = LoginTitle;
    UnicodeWindows::count = 0;
    OwnedDialogDriver::act = [](HWND prompt) {
        UnicodeWindows::note(prompt, {IDC_PASSWORD});
        SendDlgItemMessageW(prompt, IDC_PASSWORD, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(L"\u03BA\u03B1\u03BB\u03B7\u03BC\u03AD\u03C1\u03B1 \u03C6\u03AF\u03BB\u03B5"));
        command(prompt, IDC_OK);
    };
    ASSERT_NE(SetTimer(nullptr, 0, 20, OwnedDialogDriver::tick), 0u);

    openPasswordDialog(IDD_LOGIN, unlockPromptProc, nullptr);  // returns once the prompt has closed

    ASSERT_NE(OwnedDialogDriver::found, nullptr);
    EXPECT_EQ(UnicodeWindows::count, 2) << "the prompt and its edit are Unicode windows";
    EXPECT_FALSE(policy.ProtectionOn) << "the passphrase did not reach the verifier whole";
    EXPECT_TRUE(platform.messages().empty()) << "refused: " << platform.messages()[0].text;
}

// ---------------------------------------------------------------------------
// Shared list helpers

TEST(DialogSerialHex, UpperCaseWithoutPrefixOrLeadingZeros) {
    EXPECT_EQ(formatSerialHex(0), "0");
    EXPECT_EQ(formatSerialHex(0x9), "9");
    EXPECT_EQ(formatSerialHex(0xabc), "ABC");
    EXPECT_EQ(formatSerialHex(0x0ABCDEF1), "ABCDEF1");
    EXPECT_EQ(formatSerialHex(0x00100000), "100000");
    EXPECT_EQ(formatSerialHex(0xDEADBEEF), "DEADBEEF");
    EXPECT_EQ(formatSerialHex(0xFFFFFFFF), "FFFFFFFF");
}

TEST_F(DialogTest, ReadSelectedRowGivesTextAndDataOfTheSelectionOnly) {
    open(IDD_ADD_MEDIA, addMediaDialogProc);
    HWND list = GetDlgItem(dialog, IDC_PRESENT_MEDIA);
    SelectedRow none = readSelectedRow(list);
    EXPECT_FALSE(none.selected);
    EXPECT_EQ(none.text, "");
    EXPECT_EQ(none.data, 0);

    insertRow(list, "B row", 0, true, 0x22);
    insertRow(list, "A row", 0, true, 0x11);
    const std::string longText(300, 'x');
    insertRow(list, longText.c_str(), 0, true, 0x33);
    selectRow(list, rowWithText(list, "B row"));
    SelectedRow row = readSelectedRow(list);
    EXPECT_TRUE(row.selected);
    EXPECT_EQ(row.text, "B row");
    EXPECT_EQ(row.data, 0x22);

    selectRow(list, 2);
    row = readSelectedRow(list);
    EXPECT_EQ(row.text, std::string(MaxLabelLength + LongestRowMark, 'x')) << "up to the longest label and its mark";
    EXPECT_EQ(row.data, 0x33);
}

// ---------------------------------------------------------------------------
// Add-media dialog

class AddMediaDialogTest : public DialogTest {
protected:
    HWND list() const { return GetDlgItem(dialog, IDC_PRESENT_MEDIA); }

    void prepareDrives() {
        platform.addDriveWithMedium('A', DriveRemovable, "FLOPPY", 0xA);
        platform.addDriveWithMedium('C', DriveFixed, "SYSTEM", 0xC);
        platform.addDriveWithMedium('D', DriveCdrom, "DVD_DATA", 0x1234ABCD);
        platform.addDrive('E', DriveRemovable);  // no medium
        platform.addDriveWithMedium('F', DriveRemovable, "STICK", 0x00C0FFEE);
        platform.addDrive('G', DriveCdrom);  // no disc
        platform.addDriveWithMedium('H', DriveRemote, "SHARE", 0x4);
    }

    HWND openAddMedia() {
        open(IDD_ADD_MEDIA, addMediaDialogProc);
        ShowWindow(dialog, SW_SHOW);
        return dialog;
    }
};

TEST_F(AddMediaDialogTest, ListsOnlyLockableDrivesHoldingAVolume) {
    prepareDrives();
    policy.addMedia(0x1234ABCD, "DVD_DATA", DriveCdrom);  // listed media show like any other
    openAddMedia();

    const Column drive = columnOf(list(), 0);
    const Column label = columnOf(list(), 1);
    EXPECT_EQ(drive.header, "Drive");
    EXPECT_EQ(drive.width, 60);
    EXPECT_EQ(drive.format, LVCFMT_LEFT);
    EXPECT_EQ(label.header, "Label");
    EXPECT_EQ(label.width, 125);
    EXPECT_EQ(label.format, LVCFMT_CENTER);
    EXPECT_EQ(smallIconsOf(list()), context.SmallIconList);

    const std::vector<Row> rows = rowsOf(list());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "D:\\");
    EXPECT_EQ(rows[0].second, "DVD_DATA");
    EXPECT_EQ(rows[0].image, context.IconCdromIndex);
    EXPECT_EQ(static_cast<std::uint32_t>(rows[0].data), 0x1234ABCDu);
    EXPECT_EQ(rows[1].text, "F:\\");
    EXPECT_EQ(rows[1].second, "STICK");
    EXPECT_EQ(rows[1].image, context.IconRemovableIndex);
    EXPECT_EQ(rows[1].data, 0x00C0FFEE);

    // Every lockable drive's volume is released before it is identified, listed or not.
    for (const char* path : {"open \\\\.\\D: share=3", "open \\\\.\\E: share=3", "open \\\\.\\F: share=3",
                             "open \\\\.\\G: share=3"})
        EXPECT_TRUE(hasCall(platform, path)) << path;
    for (const char* path : {"open \\\\.\\A: share=3", "open \\\\.\\C: share=3", "open \\\\.\\H: share=3"})
        EXPECT_FALSE(hasCall(platform, path)) << path;
}

TEST_F(AddMediaDialogTest, AddReadsTheIdentityAfreshAndStoresTheDriveType) {
    prepareDrives();
    openAddMedia();
    // The stick is swapped for another after the listing.
    platform.addDriveWithMedium('F', DriveRemovable, "SWAPPED", 0x42);
    selectRow(list(), rowWithText(list(), "F:\\"));
    command(dialog, IDC_ADD);

    EXPECT_FALSE(IsWindowVisible(dialog));
    ASSERT_EQ(policy.mediaRecords().size(), 1u);
    EXPECT_TRUE(policy.findMedia(0x42, "SWAPPED", DriveRemovable));
}

TEST_F(AddMediaDialogTest, AddFromACdromDriveStoresType5AndAddsNoDuplicate) {
    prepareDrives();
    policy.addMedia(0x1234ABCD, "dvd_data", DriveCdrom);
    openAddMedia();
    selectRow(list(), rowWithText(list(), "D:\\"));
    command(dialog, IDC_ADD);
    EXPECT_EQ(policy.mediaRecords().size(), 1u) << "the same medium is already listed";

    policy.removeMedia(0x1234ABCD, "DVD_DATA");
    open(IDD_ADD_MEDIA, addMediaDialogProc);
    selectRow(list(), rowWithText(list(), "D:\\"));
    command(dialog, IDC_ADD);
    EXPECT_TRUE(policy.findMedia(0x1234ABCD, "DVD_DATA", DriveCdrom));
}

TEST_F(AddMediaDialogTest, AddOfAMediumTakenOutAddsNothingAndCloses) {
    prepareDrives();
    openAddMedia();
    platform.addDrive('F', DriveRemovable);  // the stick is gone
    selectRow(list(), rowWithText(list(), "F:\\"));
    command(dialog, IDC_ADD);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_TRUE(policy.mediaRecords().empty());
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(AddMediaDialogTest, AddWithoutSelectionCancelAndCloseAddNothing) {
    prepareDrives();
    openAddMedia();
    EXPECT_EQ(LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), IDC_ADD);
    command(dialog, IDCANCEL);  // Escape
    EXPECT_TRUE(IsWindowVisible(dialog));
    command(dialog, IDC_ADD);
    EXPECT_FALSE(IsWindowVisible(dialog));

    openAddMedia();
    selectRow(list(), 0);
    command(dialog, IDC_CANCEL);
    EXPECT_FALSE(IsWindowVisible(dialog));

    openAddMedia();
    selectRow(list(), 0);
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_TRUE(policy.mediaRecords().empty());
}

// ---------------------------------------------------------------------------
// About dialog and its link

std::vector<std::string> openedAddresses;
void recordOpen(const char* address) { openedAddresses.emplace_back(address); }

class AboutDialogTest : public DialogTest {
protected:
    HDC dc = nullptr;

    void SetUp() override {
        DialogTest::SetUp();
        openedAddresses.clear();
        setLinkOpener(recordOpen);
        dc = CreateCompatibleDC(nullptr);
    }
    void TearDown() override {
        DeleteDC(dc);
        setLinkOpener(nullptr);
        DialogTest::TearDown();
    }

    HWND link() const { return GetDlgItem(dialog, IDC_LINK); }

    // The dialog's answer to a static control's colour request.
    LRESULT colourAnswer(HWND control) {
        SetTextColor(dc, RGB(1, 2, 3));
        return SendMessageA(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
    }

    LOGFONTA selectedFont() {
        LOGFONTA font{};
        GetObjectA(GetCurrentObject(dc, OBJ_FONT), sizeof font, &font);
        return font;
    }

    void expectPlainBlue() {
        EXPECT_EQ(colourAnswer(link()), reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
        EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 200));
        EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_BTNFACE));
        const LOGFONTA font = selectedFont();
        EXPECT_EQ(font.lfUnderline, 0);
        EXPECT_STREQ(font.lfFaceName, "Microsoft Sans Serif");
        EXPECT_EQ(font.lfHeight, -11);
    }

    void expectUnderlinedRed() {
        EXPECT_EQ(colourAnswer(link()), reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
        EXPECT_EQ(GetTextColor(dc), RGB(200, 0, 0));
        const LOGFONTA font = selectedFont();
        EXPECT_EQ(font.lfUnderline, 1);
        EXPECT_STREQ(font.lfFaceName, "Microsoft Sans Serif");
    }

    void hover() { SendMessageA(link(), WM_MOUSEMOVE, 0, MAKELPARAM(2, 2)); }
    void leave() { SendMessageA(link(), WM_MOUSELEAVE, 0, 0); }
};

TEST_F(AboutDialogTest, LinkIsBlueUntilHoveredRedAndUnderlinedWhileHoveredAndBlueAgainAfter) {
    open(IDD_ABOUT, aboutDialogProc);
    leave();  // the hover state outlives a box; start from "not hovered"
    expectPlainBlue();

    hover();
    expectUnderlinedRed();
    EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, MAKEINTRESOURCEA(32649))) << "hand cursor over the link";
    hover();  // every move over the link, not only the first
    expectUnderlinedRed();

    leave();
    expectPlainBlue();
}

TEST_F(AboutDialogTest, OtherStaticsKeepTheSystemColours) {
    open(IDD_ABOUT, aboutDialogProc);
    hover();
    HWND description = nullptr;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[128] = {};
        GetWindowTextA(child, text, sizeof text);
        if (std::string(text).rfind("Ventrix allows you", 0) == 0) description = child;
    }
    ASSERT_NE(description, nullptr);
    colourAnswer(description);
    EXPECT_NE(GetTextColor(dc), RGB(200, 0, 0));
    EXPECT_NE(GetTextColor(dc), RGB(0, 0, 200));
    EXPECT_EQ(selectedFont().lfUnderline, 0);
    leave();
}

TEST_F(AboutDialogTest, LinkIsNotifyingAndClickOrDoubleClickOpensTheAddress) {
    open(IDD_ABOUT, aboutDialogProc);
    char text[64] = {};
    GetWindowTextA(link(), text, sizeof text);
    EXPECT_STREQ(text, "ventrix.example");
    EXPECT_NE(std::string(LinkAddress).find(text), std::string::npos) << "the link opens what it shows";
    EXPECT_TRUE(GetWindowLongA(link(), GWL_STYLE) & SS_NOTIFY);
    EXPECT_EQ(GetWindowLongPtrA(link(), GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(hyperlinkProc));

    command(dialog, IDC_LINK, STN_CLICKED);
    command(dialog, IDC_LINK, STN_DBLCLK);
    ASSERT_EQ(openedAddresses.size(), 2u);
    EXPECT_EQ(openedAddresses[0], LinkAddress);
    EXPECT_EQ(openedAddresses[1], LinkAddress);

    // Id 1015 from some other window opens nothing.
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_LINK, STN_CLICKED), reinterpret_cast<LPARAM>(dialog));
    EXPECT_EQ(openedAddresses.size(), 2u);

    // A real button press on the control reaches the dialog as a click.
    SendMessageA(link(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageA(link(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    EXPECT_EQ(openedAddresses.size(), 3u);
    leave();
}

TEST_F(AboutDialogTest, ASecondOpeningAttachesTheLinkToItsOwnControl) {
    open(IDD_ABOUT, aboutDialogProc);
    HWND first = dialog;
    SendMessageA(first, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(first));
    DestroyWindow(first);

    open(IDD_ABOUT, aboutDialogProc);
    ASSERT_NE(dialog, first);
    EXPECT_EQ(GetWindowLongPtrA(link(), GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(hyperlinkProc));
    hover();
    expectUnderlinedRed();
    leave();
    expectPlainBlue();
    command(dialog, IDC_LINK);
    EXPECT_EQ(openedAddresses.size(), 1u);
}

TEST_F(AboutDialogTest, EnterAndEscapeDoNotCloseTheBoxButTheCloseBoxDoes) {
    open(IDD_ABOUT, aboutDialogProc);
    EXPECT_TRUE(IsWindowVisible(dialog));
    char title[64] = {};
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_STREQ(title, AboutTitle);
    command(dialog, IDOK);
    command(dialog, IDCANCEL);
    EXPECT_TRUE(IsWindowVisible(dialog));
    SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindowVisible(dialog));
}

}  // namespace
}  // namespace ventrix
