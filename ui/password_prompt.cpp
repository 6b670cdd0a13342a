#include "ui/password_prompt.h"

#include <cstring>
#include <string>

#include "app/agent_window.h"
#include "app/app_context.h"
#include "resources/resource.h"
#include "ui/configuration_dialog.h"
#include "ui/retry_delay.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

using SuccessAction = void (*)(HWND prompt);

// What tells the three prompts apart.
struct PromptVariant {
    const char* name;  // as the audit trail names the prompt
    bool takeFocus;
    SuccessAction succeeded;
};

constexpr const char* HintPrefix = "--> The password is ";

// The wait after wrong passwords shows between the hint and the buttons.
constexpr RetryDelayControls PromptDelay{IDC_PASSWORD, IDC_OK, {8, 32, 127, 40}};

struct OwnWindowSearch {
    const char* title;
    HWND found;
};

BOOL CALLBACK matchOwnWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<OwnWindowSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId()) return TRUE;
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    if (lstrcmpiA(title, search->title) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

// The template's hint names the default password; once the owner has set
// another one it would only mislead, so it is hidden.
void hideHintUnlessDefault(HWND prompt) {
    const PolicyTables& policy = app().policy;
    if (policy.CurrentPassword == DefaultPassword && !policy.Managed.verifier) return;
    for (HWND child = GetWindow(prompt, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[64] = {};
        GetWindowTextA(child, text, sizeof text);
        if (std::strncmp(text, HintPrefix, std::strlen(HintPrefix)) == 0) ShowWindow(child, SW_HIDE);
    }
}

void timedUnlockSucceeded(HWND prompt);

void unlockSucceeded(HWND prompt) {
    AppContext& context = app();
    // The administrator withdrew unlocking while the prompt was open.
    if (!context.policy.Managed.unlockOffered()) return (void)DestroyWindow(prompt);
    if (const auto& limit = context.policy.Managed.unlockMinutes; limit && *limit > 0) {
        context.PendingUnlockMinutes = *limit;  // the administrator allows no unlock without an end
        return timedUnlockSucceeded(prompt);
    }
    context.policy.ProtectionOn = false;
    context.report(AuditEvent::ProtectionOff);
    context.TrayIconData.hIcon = LoadIconA(context.module, MAKEINTRESOURCEA(IDI_UNLOCKED));
    Shell_NotifyIconA(NIM_MODIFY, &context.TrayIconData);
    context.enforcement.releaseAllLockedDrives();
    DestroyWindow(prompt);
}

// As Unlock, reported with its minutes, and the relock started.
void timedUnlockSucceeded(HWND prompt) {
    AppContext& context = app();
    if (!context.policy.Managed.unlockOffered()) return (void)DestroyWindow(prompt);
    const UINT minutes = cappedUnlockMinutes(context.PendingUnlockMinutes);
    context.policy.ProtectionOn = false;
    context.report(AuditEvent::ProtectionOffTimed, {std::to_string(minutes)});
    context.TrayIconData.hIcon = LoadIconA(context.module, MAKEINTRESOURCEA(IDI_UNLOCKED));
    Shell_NotifyIconA(NIM_MODIFY, &context.TrayIconData);
    context.enforcement.releaseAllLockedDrives();
    startTimedRelock(minutes);
    DestroyWindow(prompt);
}

void exitSucceeded(HWND prompt) {
    AppContext& context = app();
    DestroyWindow(prompt);
    Shell_NotifyIconA(NIM_DELETE, &context.TrayIconData);
    context.enforcement.releaseAllLockedDrives();
    DestroyWindow(findOwnWindow(AgentTitle));
}

void configureSucceeded(HWND prompt) {
    DestroyWindow(prompt);
    openDialog(IDD_CONFIGURATION, configurationDialogProc, GetDesktopWindow());
}

void onOk(HWND prompt, const PromptVariant& variant) {
    if (retryDelayRunning()) return;  // an OK while waiting is no try, whoever sends it
    const bool correct = checkPassword(readTypedPassword(prompt, IDC_PASSWORD));
    if (correct) {
        app().Guard.recordRight();
        variant.succeeded(prompt);
        return;
    }
    countWrongPassword();
    app().report(AuditEvent::WrongPassword, {variant.name});
    app().showMessage(prompt, "Invalid Password", "Error", MB_ICONERROR);
    SendDlgItemMessageA(prompt, IDC_PASSWORD, EM_SETSEL, 0, -1);
    showRunningRetryDelay(prompt, PromptDelay);
}

INT_PTR promptProc(HWND prompt, UINT message, WPARAM wParam, const PromptVariant& variant) {
    switch (message) {
    case WM_INITDIALOG:
        hideHintUnlessDefault(prompt);
        if (variant.takeFocus) {
            SetForegroundWindow(prompt);
            SetFocus(prompt);
        }
        showRunningRetryDelay(prompt, PromptDelay);
        break;
    case WM_TIMER: retryDelayTick(prompt, wParam, PromptDelay); break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_CANCEL) EndDialog(prompt, DialogResult);
        if (LOWORD(wParam) == IDC_OK) onOk(prompt, variant);
        break;
    case WM_CLOSE:
    case WM_DESTROY:
        EndDialog(prompt, DialogResult);
        break;
    }
    return FALSE;
}

}  // namespace

// While the administrator has set a verifier, it alone decides (on the
// UTF-8 text, as the verifier tool made it): the local password opens nothing.
bool checkPassword(const TypedPassword& typed) {
    AppContext& context = app();
    const auto& verifier = context.policy.Managed.verifier;
    if (!verifier) return typed.ansi == context.policy.CurrentPassword;
    static PortableKeyDeriver portable;
    return verifierAccepts(*verifier, typed.utf8, context.Keys ? *context.Keys : portable);
}

void closeUnlockPrompt() {
    HWND login = findOwnWindow(LoginTitle);
    if (!login) return;
    const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(login, DWLP_DLGPROC));
    if (procedure == unlockPromptProc || procedure == timedUnlockPromptProc) DestroyWindow(login);
}

HWND findOwnWindow(const char* title) {
    OwnWindowSearch search{title, nullptr};
    EnumWindows(matchOwnWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

INT_PTR CALLBACK unlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant unlock{"Unlock", true, unlockSucceeded};
    return promptProc(prompt, message, wParam, unlock);
}

INT_PTR CALLBACK timedUnlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant timedUnlock{"Unlock", true, timedUnlockSucceeded};
    return promptProc(prompt, message, wParam, timedUnlock);
}

INT_PTR CALLBACK exitPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant exit{"Exit", false, exitSucceeded};
    return promptProc(prompt, message, wParam, exit);
}

INT_PTR CALLBACK configurePromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant configure{"Configuration", true, configureSucceeded};
    return promptProc(prompt, message, wParam, configure);
}

}  // namespace ventrix
