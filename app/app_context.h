// What the agent window and the dialogs share: the policy, the volume and
// enforcement services, the module and the user-interface state made at
// start-up. One process-wide instance in the program; tests install their own.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/key_derivation.h"
#include "policy/managed_policy.h"
#include "control/password_guard.h"
#include "control/policy_control.h"
#include "control/policy_graph.h"
#include "policy/policy_tables.h"
#include "control/win32/window_timing.h"
#include "volume/enforcement.h"
#include "volume/volume_ops.h"

namespace ventrix {

inline constexpr UINT TrayCallbackMessage = WM_USER + 7;  // 1031
inline constexpr INT_PTR DialogResult = 51;               // every EndDialog passes it
inline constexpr int ExitCode = 24;
// The service's client looks for the service's messages, and for the
// service itself while it is away, on this timer of the agent window.
inline constexpr UINT_PTR ClientTimerId = 19;
inline constexpr UINT ClientTimerMs = 250;

inline constexpr const char* AgentTitle = "Windows ZadaZE";
inline constexpr const char* LoginTitle = "Login";
inline constexpr const char* ConfigurationTitle = "Ventrix";
inline constexpr const char* AboutTitle = "About Ventrix v1.1";

class ServiceClient;
class PolicyReadingThread;
class PolicyRecord;

struct AppContext {
    AppContext(PolicyGraph& graph, WindowRelockTimer& relock, HINSTANCE instance = nullptr)
        : policy(graph.tables), volumes(graph.volumes), enforcement(graph.enforcement), config(graph.config),
          module(instance), Relock(relock), Control(graph.control) {}
    AppContext(const AppContext&) = delete;
    AppContext& operator=(const AppContext&) = delete;

    PolicyTables& policy;
    VolumeOps& volumes;
    Enforcement& enforcement;
    ConfigFile& config;
    HINSTANCE module = nullptr;

    HIMAGELIST SmallIconList = nullptr;
    int IconLockedIndex = -1;
    int IconUnlockedIndex = -1;
    int IconRemovableIndex = -1;
    int IconCdromIndex = -1;

    NOTIFYICONDATAA TrayIconData{};
    bool PopupMenuOpen = false;

    // The per-user program's own policy, decided in this process.
    WindowRelockTimer& Relock;  // the agent window's timer 18
    PolicyControl& Control;
    // What the agent and the dialogs ask: Control, or the Ventrix service
    // over its pipe when this program is the service's client.
    PolicyAccess* Access = &Control;
    PolicyAccess& access() { return *Access; }
    bool servedByService() const { return Access != &Control; }
    ServiceClient* Client = nullptr;  // set when Access is the service's
    // The per-user program's reading of the administrator's policy: the
    // thread reads, Control decides on the latest reading's copy.
    PolicyReadingThread* ManagedReading = nullptr;
    PolicyRecord* ManagedRecord = nullptr;

    HANDLE DataFolderClaim = nullptr;  // held while this copy runs on the folder
    bool ShutDownDone = false;
    // Set by the opener of a prompt or dialog that takes no parameter:
    // the minutes the timed unlock prompt asks for, and which list the
    // add-media dialog fills (the locked list unless the trusted one; a
    // trusted medium let through for reading only with AddTrustedReadOnly).
    UINT PendingUnlockMinutes = 0;
    bool AddMediaToTrusted = false;
    bool AddTrustedReadOnly = false;
    // The wait after wrong passwords as the prompts show it: until this tick.
    DWORD RetryWaitUntil = 0;
    UINT TaskbarCreatedMessage = 0;  // registered: Explorer's new taskbar

    // Every message box goes through the volume platform's seam.
    int showMessage(HWND owner, const char* text, const char* caption, UINT type) {
        return volumes.platform().showMessage(owner, text, caption, type);
    }
    // Start-up and shutdown report to enforcement's audit trail.
    void report(AuditEvent event, std::initializer_list<std::string_view> strings = {}) {
        enforcement.audit().report(event, strings);
    }
};

AppContext& app();
void setApp(AppContext* context);  // tests swap in their own

}  // namespace ventrix

namespace ventrix {

// Every dialog opens on the program's own module with creation parameter 0.
inline void openDialog(int templateId, DLGPROC procedure, HWND owner) {
    DialogBoxParamA(app().module, MAKEINTRESOURCEA(templateId), owner, procedure, 0);
}

}  // namespace ventrix
