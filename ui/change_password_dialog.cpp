#include "ui/change_password_dialog.h"

#include <cstring>

#include "app/app_context.h"
#include "policy/config_file.h"
#include "resources/resource.h"
#include "ui/password_prompt.h"
#include "ui/retry_delay.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

constexpr int PasswordEdits[] = {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD};
constexpr WPARAM MaxPasswordLength = 255;
// The wait after wrong passwords shows between the edits and the buttons.
constexpr RetryDelayControls ChangeDelay{IDC_CURRENT_PASSWORD, IDC_OK, {7, 52, 179, 60}};

// One typed password, wiped when it goes out of scope.
struct Typed {
    char text[MaxPasswordLength + 1] = {};
    Typed(HWND dialog, int id) { GetDlgItemTextA(dialog, id, text, sizeof text); }
    ~Typed() { SecureZeroMemory(text, sizeof text); }
};

void onInitDialog(HWND dialog) {
    for (int id : PasswordEdits) SendDlgItemMessageA(dialog, id, EM_LIMITTEXT, MaxPasswordLength, 0);
    SetFocus(GetDlgItem(dialog, IDC_CURRENT_PASSWORD));
    showRunningRetryDelay(dialog, ChangeDelay);
}

// The box, then the offending edit's whole text selected and focused.
void refuse(HWND dialog, int id, const char* text) {
    app().showMessage(dialog, text, "Error", MB_ICONERROR);
    SendDlgItemMessageA(dialog, id, EM_SETSEL, 0, -1);
    SetFocus(GetDlgItem(dialog, id));
}

void changeTo(HWND dialog, const char* password) {
    AppContext& context = app();
    context.policy.CurrentPassword = password;
    context.report(AuditEvent::PasswordChanged);
    // Kept in memory even when the save fails: the next save writes it.
    if (context.config.saveConfiguration(ConfigFileName, context.policy.CurrentPassword)) {
        context.showMessage(dialog, "The password has been changed.", "Ventrix", MB_ICONINFORMATION);
    } else {
        context.showMessage(dialog, "The new password could not be saved; it is used until Ventrix exits.",
                            "Error", MB_ICONERROR);
    }
    EndDialog(dialog, DialogResult);
}

void onOk(HWND dialog) {
    if (retryDelayRunning()) return;
    const Typed fresh(dialog, IDC_NEW_PASSWORD);
    const Typed confirm(dialog, IDC_CONFIRM_PASSWORD);
    const bool known = checkPassword(readTypedPassword(dialog, IDC_CURRENT_PASSWORD));
    if (known) app().Guard.recordRight();
    if (!known) {
        countWrongPassword();
        app().report(AuditEvent::WrongPassword, {"Change Password"});
        refuse(dialog, IDC_CURRENT_PASSWORD, "Invalid Password");
        showRunningRetryDelay(dialog, ChangeDelay);
    } else if (fresh.text[0] == '\0') {
        refuse(dialog, IDC_NEW_PASSWORD, "The new password must not be empty");
    } else if (std::strcmp(fresh.text, confirm.text) != 0) {
        refuse(dialog, IDC_CONFIRM_PASSWORD, "The new passwords do not match");
    } else {
        changeTo(dialog, fresh.text);
    }
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
