#include "ui/retry_delay.h"

#include <string>

#include "app/app_context.h"
#include "resources/resource.h"

namespace ventrix {
namespace {

constexpr UINT TickMs = 200;

std::string waitText(DWORD remainingMs) {
    const DWORD seconds = (remainingMs + 999) / 1000;
    return "Try again in " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

HWND delayLine(HWND dialog, const RetryDelayControls& controls) {
    HWND line = GetDlgItem(dialog, IDC_RETRY_DELAY);
    if (line) return line;
    // Made at run time: the dialogs' templates stay as they are.
    RECT place = controls.line;
    MapDialogRect(dialog, &place);
    line = CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_CENTER, place.left, place.top,
                           place.right - place.left, place.bottom - place.top, dialog,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_RETRY_DELAY)), app().module, nullptr);
    SendMessageA(line, WM_SETFONT, SendMessageA(dialog, WM_GETFONT, 0, 0), FALSE);
    return line;
}

void setWaiting(HWND dialog, const RetryDelayControls& controls, bool waiting) {
    EnableWindow(GetDlgItem(dialog, controls.edit), !waiting);
    EnableWindow(GetDlgItem(dialog, controls.ok), !waiting);
    ShowWindow(delayLine(dialog, controls), waiting ? SW_SHOWNA : SW_HIDE);
}

DWORD remainingWait() {
    const DWORD left = app().RetryWaitUntil - GetTickCount();
    return static_cast<LONG>(left) > 0 ? left : 0;
}

}  // namespace

bool retryDelayRunning() { return remainingWait() != 0; }

void noteRetryWait(DWORD ms) { app().RetryWaitUntil = GetTickCount() + ms; }

void showRunningRetryDelay(HWND dialog, const RetryDelayControls& controls) {
    const DWORD remaining = remainingWait();
    if (remaining == 0) return;
    SetWindowTextA(delayLine(dialog, controls), waitText(remaining).c_str());
    setWaiting(dialog, controls, true);
    SetTimer(dialog, RetryDelayTimer, TickMs, nullptr);
}


void retryDelayTick(HWND dialog, WPARAM timer, const RetryDelayControls& controls) {
    if (timer != RetryDelayTimer) return;
    const DWORD remaining = remainingWait();
    if (remaining != 0) {
        SetWindowTextA(delayLine(dialog, controls), waitText(remaining).c_str());
        return;
    }
    KillTimer(dialog, RetryDelayTimer);
    setWaiting(dialog, controls, false);
    HWND edit = GetDlgItem(dialog, controls.edit);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
}

}  // namespace ventrix
