#include "app/startup.h"

#include <cstdint>
#include <string>

#include "app/agent_window.h"
#include "resources/resource.h"
#include "ventrix_version.h"

namespace ventrix {
namespace {

constexpr const char* AlreadyRunning = "Ventrix is already running.";
// The second insertion of event 5100: why the value is not taken as it stands.
constexpr const char* MalformedNote = "is malformed and is ignored";
constexpr const char* UnreadableNote = "could not be read; the value read before stays in force";
constexpr const char* HandsOffNote =
    " The file is there but could not be opened at start-up; it is left as it is, and every drive is locked"
    " until Ventrix is started again.";

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
    if (policy.CurrentPassword == DefaultPassword && !policy.Managed.verifier) {
        context.report(AuditEvent::DefaultPasswordInUse);
    }
}

void loadAndEnforce(AppContext& context) {
    PolicyTables& policy = context.policy;
    ConfigFile& config = context.config;
    const bool loaded = config.loadConfiguration(ConfigFileName, policy.CurrentPassword);
    if (!loaded) {
        context.volumes.seedDriveTable();
        if (config.handsOff()) {
            // Someone else has the owner's file: every drive is locked as on
            // a first run, and nothing this run knows may replace that file.
            context.report(AuditEvent::SaveFailed, {config.failureText() + HandsOffNote});
        } else {
            config.saveConfiguration(ConfigFileName, DefaultPassword);
        }
    }
    // Read before anything is reported, so that the start's events tell the
    // truth about what is in force (no default-password warning under a verifier).
    const bool managedChanged = readManaged(context);
    reportStart(context, !loaded && !config.handsOff());
    reportManaged(context, managedChanged, true);
    context.enforcement.startupSweep();
    context.enforcement.applyPolicy();
}

bool readManaged(AppContext& context) {
    if (!context.ManagedSource) return false;
    EffectivePolicy fresh = readManagedPolicy(*context.ManagedSource, context.policy.Managed);
    const bool changed = !fresh.sameEffectAs(context.policy.Managed);
    context.policy.Managed = std::move(fresh);
    return changed;
}

void reportManaged(AppContext& context, bool changed, bool atStart) {
    const EffectivePolicy& managed = context.policy.Managed;
    for (const MalformedPolicyValue& value : managed.malformed) {
        context.report(AuditEvent::ManagedValueMalformed, {value.name, MalformedNote});
    }
    for (const std::string& name : managed.unreadable) {
        context.report(AuditEvent::ManagedValueMalformed, {name, UnreadableNote});
    }
    std::string names;
    for (const std::string& name : managed.inForce) names += (names.empty() ? "" : ", ") + name;
    // At start-up only a policy in force is worth a line; later every change is.
    if (changed || (atStart && !names.empty())) {
        context.report(AuditEvent::ManagedPolicyInForce, {names.empty() ? "none" : names});
    }
}

bool refreshManagedPolicy(AppContext& context) {
    const bool changed = readManaged(context);
    if (context.ManagedSource) reportManaged(context, changed, false);
    return changed;
}

std::string dataFolderClaimName() {
    char path[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameA(ConfigFileName, sizeof path, path, nullptr);
    if (length == 0 || length >= sizeof path) lstrcpyA(path, ConfigFileName);
    CharUpperBuffA(path, lstrlenA(path));
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a: a folder's path is too long for a name
    for (const char* c = path; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 0x100000001B3ull;
    std::string name = "Local\\Ventrix-";
    for (int shift = 60; shift >= 0; shift -= 4) name += "0123456789ABCDEF"[(hash >> shift) & 0xF];
    return name;
}

bool claimDataFolder(AppContext& context) {
    HANDLE claim = CreateMutexA(nullptr, FALSE, dataFolderClaimName().c_str());
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        return false;
    }
    context.DataFolderClaim = claim;
    return true;
}

void shutDown(AppContext& context) {
    if (context.ShutDownDone) return;
    context.ShutDownDone = true;
    context.report(AuditEvent::Exiting);
    context.config.saveConfiguration(ConfigFileName, context.policy.CurrentPassword);
    context.config.closeConfiguration();
}

int runVentrix(AppContext& context) {
    setApp(&context);
    if (!claimDataFolder(context)) {
        context.showMessage(nullptr, AlreadyRunning, "Ventrix", MB_ICONINFORMATION);
        return ExitCode;
    }
    initCommonControls();
    createSmallIconList(context);
    loadAndEnforce(context);
    DialogBoxParamA(context.module, MAKEINTRESOURCEA(IDD_AGENT), GetDesktopWindow(), agentDialogProc, 0);
    shutDown(context);
    ImageList_Destroy(context.SmallIconList);
    context.SmallIconList = nullptr;
    if (context.DataFolderClaim) CloseHandle(context.DataFolderClaim);
    context.DataFolderClaim = nullptr;
    return ExitCode;
}

}  // namespace ventrix
