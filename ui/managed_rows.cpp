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

void deleteRowsMedium(HWND owner, const SelectedRow& row, MediaList which) {
    PolicyTables& policy = app().policy;
    const bool trusted = which == MediaList::Trusted;
    if (refuseManagedRow(owner, row, trusted ? policy.Managed.trustedMedia : policy.Managed.lockedMedia)) return;
    if (!row.selected) return;
    trusted ? policy.resetTrustedCursor() : policy.resetMediaCursor();
    std::uint32_t serial = 0;
    std::uint32_t driveType = 0;
    std::string label;
    while (trusted ? policy.nextTrustedMedia(serial, label, driveType) : policy.nextMedia(serial, label, driveType)) {
        if (label == row.text && serial == static_cast<std::uint32_t>(row.data)) {
            trusted ? policy.removeTrustedMedia(serial, label) : policy.removeMedia(serial, label);
            break;
        }
    }
    trusted ? policy.resetTrustedCursor() : policy.resetMediaCursor();
}

}  // namespace ventrix
