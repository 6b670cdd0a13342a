#include "app/startup.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "app/agent_window.h"
#include "app/service_client.h"
#include "policy/win32/registry_policy_source.h"
#include "resources/resource.h"
#include "ventrix_version.h"

namespace ventrix {
namespace {

constexpr const char* AlreadyRunning = "Ventrix is already running.";
// Group Policy holds its sections only for a moment while it writes values;
// a longer hold is an extension at work (software installation at logon,
// for minutes), and the start does not wait for that before it enforces.
constexpr DWORD FirstReadingWaitMs = 3000;

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

void loadAndEnforce(AppContext& context) {
    const bool firstRun = context.Control.loadOrSeed();
    context.Control.reportAndEnforce(VENTRIX_VERSION, firstRun);
}

void takeFirstManagedReading(AppContext& context) {
    if (!context.ManagedReading || !context.ManagedRecord) return;
    context.Control.ManagedSource = context.ManagedRecord;
    std::unique_ptr<PolicyRecord> first;
    if (context.ManagedReading->start()) first = context.ManagedReading->take(FirstReadingWaitMs);
    if (first)
        *context.ManagedRecord = std::move(*first);
    else  // the values as Group Policy last left them; the thread's reading corrects them when done
        context.ManagedReading->readHere(*context.ManagedRecord);
}

void requestManagedReading(AppContext& context) {
    if (!context.ManagedReading || !context.ManagedRecord) return;
    if (context.ManagedReading->running()) return context.ManagedReading->request();
    context.ManagedReading->readHere(*context.ManagedRecord);  // no thread: read without the sections
    context.Control.policyChanged();
}

void takeManagedReading(AppContext& context) {
    std::unique_ptr<PolicyRecord> reading = context.ManagedReading ? context.ManagedReading->take() : nullptr;
    if (!reading || !context.ManagedRecord) return;
    *context.ManagedRecord = std::move(*reading);
    context.Control.policyChanged();
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
    // The service's client holds no policy of its own: the service saves.
    if (context.ShutDownDone || context.servedByService()) return;
    context.ShutDownDone = true;
    context.report(AuditEvent::Exiting);
    // Whatever this run made read-only goes back as it was, also when the
    // session ends without Exit; the save then holds the journal emptied.
    context.enforcement.releaseReadOnly();
    context.config.saveConfiguration(ConfigFileName, context.policy.CurrentPassword);
    context.config.closeConfiguration();
}

// Where the Ventrix service is installed, running or not, this program is
// its tray for this run: it holds no policy of its own and enforces nothing
// itself, and while the service is away it says so and looks for it again.
// One per session. Only where no service is installed, or an administrator
// disabled it, is this the per-user program.
bool becomeServiceClient(AppContext& context) {
    if (!context.Client || !trayIsServiceClient(lookUpService())) return false;
    context.Client->connect();
    context.Access = context.Client;
    return true;
}

bool claimSession(AppContext& context) {
    HANDLE claim = CreateMutexA(nullptr, FALSE, "Local\\Ventrix-client");
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        return false;
    }
    context.DataFolderClaim = claim;
    return true;
}

int runVentrix(AppContext& context) {
    setApp(&context);
    const bool client = becomeServiceClient(context);
    if (!(client ? claimSession(context) : claimDataFolder(context))) {
        context.showMessage(nullptr, AlreadyRunning, "Ventrix", MB_ICONINFORMATION);
        return ExitCode;
    }
    initCommonControls();
    createSmallIconList(context);
    if (!client) {
        takeFirstManagedReading(context);
        loadAndEnforce(context);
    }
    DialogBoxParamA(context.module, MAKEINTRESOURCEA(IDD_AGENT), GetDesktopWindow(), agentDialogProc, 0);
    shutDown(context);
    if (client) context.Client->disconnect();
    ImageList_Destroy(context.SmallIconList);
    context.SmallIconList = nullptr;
    if (context.DataFolderClaim) CloseHandle(context.DataFolderClaim);
    context.DataFolderClaim = nullptr;
    return ExitCode;
}

}  // namespace ventrix
