// The core wired to fakes: drives, the policy file and its protection all in
// memory, so enforcement runs end to end without a platform.
#pragma once

#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "tests/support/fake_protector.h"
#include "tests/support/fake_volume_platform.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"
#include "volume/enforcement.h"
#include "volume/volume_ops.h"

namespace ventrix::testing {

struct FakeSystem {
    FakeVolumePlatform platform;
    PolicyTables tables;
    MemoryFileSystem files;
    FakeProtector protector;
    RecordingAudit audit;
    ConfigFile config{tables, files, protector, audit};
    VolumeOps volumes{platform, tables};
    Enforcement enforcement{tables, volumes, config, audit};
};

}  // namespace ventrix::testing
