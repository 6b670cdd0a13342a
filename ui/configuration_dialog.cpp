#include "ui/configuration_dialog.h"

#include <commctrl.h>

#include <string>

#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/add_media_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/list_view.h"
#include "ui/managed_rows.h"
#include "ui/trusted_media_dialog.h"

namespace ventrix {
namespace {

constexpr const char* LockedText = "Locked";
constexpr const char* UnlockedText = "Unlocked";
constexpr const char* PolicyLockedText = "Locked (policy)";

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
    fillDriveList(drives);

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
// a selection change finds nothing to toggle: one click toggles once.
void toggleDrive(HWND list, const SelectedRow& row) {
    PolicyTables& policy = app().policy;
    // A drive the administrator locks stays so; its row says why.
    if (row.selected && app().enforcement.lockedByPolicy(row.text)) return fillDriveList(list);
    const std::string state = policy.driveStateText(row.text);
    if (state == LockedText)
        policy.setDriveLocked(row.text, false);
    else if (state == UnlockedText)
        policy.setDriveLocked(row.text, true);
    fillDriveList(list);
}

void onNotify(HWND dialog, const NMHDR& header) {
    if (header.code != LVN_ITEMCHANGED && header.code != static_cast<UINT>(NM_CLICK)) return;
    HWND list = GetDlgItem(dialog, static_cast<int>(header.idFrom));
    const SelectedRow row = readSelectedRow(list);
    if (header.idFrom == IDC_MEDIA && row.data != 0)
        showMediumInformation(dialog, row);
    else if (header.idFrom == IDC_DRIVES)
        toggleDrive(list, row);
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

void reportApplied() {
    const PolicyTables& policy = app().policy;
    const std::size_t locked = policy.lockedDriveCount();
    const std::size_t unlocked = policy.driveEntries().size() - locked;
    app().report(AuditEvent::ConfigurationApplied,
                 {std::to_string(locked), std::to_string(unlocked), std::to_string(policy.mediaRecords().size())});
}

void onApply(HWND dialog) {
    app().enforcement.applyPolicy();
    reportApplied();
    EndDialog(dialog, DialogResult);
}

void onChangePassword(HWND dialog) {
    if (app().policy.Managed.verifier) {
        app().showMessage(dialog, "The password is set by your administrator.", "Ventrix", MB_ICONINFORMATION);
        return;
    }
    openDialog(IDD_CHANGE_PASSWORD, changePasswordDialogProc, dialog);
}

void onCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDC_ADD: onAdd(dialog); break;
    case IDC_DELETE: deleteSelectedMedia(dialog); break;
    case IDC_APPLY: onApply(dialog); break;
    case IDC_CANCEL: EndDialog(dialog, DialogResult); break;
    case IDC_CHANGE_PASSWORD: onChangePassword(dialog); break;
    case IDC_TRUSTED: onTrusted(dialog); break;
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

void fillDriveList(HWND list) {
    const AppContext& context = app();
    PolicyTables& policy = context.policy;
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    policy.resetDriveCursor();
    std::string root;
    std::uint32_t locked = 0;
    while (policy.nextDrive(root, &locked)) {
        const bool byPolicy = context.enforcement.lockedByPolicy(root);
        const int image = locked || byPolicy ? context.IconLockedIndex : context.IconUnlockedIndex;
        const int row = insertRow(list, root.c_str(), image, false, 0);
        setSubItemText(list, row, 1, byPolicy ? PolicyLockedText : locked ? LockedText : UnlockedText);
    }
}

void fillMediaList(HWND dialog) {
    const AppContext& context = app();
    PolicyTables& policy = context.policy;
    HWND list = GetDlgItem(dialog, IDC_MEDIA);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    policy.resetMediaCursor();
    std::uint32_t serial = 0;
    std::uint32_t driveType = 0;
    std::string label;
    while (policy.nextMedia(serial, label, driveType)) {
        const int image = driveType == DRIVE_CDROM ? context.IconCdromIndex : context.IconRemovableIndex;
        insertRow(list, label.c_str(), image, true, static_cast<LPARAM>(serial));
    }
    appendManagedRows(list, policy.Managed.lockedMedia, false);
}

void deleteSelectedMedia(HWND dialog) {
    deleteRowsMedium(dialog, readSelectedRow(GetDlgItem(dialog, IDC_MEDIA)), MediaList::Locked);
    fillMediaList(dialog);
}

}  // namespace ventrix
