#include "ui/configuration_dialog.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/add_media_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/list_view.h"
#include "ui/managed_rows.h"
#include "ui/trusted_media_dialog.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

constexpr const char* LockedText = "Locked";
constexpr const char* UnlockedText = "Unlocked";
constexpr const char* PolicyLockedText = "Locked (policy)";
constexpr const char* ReadOnlyText = "Read-only";
constexpr const char* PolicyReadOnlyText = "Read-only (policy)";

const char* stateText(const DriveRow& drive) {
    if (drive.byPolicy) return PolicyLockedText;
    if (drive.locked) return LockedText;
    if (drive.readOnlyByPolicy) return PolicyReadOnlyText;
    return drive.readOnly ? ReadOnlyText : UnlockedText;
}

// The drive "Read-only" applies to: the letter of the row last clicked, kept
// with the dialog (the rebuild after a click leaves no row selected); 0 none.
char clickedDrive(HWND dialog) { return static_cast<char>(GetWindowLongPtrA(dialog, DWLP_USER)); }
void rememberClickedDrive(HWND dialog, const std::string& root) {
    SetWindowLongPtrA(dialog, DWLP_USER, root.empty() ? 0 : static_cast<unsigned char>(root[0]));
}

const DriveRow* findDrive(const std::vector<DriveRow>& drives, char letter) {
    for (const DriveRow& drive : drives)
        if (letter != 0 && !drive.root.empty() && drive.root[0] == letter) return &drive;
    return nullptr;
}

// The owner decides the flag of an unlocked drive the administrator neither
// locks nor makes read-only.
bool ownerDecidesReadOnly(const DriveRow* drive) {
    return drive && !drive->locked && !drive->byPolicy && !drive->readOnlyByPolicy;
}

// The box shows the clicked drive's own flag, enabled only where it counts.
void showReadOnlyBox(HWND dialog, const std::vector<DriveRow>& drives) {
    const DriveRow* drive = findDrive(drives, clickedDrive(dialog));
    CheckDlgButton(dialog, IDC_DRIVE_READ_ONLY, drive && drive->readOnly ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(dialog, IDC_DRIVE_READ_ONLY), ownerDecidesReadOnly(drive));
}

void refreshDrives(HWND dialog) { showReadOnlyBox(dialog, fillDriveList(GetDlgItem(dialog, IDC_DRIVES))); }

void setWindowIcons(HWND dialog) {
    HINSTANCE module = app().module;
    HICON big = LoadIconA(module, MAKEINTRESOURCEA(IDI_APP));
    HICON small = LoadIconA(module, MAKEINTRESOURCEA(IDI_LOCKED));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
}

void onInitDialog(HWND dialog) {
    SetForegroundWindow(dialog);
    setWindowIcons(dialog);

    HWND drives = GetDlgItem(dialog, IDC_DRIVES);
    useSmallIcons(drives, app().SmallIconList);
    insertColumn(drives, 0, LVCFMT_LEFT, 60, "Drive");
    insertColumn(drives, 1, LVCFMT_CENTER, 83, "State");
    rememberClickedDrive(dialog, {});
    refreshDrives(dialog);

    HWND media = GetDlgItem(dialog, IDC_MEDIA);
    insertColumn(media, 0, LVCFMT_LEFT, 200, "Etiqueta");
    useSmallIcons(media, app().SmallIconList);
    fillMediaList(dialog);
}

void showMediumInformation(HWND dialog, const SelectedRow& row) {
    SetDlgItemTextA(dialog, IDC_SERIAL, formatSerialHex(static_cast<std::uint32_t>(row.data)).c_str());
    SetDlgItemTextA(dialog, IDC_LABEL, row.text.c_str());
}

// The rebuild leaves no row selected, so the click notification that follows
// a selection change finds nothing to toggle: one click toggles once. A drive
// the administrator locks stays so; its row says why.
void toggleDrive(HWND dialog, const SelectedRow& row) {
    if (row.selected) {
        app().access().toggleDrive(row.text);
        rememberClickedDrive(dialog, row.text);
    }
    refreshDrives(dialog);
}

void onNotify(HWND dialog, const NMHDR& header) {
    if (header.code != LVN_ITEMCHANGED && header.code != static_cast<UINT>(NM_CLICK)) return;
    HWND list = GetDlgItem(dialog, static_cast<int>(header.idFrom));
    const SelectedRow row = readSelectedRow(list);
    if (header.idFrom == IDC_MEDIA && row.data != 0)
        showMediumInformation(dialog, row);
    else if (header.idFrom == IDC_DRIVES)
        toggleDrive(dialog, row);
}

// The flag turns over for the drive last clicked, read afresh; like a toggle,
// it takes effect at Apply.
void onReadOnly(HWND dialog) {
    const std::vector<DriveRow> drives = app().access().drives();
    const DriveRow* drive = findDrive(drives, clickedDrive(dialog));
    if (ownerDecidesReadOnly(drive)) app().access().setDriveReadOnly(drive->root, !drive->readOnly);
    refreshDrives(dialog);
}

void onAdd(HWND dialog) {
    openDialog(IDD_ADD_MEDIA, addMediaDialogProc, dialog);
    fillMediaList(dialog);
}

// Trusting a medium takes it off the locked list, so that list is shown afresh.
void onTrusted(HWND dialog) {
    openDialog(IDD_TRUSTED_MEDIA, trustedMediaDialogProc, dialog);
    fillMediaList(dialog);
}

void onApply(HWND dialog) {
    app().access().apply();
    EndDialog(dialog, DialogResult);
}

void onChangePassword(HWND dialog) {
    if (app().access().status().verifierSet) {
        app().showMessage(dialog, "The password is set by your administrator.", "Ventrix", MB_ICONINFORMATION);
        return;
    }
    openPasswordDialog(IDD_CHANGE_PASSWORD, changePasswordDialogProc, dialog);
}

void onCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDC_ADD: onAdd(dialog); break;
    case IDC_DELETE: deleteSelectedMedia(dialog); break;
    case IDC_APPLY: onApply(dialog); break;
    case IDC_CANCEL: EndDialog(dialog, DialogResult); break;
    case IDC_CHANGE_PASSWORD: onChangePassword(dialog); break;
    case IDC_TRUSTED: onTrusted(dialog); break;
    case IDC_DRIVE_READ_ONLY: onReadOnly(dialog); break;
    }
}

}  // namespace

INT_PTR CALLBACK configurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: onInitDialog(dialog); break;
    case WM_NOTIFY: onNotify(dialog, *reinterpret_cast<const NMHDR*>(lParam)); break;
    case WM_COMMAND: onCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE:
    case WM_DESTROY: EndDialog(dialog, DialogResult); break;
    }
    return FALSE;
}

std::vector<DriveRow> fillDriveList(HWND list) {
    const AppContext& context = app();
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    std::vector<DriveRow> drives = app().access().drives();
    for (const DriveRow& drive : drives) {
        const int image = drive.locked || drive.byPolicy ? context.IconLockedIndex : context.IconUnlockedIndex;
        const int row = insertRow(list, drive.root.c_str(), image, false, 0);
        setSubItemText(list, row, 1, stateText(drive));
    }
    return drives;
}

void fillMediaList(HWND dialog) {
    fillMediaRows(GetDlgItem(dialog, IDC_MEDIA), app().access().media(MediaList::Locked), false);
}

void deleteSelectedMedia(HWND dialog) {
    deleteRowsMedium(dialog, readSelectedRow(GetDlgItem(dialog, IDC_MEDIA)), MediaList::Locked);
    fillMediaList(dialog);
}

}  // namespace ventrix
