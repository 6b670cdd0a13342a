// The core wired to fakes, as the programs wire it to Windows: drives, the
// policy file and its protection all in memory, so enforcement and the
// decisions on top run end to end without a platform.
#pragma once

#include "control/policy_graph.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_protector.h"
#include "tests/support/fake_volume_platform.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"

namespace ventrix::testing {

struct FakeSystem {
    explicit FakeSystem(PasswordForm form = PasswordForm::Plain)
        : graph({platform, files, protector, audit, clock, relock, form}) {}

    FakeVolumePlatform platform;
    MemoryFileSystem files;
    FakeProtector protector;
    RecordingAudit audit;
    FakeClock clock;
    FakeTimer relock;
    PolicyGraph graph;
    PolicyTables& tables = graph.tables;
    ConfigFile& config = graph.config;
    VolumeOps& volumes = graph.volumes;
    Enforcement& enforcement = graph.enforcement;
    PolicyControl& control = graph.control;
};

}  // namespace ventrix::testing
