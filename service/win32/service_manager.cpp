#include "service/win32/service_manager.h"

#include <dbt.h>

namespace ventrix {
namespace {

// Each step of the start reports progress within this: key derivations and
// the first sweep take seconds, never more.
constexpr DWORD StartStepHintMs = 30000;
constexpr DWORD ReleaseWaitMs = 5000;

}  // namespace

ServiceManagerLink::ServiceManagerLink() {
    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    deviceReady_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    released_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    InitializeCriticalSection(&queueLock_);
}

ServiceManagerLink::~ServiceManagerLink() {
    DeleteCriticalSection(&queueLock_);
    for (HANDLE event : {stopEvent_, deviceReady_, released_})
        if (event) CloseHandle(event);
}

bool ServiceManagerLink::connect(const char* serviceName) {
    status_ = RegisterServiceCtrlHandlerExA(serviceName, handler, this);
    return status_ != nullptr;
}

void ServiceManagerLink::report(DWORD state, DWORD exitCode, DWORD waitHint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? ++checkPoint_ : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(status_, &status);
}

void ServiceManagerLink::starting() { report(SERVICE_START_PENDING, NO_ERROR, StartStepHintMs); }

bool ServiceManagerLink::next(DeviceEvent& event) {
    EnterCriticalSection(&queueLock_);
    const bool waiting = !queue_.empty();
    if (waiting) {
        event = std::move(queue_.front());
        queue_.pop_front();
    }
    LeaveCriticalSection(&queueLock_);
    if (!waiting) SetEvent(released_);
    return waiting;
}

DWORD WINAPI ServiceManagerLink::handler(DWORD code, DWORD type, void* data, void* self) {
    return static_cast<ServiceManagerLink*>(self)->control(code, type, data);
}

// Runs on the service manager's thread: it copies what it is told, wakes
// the working thread and returns.
DWORD ServiceManagerLink::control(DWORD code, DWORD type, void* data) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        shutdown_ = code == SERVICE_CONTROL_SHUTDOWN;
        SetEvent(stopEvent_);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT: return deviceEvent(type, data);
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Only a request to let go of a drive waits, briefly, for the working
// thread to have let go.
DWORD ServiceManagerLink::deviceEvent(DWORD type, void* data) {
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
    if (!header) return NO_ERROR;
    DeviceEvent event;
    event.type = type;
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        event.interfaceName = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data)->dbcc_name;
    } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        const auto* handle = static_cast<const DEV_BROADCAST_HANDLE*>(data);
        event.forHandle = true;
        event.device = handle->dbch_handle;
        if (type == DBT_CUSTOMEVENT) event.custom = handle->dbch_eventguid;
    } else {
        return NO_ERROR;
    }
    const bool letGo = event.forHandle && type == DBT_DEVICEQUERYREMOVE;
    if (letGo) ResetEvent(released_);
    EnterCriticalSection(&queueLock_);
    queue_.push_back(std::move(event));
    LeaveCriticalSection(&queueLock_);
    SetEvent(deviceReady_);
    if (letGo) WaitForSingleObject(released_, ReleaseWaitMs);
    return NO_ERROR;
}

int runServiceDispatcher(LPSERVICE_MAIN_FUNCTIONA main) {
    char name[] = "Ventrix";
    SERVICE_TABLE_ENTRYA table[] = {{name, main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace ventrix
