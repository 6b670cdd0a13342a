// Where the service hears that something may have arrived: its hidden
// window (the system's volume broadcast), the device notifications (volume
// interfaces, and media arriving in drives that keep their letter), and the
// look at the drive letters once a second. Each only asks the core to look.
#pragma once

#include <windows.h>

#include "service/service_core.h"
#include "service/win32/service_manager.h"
#include "service/win32/service_platform.h"

namespace ventrix {

// Posted to the hidden window when the policy's reading thread has a reading.
constexpr UINT PolicyReadMessage = WM_APP + 1;

// What else the hidden window hears, for the rest of the service.
class WindowListener {
public:
    virtual ~WindowListener() = default;
    virtual void policyBroadcast() = 0;
    virtual void policyRead() = 0;
    virtual void timer(UINT_PTR id) = 0;
};

class ArrivalSources {
public:
    ArrivalSources(ServiceCore& core, MediaWatch& watch, WindowListener& listener)
        : core_(core), watch_(watch), listener_(listener) {}
    ArrivalSources(const ArrivalSources&) = delete;
    ArrivalSources& operator=(const ArrivalSources&) = delete;
    ~ArrivalSources() { stop(); }

    // The hidden window; null when it could not be made.
    HWND makeWindow();
    HWND window() const { return window_; }
    // What is there at start, then every source on.
    void start(SERVICE_STATUS_HANDLE status);
    void stop();
    // A device event the service manager handed over.
    void deviceEvent(const DeviceEvent& event);

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT windowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void look();

    ServiceCore& core_;
    MediaWatch& watch_;
    WindowListener& listener_;
    HWND window_ = nullptr;
    HDEVNOTIFY volumes_ = nullptr;
};

}  // namespace ventrix
