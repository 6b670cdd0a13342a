// The "Add item" dialog: puts the medium now in a drive onto the locked-media
// list, or the trusted list when its opener says so. Owned by the
// configuration dialog or the Trusted Media dialog.
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK addMediaDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lists every lockable drive that holds a readable volume, with its label.
void fillPresentMediaList(HWND list);

}  // namespace ventrix
