#include "ui/trusted_media_dialog.h"

#include <commctrl.h>

#include <cstdint>
#include <string>

#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/add_media_dialog.h"
#include "ui/list_view.h"
#include "ui/managed_rows.h"

namespace ventrix {
namespace {

void onInitDialog(HWND dialog) {
    SetForegroundWindow(dialog);
    HWND list = GetDlgItem(dialog, IDC_TRUSTED_LIST);
    useSmallIcons(list, app().SmallIconList);
    // Three columns that fit the list without scrolling.
    insertColumn(list, 0, LVCFMT_LEFT, 120, "Label");
    insertColumn(list, 1, LVCFMT_LEFT, 70, "Serial");
    insertColumn(list, 2, LVCFMT_LEFT, 65, "Access");
    fillTrustedList(dialog);
}

// The add-media dialog serves both lists; it is told which one, and how a
// trusted medium is let through, by the context.
void onAdd(HWND dialog) {
    AppContext& context = app();
    context.AddMediaToTrusted = true;
    context.AddTrustedReadOnly = IsDlgButtonChecked(dialog, IDC_ADD_READ_ONLY) == BST_CHECKED;
    openDialog(IDD_ADD_MEDIA, addMediaDialogProc, dialog);
    context.AddMediaToTrusted = false;
    context.AddTrustedReadOnly = false;
    fillTrustedList(dialog);
}

// The row's text and serial pick the record exactly; removal then applies its own rule.
void onDelete(HWND dialog) {
    deleteRowsMedium(dialog, readSelectedRow(GetDlgItem(dialog, IDC_TRUSTED_LIST)), MediaList::Trusted);
    fillTrustedList(dialog);
}

void onCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDC_ADD: onAdd(dialog); break;
    case IDC_DELETE: onDelete(dialog); break;
    case IDC_CANCEL: EndDialog(dialog, DialogResult); break;
    }
}

}  // namespace

INT_PTR CALLBACK trustedMediaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: onInitDialog(dialog); break;
    case WM_COMMAND: onCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE:
    case WM_DESTROY: EndDialog(dialog, DialogResult); break;
    }
    return FALSE;
}

void fillTrustedList(HWND dialog) {
    fillMediaRows(GetDlgItem(dialog, IDC_TRUSTED_LIST), app().access().media(MediaList::Trusted), true);
}

}  // namespace ventrix
