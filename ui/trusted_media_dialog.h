// The "Trusted Media" dialog: media let through drives flagged locked. Owned
// by the configuration dialog; it edits the in-memory table directly, and
// the next save stores it.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK trustedMediaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Rebuilds the dialog's list from the trusted media table.
void fillTrustedList(HWND dialog);

}  // namespace ventrix
