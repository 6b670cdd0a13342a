// The "Ventrix" configuration dialog: drive flags and the locked-media list.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ventrix {

INT_PTR CALLBACK configurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ventrix
