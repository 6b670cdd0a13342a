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

using Ask = PasswordAnswer (*)(const TypedPassword& typed);
using SuccessAction = void (*)(HWND prompt);

// What tells the prompts apart: whom the password goes to, and what a right
// one does here.
struct PromptVariant {
    bool takeFocus;
    Ask ask;
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
void hideHintUnlessDefault(HWND prompt, const PolicyStatus& status) {
    if (status.defaultPassword && !status.verifierSet) return;
    for (HWND child = GetWindow(prompt, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[64] = {};
        GetWindowTextA(child, text, sizeof text);
        if (std::strncmp(text, HintPrefix, std::strlen(HintPrefix)) == 0) ShowWindow(child, SW_HIDE);
    }
}

// Unlock and Unlock for: the policy has done all; the prompt goes.
void closePrompt(HWND prompt) { DestroyWindow(prompt); }

// Exit ends this program. Where the service keeps protection, its user is
// told so; else the locked drives are released, as always at exit.
void exitSucceeded(HWND prompt) {
    AppContext& context = app();
    DestroyWindow(prompt);
    if (context.access().protectionOutlivesExit())
        context.showMessage(nullptr, "Protection stays on: the Ventrix service keeps it.", "Ventrix",
                            MB_ICONINFORMATION);
    Shell_NotifyIconA(NIM_DELETE, &context.TrayIconData);
    context.access().releaseForExit();
    DestroyWindow(findOwnWindow(AgentTitle));
}

void configureSucceeded(HWND prompt) {
    DestroyWindow(prompt);
    openDialog(IDD_CONFIGURATION, configurationDialogProc, GetDesktopWindow());
    app().access().closeConfiguration();
}

void onOk(HWND prompt, const PromptVariant& variant) {
    if (retryDelayRunning()) return;  // an OK while waiting is no try, whoever sends it
    const PasswordAnswer answer = variant.ask(readTypedPassword(prompt, IDC_PASSWORD));
    noteRetryWait(answer.waitMs);
    switch (answer.outcome) {
    case PasswordOutcome::Right: return variant.succeeded(prompt);
    case PasswordOutcome::Wrong:
        app().showMessage(prompt, "Invalid Password", "Error", MB_ICONERROR);
        SendDlgItemMessageA(prompt, IDC_PASSWORD, EM_SETSEL, 0, -1);
        return showRunningRetryDelay(prompt, PromptDelay);
    case PasswordOutcome::Wait: return showRunningRetryDelay(prompt, PromptDelay);
    default: return closePrompt(prompt);  // nothing may be unlocked now, or nobody answers
    }
}

INT_PTR promptProc(HWND prompt, UINT message, WPARAM wParam, const PromptVariant& variant) {
    switch (message) {
    case WM_INITDIALOG: {
        const PolicyStatus status = app().access().status();
        hideHintUnlessDefault(prompt, status);
        if (variant.takeFocus) {
            SetForegroundWindow(prompt);
            SetFocus(prompt);
        }
        noteRetryWait(status.retryWaitMs);
        showRunningRetryDelay(prompt, PromptDelay);
        break;
    }
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

void closeUnlockPrompt() {
    HWND login = findOwnWindow(LoginTitle);
    if (!login) return;
    // A Unicode dialog's procedure reads back as itself only through the wide call.
    const LONG_PTR raw = IsWindowUnicode(login) ? GetWindowLongPtrW(login, DWLP_DLGPROC)
                                                : GetWindowLongPtrA(login, DWLP_DLGPROC);
    const auto procedure = reinterpret_cast<DLGPROC>(raw);
    if (procedure == unlockPromptProc || procedure == timedUnlockPromptProc) DestroyWindow(login);
}

HWND findOwnWindow(const char* title) {
    OwnWindowSearch search{title, nullptr};
    EnumWindows(matchOwnWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

INT_PTR CALLBACK unlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant unlock{
        true, [](const TypedPassword& typed) { return app().access().unlock(typed, 0); }, closePrompt};
    return promptProc(prompt, message, wParam, unlock);
}

INT_PTR CALLBACK timedUnlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant timedUnlock{
        true, [](const TypedPassword& typed) { return app().access().unlock(typed, app().PendingUnlockMinutes); },
        closePrompt};
    return promptProc(prompt, message, wParam, timedUnlock);
}

INT_PTR CALLBACK exitPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant exit{
        false, [](const TypedPassword& typed) { return app().access().checkExit(typed); }, exitSucceeded};
    return promptProc(prompt, message, wParam, exit);
}

INT_PTR CALLBACK configurePromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM) {
    static constexpr PromptVariant configure{
        true, [](const TypedPassword& typed) { return app().access().openConfiguration(typed); }, configureSucceeded};
    return promptProc(prompt, message, wParam, configure);
}

}  // namespace ventrix
