// The service manager's side of the service: the status it reports, and the
// control handler, which runs on the service manager's thread and only
// copies what it is told for the working thread.
#pragma once

#include <windows.h>

#include <deque>
#include <string>

namespace ventrix {

// A device event as the control handler copied it, for the working thread.
struct DeviceEvent {
    DWORD type = 0;
    bool forHandle = false;
    HANDLE device = nullptr;       // DBT_DEVTYP_HANDLE: the watched drive's handle
    GUID custom{};                 // DBT_CUSTOMEVENT: which
    std::wstring interfaceName{};  // DBT_DEVTYP_DEVICEINTERFACE: the volume's interface
};

class ServiceManagerLink {
public:
    ServiceManagerLink();
    ~ServiceManagerLink();
    ServiceManagerLink(const ServiceManagerLink&) = delete;
    ServiceManagerLink& operator=(const ServiceManagerLink&) = delete;

    // Registers the control handler; false when the service manager refused it.
    bool connect(const char* serviceName);
    SERVICE_STATUS_HANDLE status() const { return status_; }
    void report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0);
    // One step of the start done: progress, within the wait hint.
    void starting();

    // Set once a stop or the shutdown is asked for.
    HANDLE stopEvent() const { return stopEvent_; }
    bool shutdown() const { return shutdown_; }
    // Set while device events wait. next() hands them over in order; once
    // none is left, a request to let go of a drive may return.
    HANDLE deviceReady() const { return deviceReady_; }
    bool next(DeviceEvent& event);

private:
    static DWORD WINAPI handler(DWORD code, DWORD type, void* data, void* self);
    DWORD control(DWORD code, DWORD type, void* data);
    DWORD deviceEvent(DWORD type, void* data);

    SERVICE_STATUS_HANDLE status_ = nullptr;
    DWORD checkPoint_ = 0;
    HANDLE stopEvent_ = nullptr;
    HANDLE deviceReady_ = nullptr;
    HANDLE released_ = nullptr;
    CRITICAL_SECTION queueLock_{};
    std::deque<DeviceEvent> queue_;
    volatile bool shutdown_ = false;
};

// Hands the process to the service manager, which calls `main` as the
// service's entry; 0, or the error that kept it from reaching the service
// manager (started by hand, say).
int runServiceDispatcher(LPSERVICE_MAIN_FUNCTIONA main);

}  // namespace ventrix
