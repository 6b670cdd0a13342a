// What the service makes its own at every start, decided here and carried
// out by the platform: the data folder its policy lives in, and the
// administrator's verifier the machine package left for it.
#pragma once

#include <string>
#include <vector>

#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/policy_tables.h"

namespace ventrix {

enum class EntryKind { Missing, File, Folder, Link };

// The folder's platform seam: it only carries the calls. Paths are whole
// (folder, a backslash, the name); nothing here ever follows a link.
class DataFolderPlatform {
public:
    virtual ~DataFolderPlatform() = default;
    virtual EntryKind kind(const std::string& path) = 0;  // a junction or symbolic link is a Link
    // The owner is the machine: SYSTEM, Administrators, or the account the service runs as.
    virtual bool ownedByMachine(const std::string& path) = 0;
    // A new folder, made with the machine's owner and protected list from the start.
    virtual bool create(const std::string& folder) = 0;
    // The machine as owner, and the protected list (SYSTEM and Administrators only).
    virtual bool makeOurs(const std::string& path) = 0;
    virtual bool list(const std::string& folder, std::vector<std::string>& names) = 0;
    // A file, a link itself (never what it points to), or an empty folder.
    virtual bool remove(const std::string& path) = 0;
    virtual std::string lastErrorText() = 0;
};

// Why a folder is not the service's own; empty when it is.
struct FolderClaim {
    bool ours = false;
    std::string reason;
};

// Makes `folder` the service's alone: made protected where missing;
// otherwise refused when it is a link or not a folder, else owned and
// protected with all it holds, with what is not the service's removed (any
// temporary copy, a kept copy or policy file it did not write, every link).
FolderClaim claimDataFolder(DataFolderPlatform& platform, const std::string& folder);

// Claims the folder and, where it cannot, reports it (5202) and keeps this
// run's hands off the policy there: never a first run, never the default
// password, every drive locked.
bool takeDataFolder(DataFolderPlatform& platform, const std::string& folder, ConfigFile& config, AuditTrail& audit);

// Where the machine package leaves the administrator's verifier.
class SetupVerifierValue {
public:
    virtual ~SetupVerifierValue() = default;
    virtual bool read(std::string& line) = 0;  // false: there is none
    virtual void remove() = 0;
    virtual std::string name() const = 0;  // for the events
};

enum class SetupOutcome { None, Malformed, Taken, Kept };

// The verifier becomes the PC's password and its value goes once the saved
// file holds it; a failed save keeps the value for the next start (5203).
// One that does not parse changes nothing and goes (5100): it never would.
SetupOutcome takeSetupPassword(SetupVerifierValue& value, PolicyTables& tables, ConfigFile& config, AuditTrail& audit);

}  // namespace ventrix
