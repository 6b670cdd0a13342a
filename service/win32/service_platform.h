// The volume platform as the service uses it: its boxes go to the person at
// the console (through that session's tray, else Windows' own message to the
// session, never waited for), and a drive's media-arrival watch lets go of
// the drive before any request opens it.
#pragma once

#include <windows.h>
#include <dbt.h>

#include "service/service_core.h"
#include "volume/win32/win32_volume_platform.h"

namespace ventrix {

// Media arriving in drives that keep their letter (a CD, a card reader):
// each such drive's volume is held open for its arrival notifications.
class MediaWatch {
public:
    explicit MediaWatch(SERVICE_STATUS_HANDLE status) : status_(status) {}
    // The service's status handle, once the service manager gave it.
    void attach(SERVICE_STATUS_HANDLE status) { status_ = status; }
    MediaWatch(const MediaWatch&) = delete;
    MediaWatch& operator=(const MediaWatch&) = delete;
    ~MediaWatch() { releaseAll(); }

    // Watches the lockable drives among `letters` not watched yet.
    void watch(DWORD letters);
    // The drive is let go (a request is about to open it, or Windows asks for it).
    void release(int letter);
    void releaseAll();
    // The letter whose watch a notification names, or -1.
    int letterOf(HANDLE device) const;

private:
    struct Watched {
        HANDLE device = INVALID_HANDLE_VALUE;
        HDEVNOTIFY notification = nullptr;
    };
    SERVICE_STATUS_HANDLE status_;
    Watched drives_[26];
    // Letters whose type has been asked: a fixed disk is not asked again
    // every second, only a letter that is new or was let go.
    DWORD examined_ = 0;
};

class ServicePlatform final : public Win32VolumePlatform {
public:
    ServiceCore* Core = nullptr;
    MediaWatch* Watch = nullptr;

    Device openDevice(const char* path, std::uint32_t shareMode) override;
    Device openDeviceFor(const char* path, std::uint32_t access, std::uint32_t shareMode,
                         std::uint32_t& error) override;
    int showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) override;
};

}  // namespace ventrix
