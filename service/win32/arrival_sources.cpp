#include "service/win32/arrival_sources.h"

#include <dbt.h>

#include <cstring>
#include <string>

#include "volume/enforcement.h"

namespace ventrix {
namespace {

constexpr const char* WindowClass = "VentrixService";
constexpr UINT_PTR LookTimerId = 20;
constexpr UINT LookEveryMs = 1000;
constexpr DWORD AllLetters = (1u << 26) - 1;

// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}: volumes as device interfaces.
constexpr GUID VolumeInterface = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr GUID MediaArrival = {0xd07433c0, 0xa98e, 0x11d2, {0x91, 0x7a, 0x00, 0xa0, 0xc9, 0x06, 0x8f, 0xf3}};
constexpr GUID MediaRemoval = {0xd07433c1, 0xa98e, 0x11d2, {0x91, 0x7a, 0x00, 0xa0, 0xc9, 0x06, 0x8f, 0xf3}};
constexpr GUID VolumeLock = {0x50708874, 0xc9af, 0x11d1, {0x8f, 0xef, 0x00, 0xa0, 0xc9, 0xa0, 0x6d, 0x32}};

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The volume behind a device interface, by its volume name, and the letters it is mounted at.
DWORD lettersOf(const std::wstring& interfaceName) {
    wchar_t volume[64] = {};
    if (!GetVolumeNameForVolumeMountPointW((interfaceName + L"\\").c_str(), volume, 64)) return 0;
    DWORD letters = 0;
    for (int letter = 0; letter < 26; ++letter) {
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', L'\0'};
        wchar_t name[64] = {};
        if (GetVolumeNameForVolumeMountPointW(root, name, 64) && lstrcmpiW(name, volume) == 0) letters |= 1u << letter;
    }
    return letters;
}

}  // namespace

// Hidden and top-level (a message-only window hears no broadcast): the
// system's volume broadcast and the policy broadcast reach it.
HWND ArrivalSources::makeWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = WindowClass;
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, WindowClass, "Ventrix service", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleA(nullptr), this);
    return window_;
}

void ArrivalSources::start(SERVICE_STATUS_HANDLE status) {
    const DWORD letters = GetLogicalDrives() & AllLetters;
    core_.takeStock(letters);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = VolumeInterface;
    volumes_ = RegisterDeviceNotificationW(status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    SetTimer(window_, LookTimerId, LookEveryMs, nullptr);
    watch_.watch(letters);
}

void ArrivalSources::stop() {
    if (volumes_) UnregisterDeviceNotification(volumes_);
    volumes_ = nullptr;
    if (window_) {
        KillTimer(window_, LookTimerId);
        DestroyWindow(window_);
    }
    window_ = nullptr;
    watch_.releaseAll();
}

void ArrivalSources::deviceEvent(const DeviceEvent& event) {
    if (!event.forHandle) {
        if (event.type == DBT_DEVICEARRIVAL) core_.arrival(lettersOf(event.interfaceName));
        return;
    }
    const int letter = watch_.letterOf(event.device);
    if (letter < 0) return;
    if (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, MediaArrival)) {
        core_.arrival(1u << letter);
    } else if (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, MediaRemoval)) {
        core_.removal(1u << letter);
    } else if (event.type == DBT_DEVICEQUERYREMOVE || event.type == DBT_DEVICEREMOVECOMPLETE ||
               (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, VolumeLock))) {
        watch_.release(letter);  // whoever asks for the drive gets it; the next look watches it again
    }
}

// Once a second: which letters exist, a call that wakes no drive. The core
// looks at a letter that came or went, and at those clients reported.
void ArrivalSources::look() {
    const DWORD letters = GetLogicalDrives() & AllLetters;
    core_.lookAt(letters);
    watch_.watch(letters);
}

LRESULT CALLBACK ArrivalSources::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<ArrivalSources*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self) return self->windowMessage(window, message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT ArrivalSources::windowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DEVICECHANGE: {
        std::uint32_t mask = 0;
        if (volumeArrivalMask(wParam, reinterpret_cast<const void*>(lParam), mask))
            core_.arrival(mask & AllLetters);
        else if (wParam == DBT_DEVICEREMOVECOMPLETE &&
                 volumeArrivalMask(DbtDeviceArrival, reinterpret_cast<const void*>(lParam), mask))
            core_.removal(mask & AllLetters);
        return TRUE;
    }
    case WM_SETTINGCHANGE:
        if (lParam && lstrcmpiA(reinterpret_cast<const char*>(lParam), "Policy") == 0) listener_.policyBroadcast();
        return 0;
    case PolicyReadMessage: listener_.policyRead(); return 0;
    case WM_TIMER:
        if (wParam == LookTimerId)
            look();
        else
            listener_.timer(wParam);
        return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace ventrix
