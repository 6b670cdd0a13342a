// The about box with its hover-underlined web link.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ventrix
