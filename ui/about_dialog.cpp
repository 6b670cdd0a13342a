#include "ui/about_dialog.h"

#include "app/app_context.h"

namespace ventrix {

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE || message == WM_DESTROY) EndDialog(dialog, DialogResult);
    return FALSE;
}

}  // namespace ventrix
