// Entry procedure: wires the Windows implementations of the seams together
// and runs the program. No command-line options are read.
#include <windows.h>

#include <memory>

#include "app/service_client.h"
#include "app/startup.h"
#include "policy/win32/cng_key_deriver.h"
#include "policy/win32/dpapi_protector.h"
#include "policy/win32/event_log_audit.h"
#include "policy/win32/registry_policy_source.h"
#include "policy/win32/win32_file_system.h"
#include "volume/win32/win32_volume_platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace ventrix;
    static DpapiProtector protector;
    static Win32FileSystem files;
    static EventLogAudit audit;
    static Win32VolumePlatform platform;
    static SystemClock clock;
    static WindowRelockTimer relock;
    static PolicyGraph graph({platform, files, protector, audit, clock, relock});
    static AppContext context(graph, relock, instance);
    // The administrator's policy: read on a thread of its own, decided on here.
    static PolicyRecord managed;
    static PolicyReadingThread managedReading(
        std::make_unique<RegistryPolicySource>(),
        std::make_unique<RegistryPolicySource>(false, RegistryPolicySource::Sections::None));
    static CngKeyDeriver keys;
    static ServiceClient client;
    context.ManagedRecord = &managed;
    context.ManagedReading = &managedReading;
    context.Control.Keys = &keys;
    context.Client = &client;
    return runVentrix(context);
}
