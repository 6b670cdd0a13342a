#include "ui/managed_rows.h"

#include "app/app_context.h"

namespace ventrix {
namespace {

std::string rowText(const MediumRow& medium) { return medium.managed ? medium.label + ManagedMark : medium.label; }

}  // namespace

void fillMediaRows(HWND list, const std::vector<MediumRow>& rows, bool trustedColumns) {
    const AppContext& context = app();
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (const MediumRow& medium : rows) {
        const int image = medium.driveType == DRIVE_CDROM ? context.IconCdromIndex : context.IconRemovableIndex;
        const int row = insertRow(list, rowText(medium).c_str(), image, true, static_cast<LPARAM>(medium.serial));
        if (!trustedColumns) continue;
        setSubItemText(list, row, 1, formatSerialHex(medium.serial).c_str());
        setSubItemText(list, row, 2, medium.readOnly ? ReadOnlyAccessText : FullAccessText);
    }
}

void deleteRowsMedium(HWND owner, const SelectedRow& row, MediaList which) {
    if (!row.selected) return;
    AppContext& context = app();
    for (const MediumRow& medium : context.access().media(which)) {
        if (rowText(medium) != row.text || medium.serial != static_cast<std::uint32_t>(row.data)) continue;
        if (context.access().deleteMedium(which, medium) == DeleteOutcome::Managed)
            context.showMessage(owner, "This medium is set by your administrator.", "Ventrix", MB_ICONINFORMATION);
        return;
    }
}

}  // namespace ventrix
