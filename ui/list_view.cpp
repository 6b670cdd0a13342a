#include "ui/list_view.h"

#include <cstring>

namespace ventrix {
namespace {
// Item index beyond any row: the row is appended, then placed by the sort.
constexpr int AppendIndex = 0x10000;
}  // namespace

SelectedRow readSelectedRow(HWND list) {
    // Room for the longest volume label (259 characters) and the mark of an
    // administrator's medium: a shorter buffer cut long labels, and such a
    // medium could not be found to delete (or to refuse deleting).
    char text[MaxLabelLength + 1 + LongestRowMark] = {};
    const auto selected = SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0);
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = -1;
    item.iSubItem = 0;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    item.lParam = 0;
    for (LRESULT i = 0; i < selected; ++i) {
        item.iItem = static_cast<int>(
            SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(item.iItem), LVNI_SELECTED));
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    // The control may point pszText at its own storage instead of filling ours,
    // and a truncated text may come back without its NUL (seen under Wine).
    const char* found = item.pszText ? item.pszText : "";
    return SelectedRow{selected > 0, std::string(found, strnlen(found, sizeof text - 1)), item.lParam};
}

void useSmallIcons(HWND list, HIMAGELIST icons) {
    SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(icons));
}

void insertColumn(HWND list, int index, int format, int width, const char* header) {
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<char*>(header);
    SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

int insertRow(HWND list, const char* text, int image, bool withData, LPARAM data) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE | (withData ? LVIF_PARAM : 0);
    item.iItem = AppendIndex;
    item.iSubItem = 0;
    item.pszText = const_cast<char*>(text);
    item.iImage = image;
    item.lParam = data;
    return static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void setSubItemText(HWND list, int row, int subItem, const char* text) {
    LVITEMA item{};
    item.iSubItem = subItem;
    item.pszText = const_cast<char*>(text);
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace ventrix
