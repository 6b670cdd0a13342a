// The object graph of a Ventrix that enforces: the tables, their file, the
// volume operations, enforcement and the decisions on top, wired in this one
// place from the platform parts each program (and each test) brings.
#pragma once

#include "control/policy_control.h"
#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "volume/enforcement.h"
#include "volume/volume_ops.h"
#include "volume/volume_platform.h"

namespace ventrix {

struct PlatformParts {
    VolumePlatform& volumes;
    FileSystem& files;
    DataProtector& protector;
    AuditTrail& audit;
    Clock& clock;
    RelockTimer& relock;
    PasswordForm form = PasswordForm::Plain;
};

class PolicyGraph {
public:
    explicit PolicyGraph(const PlatformParts& parts)
        : config(tables, parts.files, parts.protector, parts.audit), volumes(parts.volumes, tables),
          enforcement(tables, volumes, config, parts.audit),
          control(tables, volumes, enforcement, config, parts.clock, parts.relock, parts.form) {}
    PolicyGraph(const PolicyGraph&) = delete;
    PolicyGraph& operator=(const PolicyGraph&) = delete;

    PolicyTables tables;
    ConfigFile config;
    VolumeOps volumes;
    Enforcement enforcement;
    PolicyControl control;
};

}  // namespace ventrix
