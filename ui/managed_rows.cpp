#include "ui/managed_rows.h"

#include <string>

#include "app/app_context.h"

namespace ventrix {

void appendManagedRows(HWND list, const std::vector<ManagedMedium>& media, bool serialColumn) {
    const AppContext& context = app();
    for (const ManagedMedium& medium : media) {
        const int image = medium.driveType == DRIVE_CDROM ? context.IconCdromIndex : context.IconRemovableIndex;
        const std::string text = medium.label + ManagedMark;
        const int row = insertRow(list, text.c_str(), image, true, static_cast<LPARAM>(medium.serial));
        if (serialColumn) setSubItemText(list, row, 1, formatSerialHex(medium.serial).c_str());
    }
}

bool refuseManagedRow(HWND owner, const SelectedRow& row, const std::vector<ManagedMedium>& media) {
    if (!row.selected) return false;
    for (const ManagedMedium& medium : media) {
        if (medium.label + ManagedMark == row.text && medium.serial == static_cast<std::uint32_t>(row.data)) {
            app().showMessage(owner, "This medium is set by your administrator.", "Ventrix", MB_ICONINFORMATION);
            return true;
        }
    }
    return false;
}

}  // namespace ventrix
