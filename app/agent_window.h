// The hidden agent window: tray icon, tray menu, commands and device arrivals.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK agentDialogProc(HWND agent, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ventrix
