// The hidden agent window: tray icon, tray menu, commands and device arrivals.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK agentDialogProc(HWND agent, UINT message, WPARAM wParam, LPARAM lParam);

// Protection comes back on by itself after `minutes`: the timer on the agent
// window and the tray tip naming the time. Every timed unlock starts here.
void startTimedRelock(UINT minutes);
// The minutes an unlock may last: the asked ones, or fewer where the
// administrator set UnlockMinutes.
UINT cappedUnlockMinutes(UINT minutes);

}  // namespace ventrix
