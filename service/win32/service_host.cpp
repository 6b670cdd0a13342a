// The Ventrix service: LocalSystem, its own process, one thread doing all
// the work. The service manager's control handler only hands over what it
// was told and signals that thread, which waits on the pipe, the device
// events, the policy's refresh and its own window's messages at once.
#include "service/win32/service_host.h"

#include <windows.h>

#include <memory>
#include <string>

#include "control/policy_control.h"
#include "control/policy_graph.h"
#include "control/win32/window_timing.h"
#include "policy/config_file.h"
#include "policy/win32/cng_key_deriver.h"
#include "policy/win32/dpapi_protector.h"
#include "policy/win32/event_log_audit.h"
#include "policy/win32/registry_policy_source.h"
#include "policy/win32/system_library.h"
#include "policy/win32/win32_file_system.h"
#include "service/machine_start.h"
#include "service/service_core.h"
#include "service/win32/arrival_sources.h"
#include "service/win32/machine_setup.h"
#include "service/win32/pipe_server.h"
#include "service/win32/service_manager.h"
#include "service/win32/service_platform.h"
#include "ventrix_version.h"

namespace ventrix {
namespace {

constexpr const char* Description = "Keeps removable media out of use on this PC.";
constexpr UINT_PTR PipeRetryTimerId = 21;
constexpr UINT PipeRetryEveryMs = 3000;

bool randomBytes(std::uint8_t* out, std::size_t size) { return systemRandomBytes(out, size); }

class Service final : public WindowListener {
public:
    void run();
    void policyBroadcast() override { refreshPolicy(); }
    void policyRead() override;
    void timer(UINT_PTR id) override;

private:
    void startPolicyReading();
    void refreshPolicy();
    void prepareMachine();
    void wire();
    void listen();
    void retryPipe();
    void loop();
    void stop();

    ServiceManagerLink manager_;
    HANDLE policyEvent_ = nullptr;

    DpapiProtector protector_;
    Win32FileSystem files_;
    EventLogAudit audit_;
    ServicePlatform platform_;
    SystemClock clock_;
    WindowRelockTimer relock_;
    PolicyGraph graph_{{platform_, files_, protector_, audit_, clock_, relock_, PasswordForm::Verifier}};
    PolicyTables& tables_ = graph_.tables;
    ConfigFile& config_ = graph_.config;
    PolicyControl& policy_ = graph_.control;
    // A PC-wide enforcer follows the machine's policy alone, decided on from
    // the latest reading kept here. Group Policy holds its critical section
    // while it runs its extensions (installing and starting this very
    // service among them), so the section is entered only on a thread of its
    // own (`live`); the start reads without it (`direct`) and never waits.
    PolicyRecord managed_;
    PolicyReadingThread managedReading_{
        std::make_unique<RegistryPolicySource>(true),
        std::make_unique<RegistryPolicySource>(true, RegistryPolicySource::Sections::None)};
    Win32DataFolder folder_;
    RegistrySetupValue setup_;
    CngKeyDeriver keys_;
    PipeServer pipe_;
    ServiceCore core_{policy_, graph_.volumes, pipe_, clock_};
    MediaWatch watch_{nullptr};
    ArrivalSources arrivals_{core_, watch_, *this};
};

void Service::timer(UINT_PTR id) {
    if (id == RelockTimerId) policy_.relockDue();
    if (id == PipeRetryTimerId) retryPipe();
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

void Service::wire() {
    watch_.attach(manager_.status());
    platform_.Core = &core_;
    platform_.Watch = &watch_;
    policy_.Listener = &core_;
    managedReading_.readHere(managed_);  // as Group Policy last left it, without waiting on it
    policy_.ManagedSource = &managed_;
    policy_.Keys = &keys_;
    policy_.RandomBytes = randomBytes;
}

// Every later reading is made on the thread; Group Policy's notification,
// its broadcast and a client's request only ask for one, and the reading
// done comes back to the hidden window, on this thread.
void Service::startPolicyReading() {
    core_.RefreshPolicy = [this] { refreshPolicy(); };
    if (!arrivals_.window()) return;  // nowhere to hear of a reading: read here, without the section
    managedReading_.announceTo(arrivals_.window(), PolicyReadMessage);
    managedReading_.start();  // its first reading, with the section, follows the start's
}

void Service::refreshPolicy() {
    if (managedReading_.running()) return managedReading_.request();
    managedReading_.readHere(managed_);
    policy_.policyChanged();
}

void Service::policyRead() {
    std::unique_ptr<PolicyRecord> reading = managedReading_.take();
    if (!reading) return;  // an earlier message took it already
    managed_ = std::move(*reading);
    policy_.policyChanged();
}

void Service::listen() {
    // A name another program holds is said once and tried again until it is free.
    if (!pipe_.start(core_)) {
        audit_.report(AuditEvent::PipeTaken, {PipeName, errorText(pipe_.lastError())});
        SetTimer(arrivals_.window(), PipeRetryTimerId, PipeRetryEveryMs, nullptr);
    }
    policyEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const auto registerPolicy = entry<BOOL(WINAPI*)(HANDLE, BOOL)>(loadSystemLibrary("userenv.dll"), "RegisterGPNotification");
    if (!registerPolicy || !registerPolicy(policyEvent_, TRUE)) {
        CloseHandle(policyEvent_);
        policyEvent_ = nullptr;
    }
}

void Service::retryPipe() {
    pipe_.stop();
    if (pipe_.start(core_)) KillTimer(arrivals_.window(), PipeRetryTimerId);
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
        events[count++] = manager_.stopEvent();
        events[count++] = manager_.deviceReady();
        if (policyEvent_) events[count++] = policyEvent_;
        count += static_cast<DWORD>(pipe_.events(events + count, MAXIMUM_WAIT_OBJECTS - 1 - count));
        if (MsgWaitForMultipleObjectsEx(count, events, TurnMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_FAILED)
            Sleep(10);  // a failed wait must not spin
        if (set(manager_.stopEvent())) return;
        if (set(manager_.deviceReady())) {
            for (DeviceEvent event; manager_.next(event);) arrivals_.deviceEvent(event);
        }
        if (set(policyEvent_)) refreshPolicy();
        pipe_.serve();
        core_.tick();
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
}

// Stop and shutdown save as Exit does; the clients hear it first.
void Service::stop() {
    manager_.report(SERVICE_STOP_PENDING, NO_ERROR, 10000);
    core_.stopping();
    audit_.report(AuditEvent::ServiceStopping, {manager_.shutdown() ? "shutdown" : "stop"});
    graph_.enforcement.releaseReadOnly();  // nothing stays read-only past the service
    config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword);
    config_.closeConfiguration();
    pipe_.stop();
    KillTimer(arrivals_.window(), PipeRetryTimerId);
    core_.RefreshPolicy = nullptr;
    managedReading_.stop();  // one still in Group Policy's wait is left to the process's end
    arrivals_.stop();
}

void Service::run() {
    if (!manager_.connect(ServiceName)) return;
    // One copy: the service manager runs no second one of a service, so no
    // name a user could take first is needed (or can stop it).
    manager_.starting();
    wire();
    // Every step reports progress, and none waits on Group Policy: the
    // service runs within the service manager's wait, with every drive
    // locked before it says so, as at every start.
    prepareMachine();
    relock_.window = arrivals_.makeWindow();
    manager_.starting();
    audit_.report(AuditEvent::ServiceStarted, {VENTRIX_VERSION});
    const bool firstRun = policy_.loadOrSeed();
    manager_.starting();
    takeSetupPassword(setup_, tables_, config_, audit_);
    manager_.starting();
    policy_.reportAndEnforce(VENTRIX_VERSION, firstRun);
    manager_.starting();
    arrivals_.start(manager_.status());
    startPolicyReading();
    listen();
    manager_.report(SERVICE_RUNNING);

    loop();
    stop();
    manager_.report(SERVICE_STOPPED);
}

void WINAPI serviceMain(DWORD, char**) {
    static Service service;
    service.run();
}

}  // namespace

int runService() { return runServiceDispatcher(serviceMain); }

}  // namespace ventrix
