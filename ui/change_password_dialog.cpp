#include "ui/change_password_dialog.h"

#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/retry_delay.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

constexpr int PasswordEdits[] = {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD};
constexpr WPARAM MaxPasswordLength = 255;
// The wait after wrong passwords shows between the edits and the buttons.
constexpr RetryDelayControls ChangeDelay{IDC_CURRENT_PASSWORD, IDC_OK, {7, 52, 179, 60}};

void onInitDialog(HWND dialog) {
    for (int id : PasswordEdits) SendDlgItemMessageA(dialog, id, EM_LIMITTEXT, MaxPasswordLength, 0);
    SetFocus(GetDlgItem(dialog, IDC_CURRENT_PASSWORD));
    noteRetryWait(app().access().status().retryWaitMs);
    showRunningRetryDelay(dialog, ChangeDelay);
}

// The box, then the offending edit's whole text selected and focused.
void refuse(HWND dialog, int id, const char* text) {
    app().showMessage(dialog, text, "Error", MB_ICONERROR);
    SendDlgItemMessageA(dialog, id, EM_SETSEL, 0, -1);
    SetFocus(GetDlgItem(dialog, id));
}

void onOk(HWND dialog) {
    if (retryDelayRunning()) return;
    AppContext& context = app();
    const ChangeAnswer answer =
        context.access().changePassword(readTypedPassword(dialog, IDC_CURRENT_PASSWORD),
                                        readTypedPassword(dialog, IDC_NEW_PASSWORD),
                                        readTypedPassword(dialog, IDC_CONFIRM_PASSWORD));
    noteRetryWait(answer.waitMs);
    switch (answer.outcome) {
    case ChangeOutcome::Wrong:
        refuse(dialog, IDC_CURRENT_PASSWORD, "Invalid Password");
        return showRunningRetryDelay(dialog, ChangeDelay);
    case ChangeOutcome::Wait: return showRunningRetryDelay(dialog, ChangeDelay);
    case ChangeOutcome::Empty: return refuse(dialog, IDC_NEW_PASSWORD, "The new password must not be empty");
    case ChangeOutcome::Mismatch: return refuse(dialog, IDC_CONFIRM_PASSWORD, "The new passwords do not match");
    case ChangeOutcome::Changed:
        context.showMessage(dialog, "The password has been changed.", "Ventrix", MB_ICONINFORMATION);
        break;
    case ChangeOutcome::NotSaved:
        context.showMessage(dialog, "The new password could not be saved; it is used until Ventrix exits.", "Error",
                            MB_ICONERROR);
        break;
    case ChangeOutcome::SetByAdministrator:
        context.showMessage(dialog, "The password is set by your administrator.", "Ventrix", MB_ICONINFORMATION);
        break;
    case ChangeOutcome::NoAnswer: break;
    }
    EndDialog(dialog, DialogResult);
}

}  // namespace

INT_PTR CALLBACK changePasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: onInitDialog(dialog); break;
    case WM_TIMER: retryDelayTick(dialog, wParam, ChangeDelay); break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_OK) onOk(dialog);
        if (LOWORD(wParam) == IDC_CANCEL) EndDialog(dialog, DialogResult);
        break;
    case WM_CLOSE:
    case WM_DESTROY: EndDialog(dialog, DialogResult); break;
    }
    return FALSE;
}

}  // namespace ventrix
