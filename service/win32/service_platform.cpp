#include "service/win32/service_platform.h"

#include <wtsapi32.h>

namespace ventrix {

void MediaWatch::watch(DWORD letters) {
    examined_ &= letters;  // a letter gone is asked about again when it comes back
    for (int letter = 0; letter < 26; ++letter) {
        Watched& drive = drives_[letter];
        if ((letters >> letter & 1u) == 0 || (examined_ >> letter & 1u) != 0) continue;
        examined_ |= 1u << letter;
        const char root[] = {static_cast<char>('A' + letter), ':', '\\', '\0'};
        const UINT type = GetDriveTypeA(root);
        if (letter == 0 || (type != DRIVE_REMOVABLE && type != DRIVE_CDROM)) continue;
        const char path[] = {'\\', '\\', '.', '\\', static_cast<char>('A' + letter), ':', '\0'};
        // No access asked: the handle only carries the notifications.
        drive.device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (drive.device == INVALID_HANDLE_VALUE) continue;
        DEV_BROADCAST_HANDLE filter{};
        filter.dbch_size = sizeof filter;
        filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
        filter.dbch_handle = drive.device;
        drive.notification = RegisterDeviceNotificationA(status_, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
        if (!drive.notification) {  // not asked again until the letter comes back
            CloseHandle(drive.device);
            drive.device = INVALID_HANDLE_VALUE;
        }
    }
}

void MediaWatch::release(int letter) {
    if (letter < 0 || letter >= 26) return;
    Watched& drive = drives_[letter];
    if (drive.notification) UnregisterDeviceNotification(drive.notification);
    if (drive.device != INVALID_HANDLE_VALUE) CloseHandle(drive.device);
    drive = Watched{};
    examined_ &= ~(1u << letter);  // watched again at the next look
}

void MediaWatch::releaseAll() {
    for (int letter = 0; letter < 26; ++letter) release(letter);
}

int MediaWatch::letterOf(HANDLE device) const {
    for (int letter = 0; letter < 26; ++letter)
        if (drives_[letter].device == device && device != INVALID_HANDLE_VALUE) return letter;
    return -1;
}

namespace {

// Its own open handle would make the drive refuse a lock or a dismount: the
// watch of the drive a device path ("\\.\E:") names is let go first.
void releaseWatchOf(MediaWatch* watch, const char* path) {
    const char letter = path[0] == '\\' && lstrlenA(path) == 6 ? path[4] : 0;
    if (watch && letter >= 'A' && letter <= 'Z') watch->release(letter - 'A');
}

}  // namespace

VolumePlatform::Device ServicePlatform::openDevice(const char* path, std::uint32_t shareMode) {
    releaseWatchOf(Watch, path);
    return Win32VolumePlatform::openDevice(path, shareMode);
}

// The disk requests' opens (no access, or a whole disk) block no lock and
// no dismount: every drive keeps its watch, so no media change goes unheard.
VolumePlatform::Device ServicePlatform::openDeviceFor(const char* path, std::uint32_t access,
                                                      std::uint32_t shareMode, std::uint32_t& error) {
    return Win32VolumePlatform::openDeviceFor(path, access, shareMode, error);
}

// The service never waits on a box: the tray of the console's session shows
// it as the per-user program would; with no tray there, Windows puts it on
// that session's desktop.
int ServicePlatform::showMessage(void*, const char* text, const char* caption, std::uint32_t type) {
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (Core && Core->showMessage(session, text, caption, type)) return IDOK;
    DWORD response = 0;
    WTSSendMessageA(WTS_CURRENT_SERVER_HANDLE, session, const_cast<char*>(caption), lstrlenA(caption),
                    const_cast<char*>(text), lstrlenA(text), type, 0, &response, FALSE);
    return IDOK;
}

}  // namespace ventrix
