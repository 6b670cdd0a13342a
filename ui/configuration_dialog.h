// The "Ventrix" configuration dialog: drive flags and the locked-media list.
// It edits the in-memory tables directly; only Apply enforces and saves.
#pragma once

#include <windows.h>

#include <vector>

#include "control/policy_access.h"

namespace ventrix {

INT_PTR CALLBACK configurationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Rebuilds the given drives list from the drive lock table; the rows shown.
std::vector<DriveRow> fillDriveList(HWND list);
// Rebuilds the dialog's locked-media list from the media table.
void fillMediaList(HWND dialog);
// Removes the medium of the selected media row, then rebuilds the list.
void deleteSelectedMedia(HWND dialog);

}  // namespace ventrix
