// The hidden agent window: tray icon, tray menu, commands and device arrivals.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK agentDialogProc(HWND agent, UINT message, WPARAM wParam, LPARAM lParam);

// The tray icon and tip as the policy stands: the padlock while protection is
// on, the open one while off or while the service is away, the time a timed
// unlock ends in the tip.
void refreshTray();
// The icon goes and the agent window ends: the program is about to exit.
void endTray();

}  // namespace ventrix
