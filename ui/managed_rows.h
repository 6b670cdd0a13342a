// Media set by the administrator, as the media lists show them: after the
// owner's own, their labels marked, and never deleted from here.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "policy/managed_policy.h"
#include "ui/list_view.h"

namespace ventrix {

inline constexpr const char* ManagedMark = " (managed)";
static_assert(std::char_traits<char>::length(ManagedMark) <= LongestRowMark);

// Appends a row per medium; with serialColumn the serial goes in column 1.
void appendManagedRows(HWND list, const std::vector<ManagedMedium>& media, bool serialColumn);
// True, once the owner has been told, when the row is one of those media.
bool refuseManagedRow(HWND owner, const SelectedRow& row, const std::vector<ManagedMedium>& media);

enum class MediaList { Locked, Trusted };
// Delete on a media list: the owner's medium of the selected row goes (its
// text and serial pick the record exactly; the removal applies its own
// rule); an administrator's stays, and the owner is told why.
void deleteRowsMedium(HWND owner, const SelectedRow& row, MediaList which);

}  // namespace ventrix
