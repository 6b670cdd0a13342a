// Small helpers over the list-view messages that the configuration and
// add-media dialogs share.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "volume/volume_ops.h"  // formatSerialHex

namespace ventrix {

// The longest text a row adds to a label: " (managed)".
inline constexpr std::size_t LongestRowMark = 10;

struct SelectedRow {
    bool selected = false;
    std::string text;  // empty when no row is selected
    LPARAM data = 0;   // item data of the row, 0 when none is selected
};

// Text (up to the longest volume label and its mark) and item data of the selected row.
SelectedRow readSelectedRow(HWND list);

// LVM_SETIMAGELIST with the shared small icons.
void useSmallIcons(HWND list, HIMAGELIST icons);

// LVM_INSERTCOLUMNA with format, width and header.
void insertColumn(HWND list, int index, int format, int width, const char* header);

// Appends a row (the list's sort places it) and returns its index. The item
// data is set only when withData is true.
int insertRow(HWND list, const char* text, int image, bool withData, LPARAM data);

// LVM_SETITEMTEXTA on one sub-item of a row.
void setSubItemText(HWND list, int row, int subItem, const char* text);

}  // namespace ventrix
