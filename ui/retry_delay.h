// The wait after wrong passwords, as a password dialog shows it: the
// password edit and OK are disabled and a line of their own counts the
// seconds down. A timer drives it; nothing blocks, so arrivals, the tray and
// Lock go on meanwhile.
#pragma once

#include <windows.h>

namespace ventrix {

inline constexpr UINT_PTR RetryDelayTimer = 0x5245;  // on the dialog's own window

// Where a dialog shows the wait: its password edit, its OK button and the
// line's place in dialog units.
struct RetryDelayControls {
    int edit;
    int ok;
    RECT line;
};

// The wait the policy answered with (0: none) runs from now; the policy
// counts every try itself, so this only times what the prompts show.
void noteRetryWait(DWORD ms);
// A dialog opened while a wait still runs shows the rest of it.
void showRunningRetryDelay(HWND dialog, const RetryDelayControls& controls);
// True while a wait runs: an OK then (typed, or sent by another program) is no try.
bool retryDelayRunning();
// WM_TIMER of the dialog: counts down, and gives the controls back at the end.
void retryDelayTick(HWND dialog, WPARAM timer, const RetryDelayControls& controls);

}  // namespace ventrix
