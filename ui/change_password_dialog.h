// "Change Password", opened from the configuration dialog: the current
// password, then the new one twice. On success the whole policy is saved.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK changePasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ventrix
