// The audit trail: what was blocked, who failed a password, when protection
// changed. A narrow seam like the message box's: the program says what
// happened; where it goes (the Windows event log, a test's recording) is the
// sink's business, and a sink that fails never disturbs protection.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace ventrix {

// Public identifiers (the low 16 bits of the event log's event ids).
enum class AuditEvent : std::uint16_t {
    Started = 1000,
    DefaultPasswordInUse = 1001,
    ManagedPolicyInForce = 1002,
    ServiceStarted = 1010,
    MediumEjected = 2000,
    TrustedMediumAllowed = 2001,
    MadeReadOnly = 2002,
    ReadOnlyRefused = 2003,
    ProtectionOff = 3000,
    ProtectionOn = 3001,
    ProtectionOffTimed = 3002,
    TimedUnlockEnded = 3003,
    WrongPassword = 3100,
    ConfigurationApplied = 3200,
    PasswordChanged = 3201,
    SetupPasswordTaken = 3202,
    Exiting = 4000,
    ServiceStopping = 4010,
    SaveFailed = 5000,
    UnreadableRecordsKept = 5001,
    ManagedValueMalformed = 5100,
    PipeTaken = 5200,
    NotProtected = 5201,
    DataFolderRefused = 5202,
    SetupPasswordKept = 5203,
    DataFolderPutAside = 5204,
};

enum class AuditSeverity { Information, Warning, Error };

constexpr AuditSeverity severityOf(AuditEvent event) {
    switch (event) {
    case AuditEvent::DefaultPasswordInUse:
    case AuditEvent::MediumEjected:
    case AuditEvent::ReadOnlyRefused:
    case AuditEvent::WrongPassword:
    case AuditEvent::UnreadableRecordsKept:
    case AuditEvent::ManagedValueMalformed:
    case AuditEvent::DataFolderPutAside: return AuditSeverity::Warning;
    case AuditEvent::SaveFailed:
    case AuditEvent::PipeTaken:
    case AuditEvent::NotProtected:
    case AuditEvent::DataFolderRefused:
    case AuditEvent::SetupPasswordKept: return AuditSeverity::Error;
    default: return AuditSeverity::Information;
    }
}

// Reasons of a MediumEjected event.
inline constexpr const char* ReasonDriveLocked = "drive locked";
inline constexpr const char* ReasonMediumListed = "medium on the locked list";
inline constexpr const char* ReasonNewDrive = "new drive";

class AuditTrail {
public:
    virtual ~AuditTrail() = default;
    // The insertion strings, in the order the event's message uses them.
    virtual void report(AuditEvent event, std::initializer_list<std::string_view> strings = {}) = 0;
};

// Where nothing is recorded: the default of every part that reports.
AuditTrail& noAuditTrail();

}  // namespace ventrix
