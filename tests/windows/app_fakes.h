// The tray program's context over fakes, wired as main.cpp wires Windows:
// the graph from fake platform parts, with the real clock and relock timer.
#pragma once

#include <windows.h>

#include "app/app_context.h"
#include "tests/support/fake_protector.h"
#include "tests/support/fake_volume_platform.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"

namespace ventrix::testing {

struct AppFakes {
    FakeProtector protector;
    MemoryFileSystem files;
    RecordingAudit audit;
    FakeVolumePlatform platform;
    SystemClock clock;
    WindowRelockTimer relock;
    PolicyGraph graph{{platform, files, protector, audit, clock, relock}};
    PolicyTables& policy = graph.tables;
    ConfigFile& config = graph.config;
    VolumeOps& volumes = graph.volumes;
    Enforcement& enforcement = graph.enforcement;
    AppContext context{graph, relock, GetModuleHandleA(nullptr)};
};

}  // namespace ventrix::testing
