#include "ui/add_media_dialog.h"

#include <commctrl.h>

#include <cstdint>
#include <string>

#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/list_view.h"

namespace ventrix {
namespace {

int mediaImage(std::uint32_t driveType) {
    return driveType == DRIVE_CDROM ? app().IconCdromIndex : app().IconRemovableIndex;
}

void onInitDialog(HWND dialog) {
    SetForegroundWindow(dialog);
    HWND list = GetDlgItem(dialog, IDC_PRESENT_MEDIA);
    useSmallIcons(list, app().SmallIconList);
    insertColumn(list, 0, LVCFMT_LEFT, 60, "Drive");
    insertColumn(list, 1, LVCFMT_CENTER, 125, "Label");
    fillPresentMediaList(list);
}

// The identity is read again: the medium may have been swapped since listing.
void onAdd(HWND dialog) {
    AppContext& context = app();
    const SelectedRow row = readSelectedRow(GetDlgItem(dialog, IDC_PRESENT_MEDIA));
    if (row.selected) {
        const bool trusted = context.AddMediaToTrusted;
        context.access().addMedium(trusted ? MediaList::Trusted : MediaList::Locked, row.text,
                                   trusted && context.AddTrustedReadOnly);
    }
    EndDialog(dialog, DialogResult);
}

void onCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDC_ADD: onAdd(dialog); break;
    case IDC_CANCEL: EndDialog(dialog, DialogResult); break;
    }
}

}  // namespace

INT_PTR CALLBACK addMediaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: onInitDialog(dialog); break;
    case WM_COMMAND: onCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE:
    case WM_DESTROY: EndDialog(dialog, DialogResult); break;
    }
    return FALSE;
}

void fillPresentMediaList(HWND list) {
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (const PresentMedium& medium : app().access().presentMedia()) {
        const int row =
            insertRow(list, medium.root.c_str(), mediaImage(medium.driveType), true, static_cast<LPARAM>(medium.serial));
        setSubItemText(list, row, 1, medium.label.c_str());
    }
}

}  // namespace ventrix
