// The media lists as the dialogs show them: the PC's own media, then the
// administrator's with their labels marked, which are never deleted here.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "control/policy_access.h"
#include "ui/list_view.h"

namespace ventrix {

inline constexpr const char* ManagedMark = " (managed)";
static_assert(std::char_traits<char>::length(ManagedMark) <= LongestRowMark);

inline constexpr const char* FullAccessText = "Full";
inline constexpr const char* ReadOnlyAccessText = "Read-only";

// Replaces the list's rows; with trustedColumns the serial goes in column 1
// and the access ("Full" or "Read-only") in column 2.
void fillMediaRows(HWND list, const std::vector<MediumRow>& rows, bool trustedColumns);

// Delete on a media list: the PC's own medium of the selected row goes (its
// text and serial pick it exactly); an administrator's stays, and the owner
// is told why.
void deleteRowsMedium(HWND owner, const SelectedRow& row, MediaList which);

}  // namespace ventrix
