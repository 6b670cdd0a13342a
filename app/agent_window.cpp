#include "app/agent_window.h"

#include "app/app_context.h"
#include "app/service_client.h"
#include "app/startup.h"
#include "policy/win32/registry_policy_source.h"
#include "resources/resource.h"
#include "ui/about_dialog.h"
#include "ui/password_prompt.h"
#include "ui/typed_password.h"

namespace ventrix {
namespace {

// The reading thread's news: a reading of the administrator's policy is done.
constexpr UINT ManagedReadMessage = WM_APP + 7;

// The tray follows the policy: image, tip, and an Unlock prompt that may no
// longer unlock anything closes.
class TrayListener final : public ControlListener {
public:
    void stateChanged() override { refreshTray(); }
};
TrayListener trayListener;

void onCreate(HWND agent) {
    AppContext& context = app();
    context.Relock.window = agent;
    context.Control.Listener = &trayListener;
    if (context.Client) context.Client->Listener = &trayListener;
    NOTIFYICONDATAA& tray = context.TrayIconData;
    tray.cbSize = NOTIFYICONDATAA_V1_SIZE;
    tray.hIcon = LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED));
    lstrcpyA(tray.szTip, "Ventrix");
    tray.hWnd = agent;
    tray.uCallbackMessage = TrayCallbackMessage;
    tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    SendMessageA(agent, WM_SETICON, ICON_BIG, 0);
    Shell_NotifyIconA(NIM_ADD, &tray);
    context.TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    if (!context.servedByService() && context.ManagedReading)
        context.ManagedReading->announceTo(agent, ManagedReadMessage);
    if (context.servedByService()) {
        SetTimer(agent, ClientTimerId, ClientTimerMs, nullptr);
        refreshTray();  // the service may be unlocked already
    }
}

// A new taskbar (Explorer started again) holds no icon of ours: it is added
// again as it stands, image and tip, or its owner could not reach the menu.
void onTaskbarCreated() { Shell_NotifyIconA(NIM_ADD, &app().TrayIconData); }

// Clearing the flags drops SWP_SHOWWINDOW from every change, so the window never shows.
void stayHidden(LPARAM lParam) {
    if (app().PopupMenuOpen) return;
    reinterpret_cast<WINDOWPOS*>(lParam)->flags = 0;
    SetForegroundWindow(GetDesktopWindow());
}

HBITMAP loadMenuBitmap(int id) {
    return static_cast<HBITMAP>(
        LoadImageA(app().module, MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, LR_DEFAULTSIZE));
}

void setItemBitmap(HMENU popup, UINT command, HBITMAP bitmap) {
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_CHECKMARKS;
    item.hbmpUnchecked = bitmap;
    SetMenuItemInfoA(popup, command, FALSE, &item);
}

struct MenuBitmaps {
    HBITMAP images[5] = {};
    ~MenuBitmaps() {
        for (HBITMAP image : images) {
            if (image) DeleteObject(image);
        }
    }
};

// "Unlock for" only makes sense while protection is on: its submenu goes.
void removeTimedUnlockMenu(HMENU popup) {
    for (int position = GetMenuItemCount(popup) - 1; position >= 0; --position) {
        if (GetSubMenu(popup, position)) DeleteMenu(popup, static_cast<UINT>(position), MF_BYPOSITION);
    }
}

void prepareMenu(HMENU popup, MenuBitmaps& bitmaps) {
    const PolicyStatus status = app().access().status();
    // With the service gone there is nothing to unlock or configure.
    const bool on = status.protectionOn || !status.connected;
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_CHECKMARKS | MIIM_TYPE | MIIM_DATA;
    item.fType = MFT_STRING;
    char text[8];
    lstrcpyA(text, on ? "Unlock" : "Lock");
    item.dwTypeData = text;
    item.cch = on ? 7 : 5;
    item.hbmpChecked = bitmaps.images[0] = loadMenuBitmap(on ? IDB_UNLOCK : IDB_LOCK);
    SetMenuItemInfoA(popup, IDM_PROTECTION, FALSE, &item);
    if (!on) removeTimedUnlockMenu(popup);
    if (on && (!status.unlockOffered || !status.connected)) {  // UnlockMinutes 0: no unlock at all
        for (UINT command : {IDM_PROTECTION, IDM_UNLOCK_5_MINUTES, IDM_UNLOCK_15_MINUTES, IDM_UNLOCK_1_HOUR})
            EnableMenuItem(popup, command, MF_BYCOMMAND | MF_GRAYED);
    }
    if (!status.connected) EnableMenuItem(popup, IDM_CONFIGURATION, MF_BYCOMMAND | MF_GRAYED);
    setItemBitmap(popup, IDM_CONFIGURATION, bitmaps.images[1] = loadMenuBitmap(IDB_CONFIGURATION));
    setItemBitmap(popup, IDM_EXIT, bitmaps.images[2] = loadMenuBitmap(IDB_EXIT));
    setItemBitmap(popup, IDM_ABOUT, bitmaps.images[3] = loadMenuBitmap(IDB_ABOUT));
}

void showTrayMenu(HWND agent) {
    AppContext& context = app();
    POINT cursor{};
    GetCursorPos(&cursor);
    HMENU menu = LoadMenuA(context.module, MAKEINTRESOURCEA(IDM_TRAY));
    HMENU popup = GetSubMenu(menu, 0);
    MenuBitmaps bitmaps;  // released once the menu has closed
    prepareMenu(popup, bitmaps);
    context.PopupMenuOpen = true;
    SetForegroundWindow(agent);
    TrackPopupMenu(popup, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, agent, nullptr);
    context.PopupMenuOpen = false;
    ShowWindow(agent, SW_HIDE);
    DestroyMenu(popup);
    DestroyMenu(menu);
}

// Only this process's windows count: another program's window titled
// "Login" must neither block our prompt nor collect the password.
void bringForward(const char* title) {
    SetForegroundWindow(findOwnWindow(title));
    SetFocus(findOwnWindow(title));
}

bool windowExists(const char* title) { return findOwnWindow(title) != nullptr; }

void lockCommand() { app().access().lock(); }

// The broadcast's parameters stop here: the policy hears which drives.
void onDeviceChange(WPARAM event, LPARAM header) {
    std::uint32_t mask = 0;
    if (volumeArrivalMask(event, reinterpret_cast<const void*>(header), mask)) app().access().drivesArrived(mask);
}

// Only a running timed unlock ends here: the same message posted at any
// other time, or arriving twice, changes nothing. The service's client has
// no relock of its own: the service keeps the time.
void onTimer(HWND agent, WPARAM id) {
    AppContext& context = app();
    if (id == RelockTimerId) {
        KillTimer(agent, RelockTimerId);
        if (!context.servedByService()) context.Control.relockDue();
    } else if (id == ClientTimerId && context.servedByService()) {
        context.Client->tick();
    }
}

// The commands that weaken protection need the policy's answer first: none
// while the service is away, no unlock where the administrator allows none.
bool unlockAllowed(const PolicyStatus& status) { return status.connected && status.unlockOffered; }

void timedUnlockCommand(UINT minutes) {
    const PolicyStatus status = app().access().status();
    if (!status.protectionOn || !unlockAllowed(status)) return;
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    app().PendingUnlockMinutes = minutes;
    openPasswordDialog(IDD_LOGIN, timedUnlockPromptProc, GetDesktopWindow());
}

void protectionCommand() {
    const PolicyStatus status = app().access().status();
    if (!status.protectionOn && status.connected) return lockCommand();
    if (!unlockAllowed(status)) return;
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    openPasswordDialog(IDD_LOGIN, unlockPromptProc, GetDesktopWindow());
}

// A tray whose service is away guards nothing: it ends without a password.
void exitCommand() {
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    if (!app().access().status().connected) return endTray();
    openPasswordDialog(IDD_LOGIN, exitPromptProc, GetDesktopWindow());
}

void configurationCommand() {
    if (windowExists(ConfigurationTitle) || windowExists(LoginTitle)) return;
    if (!app().access().status().connected) return;
    openPasswordDialog(IDD_LOGIN, configurePromptProc, GetDesktopWindow());
}

void aboutCommand() {
    if (windowExists(AboutTitle)) return bringForward(AboutTitle);
    openDialog(IDD_ABOUT, aboutDialogProc, GetDesktopWindow());
}

void onCommand(WORD command) {
    switch (command) {
    case IDM_PROTECTION: return protectionCommand();
    case IDM_EXIT: return exitCommand();
    case IDM_CONFIGURATION: return configurationCommand();
    case IDM_ABOUT: return aboutCommand();
    case IDM_UNLOCK_5_MINUTES: return timedUnlockCommand(5);
    case IDM_UNLOCK_15_MINUTES: return timedUnlockCommand(15);
    case IDM_UNLOCK_1_HOUR: return timedUnlockCommand(60);
    }
}

void onEnd(HWND agent) {
    if (app().ManagedReading) app().ManagedReading->announceTo(nullptr, 0);
    KillTimer(agent, RelockTimerId);
    KillTimer(agent, ClientTimerId);
    EndDialog(agent, DialogResult);
    Shell_NotifyIconA(NIM_DELETE, &app().TrayIconData);
}

// Group Policy's refresh broadcast: the policy decides what it changes. The
// per-user program has it read on the reading thread (this thread must not
// wait on Group Policy's sections) and decides once the reading is done.
void onSettingChange(LPARAM lParam) {
    const char* area = reinterpret_cast<const char*>(lParam);
    if (!area || lstrcmpiA(area, "Policy") != 0) return;
    AppContext& context = app();
    if (!context.servedByService() && context.ManagedReading) return requestManagedReading(context);
    context.access().policyChanged();
}

// Windows ends the session (logoff, shutdown) and will end the process: the
// exit save runs now, drives stay locked, the icon goes as at exit.
void onEndSession(HWND agent, WPARAM ending) {
    if (!ending) return;
    shutDown(app());
    onEnd(agent);
}

// The tip names the local time the unlock ends, in the user's time format.
void setUnlockedUntilTip(std::uint32_t inMs) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME stamp{};
    SystemTimeToFileTime(&now, &stamp);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = stamp.dwLowDateTime;
    ticks.HighPart = stamp.dwHighDateTime;
    ticks.QuadPart += ULONGLONG{inMs} * 10000;  // 100 ns units
    stamp.dwLowDateTime = ticks.LowPart;
    stamp.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME until{};
    FileTimeToSystemTime(&stamp, &until);
    char time[32] = {};
    GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &until, nullptr, time, sizeof time);
    NOTIFYICONDATAA& tray = app().TrayIconData;
    lstrcpynA(tray.szTip, "Ventrix - unlocked until ", sizeof tray.szTip);
    lstrcatA(tray.szTip, time);  // 25 + at most 31 characters fit the 64-byte tip
}

}  // namespace

void refreshTray() {
    AppContext& context = app();
    const PolicyStatus status = context.access().status();
    NOTIFYICONDATAA& tray = context.TrayIconData;
    const bool locked = status.protectionOn && status.connected;
    tray.hIcon = LoadIconA(context.module, MAKEINTRESOURCEA(locked ? IDI_LOCKED : IDI_UNLOCKED));
    if (!status.connected)
        lstrcpyA(tray.szTip, "Ventrix - service stopped");
    else if (status.relockInMs != 0 && !status.protectionOn)
        setUnlockedUntilTip(status.relockInMs);
    else
        lstrcpyA(tray.szTip, "Ventrix");
    Shell_NotifyIconA(NIM_MODIFY, &tray);
    if (!status.unlockOffered || !status.connected) closeUnlockPrompt();
}

void endTray() {
    HWND agent = findOwnWindow(AgentTitle);
    Shell_NotifyIconA(NIM_DELETE, &app().TrayIconData);
    DestroyWindow(agent);
}

INT_PTR CALLBACK agentDialogProc(HWND agent, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: onCreate(agent); break;
    case WM_WINDOWPOSCHANGING: stayHidden(lParam); break;
    case TrayCallbackMessage:
        if (lParam == WM_RBUTTONDOWN) showTrayMenu(agent);
        break;
    case WM_COMMAND: onCommand(LOWORD(wParam)); break;
    case WM_TIMER: onTimer(agent, wParam); break;
    case WM_DEVICECHANGE: onDeviceChange(wParam, lParam); break;
    case WM_ENDSESSION: onEndSession(agent, wParam); break;
    case WM_SETTINGCHANGE: onSettingChange(lParam); break;
    case ManagedReadMessage: takeManagedReading(app()); break;
    case WM_CLOSE:
    case WM_DESTROY: onEnd(agent); break;
    default:
        if (message != 0 && message == app().TaskbarCreatedMessage) onTaskbarCreated();
        break;
    }
    return FALSE;
}

}  // namespace ventrix
