#include "ui/configuration_dialog.h"

#include "app/app_context.h"
#include "resources/resource.h"

namespace ventrix {

INT_PTR CALLBACK configurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_CANCEL) EndDialog(dialog, DialogResult);
        break;
    case WM_CLOSE:
    case WM_DESTROY:
        EndDialog(dialog, DialogResult);
        break;
    }
    return FALSE;
}

}  // namespace ventrix
