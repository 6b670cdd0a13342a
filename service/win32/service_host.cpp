// The Ventrix service: LocalSystem, its own process, one thread doing all
// the work. The service manager's control handler only hands over what it
// was told and signals that thread, which waits on the pipe, the device
// events, the policy's refresh and its own window's messages at once.
#include <windows.h>
#include <dbt.h>
#include <userenv.h>

#include <cstring>
#include <deque>
#include <string>

#include "policy/config_file.h"
#include "policy/password_verifier.h"
#include "control/policy_control.h"
#include "policy/win32/cng_key_deriver.h"
#include "policy/win32/dpapi_protector.h"
#include "policy/win32/event_log_audit.h"
#include "policy/win32/registry_policy_source.h"
#include "policy/win32/system_library.h"
#include "policy/win32/win32_file_system.h"
#include "control/win32/window_timing.h"
#include "service/machine_start.h"
#include "service/service_core.h"
#include "service/win32/machine_setup.h"
#include "service/win32/pipe_server.h"
#include "service/win32/service_platform.h"
#include "service/win32/service_host.h"
#include "ventrix_version.h"
#include "volume/enforcement.h"
#include "volume/volume_ops.h"

namespace ventrix {
namespace {

constexpr const char* Description = "Keeps removable media out of use on this PC.";
constexpr const char* WindowClass = "VentrixService";
constexpr UINT_PTR LookTimerId = 20;
constexpr UINT LookEveryMs = 1000;
constexpr UINT_PTR PipeRetryTimerId = 21;
constexpr UINT PipeRetryEveryMs = 3000;
// Each step of the start reports progress within this: key derivations and
// the first sweep take seconds, never more.
constexpr DWORD StartStepHintMs = 30000;
constexpr DWORD AllLetters = (1u << 26) - 1;
constexpr DWORD ReleaseWaitMs = 5000;

// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}: volumes as device interfaces.
constexpr GUID VolumeInterface = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr GUID MediaArrival = {0xd07433c0, 0xa98e, 0x11d2, {0x91, 0x7a, 0x00, 0xa0, 0xc9, 0x06, 0x8f, 0xf3}};
constexpr GUID MediaRemoval = {0xd07433c1, 0xa98e, 0x11d2, {0x91, 0x7a, 0x00, 0xa0, 0xc9, 0x06, 0x8f, 0xf3}};
constexpr GUID VolumeLock = {0x50708874, 0xc9af, 0x11d1, {0x8f, 0xef, 0x00, 0xa0, 0xc9, 0xa0, 0x6d, 0x32}};

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A device event as the control handler copied it, for the working thread.
struct DeviceEvent {
    DWORD type = 0;
    bool forHandle = false;
    HANDLE device = nullptr;       // DBT_DEVTYP_HANDLE: the watched drive's handle
    GUID custom{};                 // DBT_CUSTOMEVENT: which
    std::wstring interfaceName{};  // DBT_DEVTYP_DEVICEINTERFACE: the volume's interface
};

bool randomBytes(std::uint8_t* out, std::size_t size) { return systemRandomBytes(out, size); }

// The machine's policy read as it stands, without the critical policy
// section: Group Policy may hold that section while it installs and starts
// this very service, so the start never waits for it. Group Policy's
// notification once it has applied brings the next reading, with the section.
class WithoutSection final : public PolicySource {
public:
    explicit WithoutSection(PolicySource& source) : source_(source) {}
    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override {
        return source_.readValue(scope, key, name, out);
    }
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override {
        return source_.readValues(scope, key, out);
    }

private:
    PolicySource& source_;
};

class Service {
public:
    void run();
    DWORD control(DWORD code, DWORD type, void* data);
    LRESULT windowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0);
    void prepareMachine();
    void starting() { report(SERVICE_START_PENDING, NO_ERROR, StartStepHintMs); }
    bool makeWindow();
    void listen();
    void retryPipe();
    void loop();
    void deviceEvents();
    void deviceEvent(const DeviceEvent& event);
    void look();
    void stop();

    SERVICE_STATUS_HANDLE status_ = nullptr;
    DWORD checkPoint_ = 0;
    HANDLE stopEvent_ = nullptr;
    HANDLE deviceReady_ = nullptr;
    HANDLE released_ = nullptr;
    HANDLE policyEvent_ = nullptr;
    CRITICAL_SECTION queueLock_{};
    std::deque<DeviceEvent> queue_;
    bool shutdown_ = false;
    HWND window_ = nullptr;
    HDEVNOTIFY volumes_ = nullptr;

    PolicyTables tables_;
    DpapiProtector protector_;
    Win32FileSystem files_;
    EventLogAudit audit_;
    ConfigFile config_{tables_, files_, protector_, audit_};
    ServicePlatform platform_;
    VolumeOps volumeOps_{platform_, tables_};
    Enforcement enforcement_{tables_, volumeOps_, config_, audit_};
    SystemClock clock_;
    WindowRelockTimer relock_;
    PolicyControl policy_{tables_, volumeOps_, enforcement_, config_, clock_, relock_, PasswordForm::Verifier};
    RegistryPolicySource managed_{true};  // a PC-wide enforcer follows the machine's policy alone
    WithoutSection managedAtStart_{managed_};
    Win32DataFolder folder_;
    RegistrySetupValue setup_;
    CngKeyDeriver keys_;
    PipeServer pipe_;
    ServiceCore core_{policy_, volumeOps_, pipe_, clock_};
    MediaWatch* watch_ = nullptr;
};

Service* running = nullptr;

DWORD WINAPI controlHandler(DWORD code, DWORD type, void* data, void*) { return running->control(code, type, data); }

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (running) return running->windowMessage(window, message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

void Service::report(DWORD state, DWORD exitCode, DWORD waitHint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? ++checkPoint_ : 0;
    status.dwWaitHint = waitHint;
    SetServiceStatus(status_, &status);
}

// Runs on the service manager's thread: it copies what it is told, wakes
// the working thread and returns. Only a request to let go of a drive waits,
// briefly, for that thread to have let go.
DWORD Service::control(DWORD code, DWORD type, void* data) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        shutdown_ = code == SERVICE_CONTROL_SHUTDOWN;
        SetEvent(stopEvent_);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT: {
        const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
        if (!header) return NO_ERROR;
        DeviceEvent event;
        event.type = type;
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* volume = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
            event.interfaceName = volume->dbcc_name;
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
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void Service::prepareMachine() {
    const std::string folder = dataFolder();
    // A folder that is not the service's own is left alone, and so is the policy in it.
    if (takeDataFolder(folder_, folder, config_, audit_)) SetCurrentDirectoryA(folder.c_str());
    if (const DWORD error = protectSetupKey())
        audit_.report(AuditEvent::NotProtected, {std::string("HKLM\\") + SetupKey, errorText(error)});
    setRecovery(Description);
    registerEventSource();
}

// Hidden and top-level (a message-only window hears no broadcast): the
// system's volume broadcast and the policy broadcast reach it.
bool Service::makeWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = WindowClass;
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, WindowClass, "Ventrix service", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    relock_.window = window_;
    return window_ != nullptr;
}

void Service::listen() {
    // A name another program holds is said once and tried again until it is free.
    if (!pipe_.start(core_)) {
        audit_.report(AuditEvent::PipeTaken, {PipeName, errorText(pipe_.lastError())});
        SetTimer(window_, PipeRetryTimerId, PipeRetryEveryMs, nullptr);
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = VolumeInterface;
    volumes_ = RegisterDeviceNotificationW(status_, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    policyEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const auto registerPolicy = entry<BOOL(WINAPI*)(HANDLE, BOOL)>(loadSystemLibrary("userenv.dll"), "RegisterGPNotification");
    if (!registerPolicy || !registerPolicy(policyEvent_, TRUE)) {
        CloseHandle(policyEvent_);
        policyEvent_ = nullptr;
    }
    SetTimer(window_, LookTimerId, LookEveryMs, nullptr);
}

void Service::retryPipe() {
    pipe_.stop();
    if (pipe_.start(core_)) KillTimer(window_, PipeRetryTimerId);
}

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

void Service::deviceEvent(const DeviceEvent& event) {
    if (!event.forHandle) {
        if (event.type == DBT_DEVICEARRIVAL) core_.arrival(lettersOf(event.interfaceName));
        return;
    }
    const int letter = watch_->letterOf(event.device);
    if (letter < 0) return;
    if (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, MediaArrival)) {
        core_.arrival(1u << letter);
    } else if (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, MediaRemoval)) {
        core_.removal(1u << letter);
    } else if (event.type == DBT_DEVICEQUERYREMOVE || event.type == DBT_DEVICEREMOVECOMPLETE ||
               (event.type == DBT_CUSTOMEVENT && sameGuid(event.custom, VolumeLock))) {
        watch_->release(letter);  // whoever asks for the drive gets it; the next look watches it again
    }
}

void Service::deviceEvents() {
    for (;;) {
        EnterCriticalSection(&queueLock_);
        if (queue_.empty()) {
            LeaveCriticalSection(&queueLock_);
            break;
        }
        const DeviceEvent event = std::move(queue_.front());
        queue_.pop_front();
        LeaveCriticalSection(&queueLock_);
        deviceEvent(event);
    }
    SetEvent(released_);
}

// Once a second: which letters exist, a call that wakes no drive. The core
// looks at a letter that came or went, and at those clients reported.
void Service::look() {
    const DWORD letters = GetLogicalDrives() & AllLetters;
    core_.lookAt(letters);
    watch_->watch(letters);
}

LRESULT Service::windowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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
        if (lParam && lstrcmpiA(reinterpret_cast<const char*>(lParam), "Policy") == 0) policy_.policyChanged();
        return 0;
    case WM_TIMER:
        if (wParam == RelockTimerId) policy_.relockDue();
        if (wParam == LookTimerId) look();
        if (wParam == PipeRetryTimerId) retryPipe();
        return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

// Every turn takes up everything that is ready, each once: the stop, the
// device events, the policy's refresh, every connection whose I/O has ended,
// the silent connections' deadline and then every window message (the volume
// broadcast, the letter look, the relock), so no client, however busy,
// holds up the rest. The wait reports only the first of its handles that is
// set, so each is looked at again here.
void Service::loop() {
    constexpr DWORD TurnMs = 1000;  // the deadline of a silent connection is looked at least this often
    static_assert(3 + PipeServer::MaxEvents <= MAXIMUM_WAIT_OBJECTS - 1, "every connection's events fit in the wait");
    const auto set = [](HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; };
    for (;;) {
        HANDLE events[MAXIMUM_WAIT_OBJECTS - 1];
        DWORD count = 0;
        events[count++] = stopEvent_;
        events[count++] = deviceReady_;
        if (policyEvent_) events[count++] = policyEvent_;
        count += static_cast<DWORD>(pipe_.events(events + count, MAXIMUM_WAIT_OBJECTS - 1 - count));
        if (MsgWaitForMultipleObjectsEx(count, events, TurnMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_FAILED)
            Sleep(10);  // a failed wait must not spin
        if (set(stopEvent_)) return;
        if (set(deviceReady_)) deviceEvents();
        if (set(policyEvent_)) policy_.policyChanged();
        pipe_.serve();
        core_.tick();
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
}

// Stop and shutdown save as Exit does; the clients hear it first.
void Service::stop() {
    report(SERVICE_STOP_PENDING, NO_ERROR, 10000);
    core_.stopping();
    audit_.report(AuditEvent::ServiceStopping, {shutdown_ ? "shutdown" : "stop"});
    config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword);
    config_.closeConfiguration();
    pipe_.stop();
    if (volumes_) UnregisterDeviceNotification(volumes_);
    KillTimer(window_, LookTimerId);
    KillTimer(window_, PipeRetryTimerId);
    DestroyWindow(window_);
}

void Service::run() {
    status_ = RegisterServiceCtrlHandlerExA(ServiceName, controlHandler, nullptr);
    if (!status_) return;
    // One copy: the service manager runs no second one of a service, so no
    // name a user could take first is needed (or can stop it).
    starting();
    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    deviceReady_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    released_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    InitializeCriticalSection(&queueLock_);
    MediaWatch watch(status_);
    watch_ = &watch;
    platform_.Core = &core_;
    platform_.Watch = &watch;
    policy_.Listener = &core_;
    policy_.ManagedSource = &managedAtStart_;
    policy_.Keys = &keys_;
    policy_.RandomBytes = randomBytes;

    // Every step reports progress, and none waits on Group Policy: the
    // service runs within the service manager's wait, with every drive
    // locked before it says so, as at every start.
    prepareMachine();
    makeWindow();
    starting();
    audit_.report(AuditEvent::ServiceStarted, {VENTRIX_VERSION});
    const bool firstRun = policy_.loadOrSeed();
    starting();
    takeSetupPassword(setup_, tables_, config_, audit_);
    starting();
    policy_.reportAndEnforce(VENTRIX_VERSION, firstRun);
    policy_.ManagedSource = &managed_;
    starting();
    const DWORD letters = GetLogicalDrives() & AllLetters;
    core_.takeStock(letters);
    listen();
    watch.watch(letters);
    report(SERVICE_RUNNING);

    loop();
    stop();
    watch.releaseAll();
    watch_ = nullptr;
    DeleteCriticalSection(&queueLock_);
    report(SERVICE_STOPPED);
}

void WINAPI serviceMain(DWORD, char**) {
    static Service service;
    running = &service;
    service.run();
}

}  // namespace

int runServiceDispatcher() {
    char name[] = "Ventrix";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace ventrix
