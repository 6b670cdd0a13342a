#include "app/agent_window.h"

#include "app/app_context.h"
#include "app/startup.h"
#include "resources/resource.h"
#include "ui/about_dialog.h"
#include "ui/password_prompt.h"

namespace ventrix {
namespace {

void onCreate(HWND agent) {
    AppContext& context = app();
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
    const bool on = app().policy.ProtectionOn;
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
    if (on && !app().policy.Managed.unlockOffered()) {  // UnlockMinutes 0: no unlock at all
        for (UINT command : {IDM_PROTECTION, IDM_UNLOCK_5_MINUTES, IDM_UNLOCK_15_MINUTES, IDM_UNLOCK_1_HOUR})
            EnableMenuItem(popup, command, MF_BYCOMMAND | MF_GRAYED);
    }
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

// True when the running timed unlock ends later than `minutes` from now.
bool relockDueAfter(UINT minutes) {
    const DWORD left = app().RelockDueTick - GetTickCount();
    return static_cast<LONG>(left) > 0 && left > minutes * 60000u;
}

void cancelTimedRelock() {
    AppContext& context = app();
    context.RelockPending = false;
    KillTimer(context.TrayIconData.hWnd, RelockTimerId);
    lstrcpyA(context.TrayIconData.szTip, "Ventrix");
}

// Lock, and the end of a timed unlock, which says so in its own event.
// Protection is on before the pass: a medium arriving while one of its boxes
// is open is then handled as any arrival in a locked drive.
void lockNow(AuditEvent event) {
    AppContext& context = app();
    cancelTimedRelock();
    context.policy.ProtectionOn = true;
    context.TrayIconData.hIcon = LoadIconA(context.module, MAKEINTRESOURCEA(IDI_LOCKED));
    Shell_NotifyIconA(NIM_MODIFY, &context.TrayIconData);
    context.enforcement.applyPolicy();
    context.report(event);
}

void lockCommand() { lockNow(AuditEvent::ProtectionOn); }

// Only a running timed unlock ends here: the same message posted at any
// other time, or arriving twice, changes nothing.
void onTimer(WPARAM id) {
    if (id != RelockTimerId) return;
    AppContext& context = app();
    KillTimer(context.TrayIconData.hWnd, RelockTimerId);
    if (!context.RelockPending || context.policy.ProtectionOn) return;
    lockNow(AuditEvent::TimedUnlockEnded);
}

void timedUnlockCommand(UINT minutes) {
    if (!app().policy.ProtectionOn || !app().policy.Managed.unlockOffered()) return;
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    app().PendingUnlockMinutes = minutes;
    openDialog(IDD_LOGIN, timedUnlockPromptProc, GetDesktopWindow());
}

void protectionCommand() {
    if (!app().policy.ProtectionOn) return lockCommand();
    if (!app().policy.Managed.unlockOffered()) return;
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    openDialog(IDD_LOGIN, unlockPromptProc, GetDesktopWindow());
}

void exitCommand() {
    if (windowExists(LoginTitle)) return bringForward(LoginTitle);
    openDialog(IDD_LOGIN, exitPromptProc, GetDesktopWindow());
}

void configurationCommand() {
    if (windowExists(ConfigurationTitle) || windowExists(LoginTitle)) return;
    openDialog(IDD_LOGIN, configurePromptProc, GetDesktopWindow());
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
    app().RelockPending = false;
    KillTimer(agent, RelockTimerId);
    EndDialog(agent, DialogResult);
    Shell_NotifyIconA(NIM_DELETE, &app().TrayIconData);
}

// What a changed administrator's policy does at once: applied while
// protection is on; while off, an unlock it no longer allows ends.
void takeUpManagedPolicy() {
    AppContext& context = app();
    const auto& limit = context.policy.Managed.unlockMinutes;
    if (!context.policy.Managed.unlockOffered()) closeUnlockPrompt();
    if (context.policy.ProtectionOn) {
        context.enforcement.applyPolicy();
    } else if (!context.policy.Managed.unlockOffered()) {
        lockCommand();  // unlocking is no longer allowed at all
    } else if (limit && (!context.RelockPending || relockDueAfter(*limit))) {
        startTimedRelock(*limit);  // no unlock outlasts the new limit
    }
}

// Group Policy's refresh broadcast (one for the machine, one for the user,
// and any program may send it): the administrator's values are read again
// and taken up only when their effect changed, so a refresh that changes
// nothing touches no drive and no file. A broadcast arriving during a pass's
// box is taken up once that pass is done, never in a pass of its own inside it.
void onSettingChange(LPARAM lParam) {
    const char* area = reinterpret_cast<const char*>(lParam);
    if (!area || lstrcmpiA(area, "Policy") != 0) return;
    AppContext& context = app();
    if (context.PolicyRefreshRunning) {
        context.PolicyRefreshAgain = true;
        return;
    }
    context.PolicyRefreshRunning = true;
    do {
        context.PolicyRefreshAgain = false;
        if (refreshManagedPolicy(context)) takeUpManagedPolicy();
    } while (context.PolicyRefreshAgain);
    context.PolicyRefreshRunning = false;
}

// Windows ends the session (logoff, shutdown) and will end the process: the
// exit save runs now, drives stay locked, the icon goes as at exit.
void onEndSession(HWND agent, WPARAM ending) {
    if (!ending) return;
    shutDown(app());
    onEnd(agent);
}

// The tip names the local time the unlock ends, in the user's time format.
void showUnlockedUntil(UINT minutes) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME stamp{};
    SystemTimeToFileTime(&now, &stamp);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = stamp.dwLowDateTime;
    ticks.HighPart = stamp.dwHighDateTime;
    ticks.QuadPart += ULONGLONG{minutes} * 60 * 10000000;  // 100 ns units
    stamp.dwLowDateTime = ticks.LowPart;
    stamp.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME until{};
    FileTimeToSystemTime(&stamp, &until);
    char time[32] = {};
    GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &until, nullptr, time, sizeof time);
    NOTIFYICONDATAA& tray = app().TrayIconData;
    lstrcpynA(tray.szTip, "Ventrix - unlocked until ", sizeof tray.szTip);
    lstrcatA(tray.szTip, time);  // 25 + at most 31 characters fit the 64-byte tip
    Shell_NotifyIconA(NIM_MODIFY, &tray);
}

}  // namespace

UINT cappedUnlockMinutes(UINT minutes) {
    const auto& limit = app().policy.Managed.unlockMinutes;
    return limit && *limit > 0 && *limit < minutes ? *limit : minutes;
}

void startTimedRelock(UINT minutes) {
    AppContext& context = app();
    minutes = cappedUnlockMinutes(minutes);
    context.RelockPending = true;
    context.RelockDueTick = GetTickCount() + minutes * 60000u;
    SetTimer(context.TrayIconData.hWnd, RelockTimerId, minutes * 60000u, nullptr);
    showUnlockedUntil(minutes);
}

INT_PTR CALLBACK agentDialogProc(HWND agent, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: onCreate(agent); break;
    case WM_WINDOWPOSCHANGING: stayHidden(lParam); break;
    case TrayCallbackMessage:
        if (lParam == WM_RBUTTONDOWN) showTrayMenu(agent);
        break;
    case WM_COMMAND: onCommand(LOWORD(wParam)); break;
    case WM_TIMER: onTimer(wParam); break;
    case WM_DEVICECHANGE:
        app().enforcement.onVolumeArrival(wParam, reinterpret_cast<const void*>(lParam));
        break;
    case WM_ENDSESSION: onEndSession(agent, wParam); break;
    case WM_SETTINGCHANGE: onSettingChange(lParam); break;
    case WM_CLOSE:
    case WM_DESTROY: onEnd(agent); break;
    default:
        if (message != 0 && message == app().TaskbarCreatedMessage) onTaskbarCreated();
        break;
    }
    return FALSE;
}

}  // namespace ventrix
