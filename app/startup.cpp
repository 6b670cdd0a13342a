#include "app/startup.h"

#include <string>

#include "app/agent_window.h"
#include "resources/resource.h"
#include "ventrix_version.h"

namespace ventrix {
namespace {

int appendIcon(AppContext& context, int iconId) {
    HICON icon = static_cast<HICON>(
        LoadImageA(context.module, MAKEINTRESOURCEA(iconId), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    int index = ImageList_ReplaceIcon(context.SmallIconList, -1, icon);
    if (icon) DestroyIcon(icon);
    return index;
}

void initCommonControls() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&controls);
}

}  // namespace

void createSmallIconList(AppContext& context) {
    context.SmallIconList = ImageList_Create(16, 16, ILC_COLOR16 | ILC_MASK, 2, 0);
    if (!context.SmallIconList) return;  // every index stays -1
    context.IconLockedIndex = appendIcon(context, IDI_LOCKED);
    context.IconUnlockedIndex = appendIcon(context, IDI_UNLOCKED);
    context.IconRemovableIndex = appendIcon(context, IDI_REMOVABLE);
    context.IconCdromIndex = appendIcon(context, IDI_CDROM);
}

void reportStart(AppContext& context, bool firstRun) {
    const PolicyTables& policy = context.policy;
    context.report(AuditEvent::Started, {VENTRIX_VERSION, std::to_string(policy.lockedDriveCount()),
                                         std::to_string(policy.mediaRecords().size()), firstRun ? "first run" : ""});
    if (policy.CurrentPassword == DefaultPassword) context.report(AuditEvent::DefaultPasswordInUse);
}

void loadAndEnforce(AppContext& context) {
    PolicyTables& policy = context.policy;
    const bool firstRun = !context.config.loadConfiguration(ConfigFileName, policy.CurrentPassword);
    if (firstRun) {
        context.volumes.seedDriveTable();
        context.config.saveConfiguration(ConfigFileName, DefaultPassword);
    }
    reportStart(context, firstRun);
    context.enforcement.startupSweep();
    context.enforcement.applyPolicy();
}

int runVentrix(AppContext& context) {
    setApp(&context);
    initCommonControls();
    createSmallIconList(context);
    loadAndEnforce(context);
    DialogBoxParamA(context.module, MAKEINTRESOURCEA(IDD_AGENT), GetDesktopWindow(), agentDialogProc, 0);
    context.report(AuditEvent::Exiting);
    context.config.saveConfiguration(ConfigFileName, context.policy.CurrentPassword);
    context.config.closeConfiguration();
    ImageList_Destroy(context.SmallIconList);
    context.SmallIconList = nullptr;
    return ExitCode;
}

}  // namespace ventrix
