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
    enum class Protection { Done, NotTheMachines, Failed };

    virtual ~DataFolderPlatform() = default;
    virtual EntryKind kind(const std::string& path) = 0;  // a junction or symbolic link is a Link
    // The owner is the machine: SYSTEM, Administrators, or the account the service runs as.
    virtual bool ownedByMachine(const std::string& path) = 0;
    // A new folder, made with the machine's owner and protected list from the start.
    virtual bool create(const std::string& folder) = 0;
    // The folder itself (never through a link), held so that nobody can put
    // another in its place meanwhile: the protected list (SYSTEM and
    // Administrators only) set on it when it is a folder the machine owns.
    virtual Protection protect(const std::string& folder) = 0;
    // The entry itself (a link as a link) moved to a free name beside it, never entered.
    virtual bool moveAside(const std::string& path, std::string& aside) = 0;
    // A file moved from one folder to another under the same name.
    virtual bool move(const std::string& from, const std::string& to) = 0;
    virtual bool list(const std::string& folder, std::vector<std::string>& names) = 0;
    // A file, or a link itself (never what it points to).
    virtual bool remove(const std::string& path) = 0;
    virtual std::string lastErrorText() = 0;
};

// Why a folder is not the service's own; empty when it is. `putAside`: where
// a folder that was not the service's went, when one did.
struct FolderClaim {
    bool ours = false;
    std::string reason;
    std::string putAside;
};

// Makes `folder` the service's alone, never entering what someone else made:
// made protected where missing; a folder the machine owns is protected again
// and rid of what is not the service's at its top (leftover temporary copies,
// a policy file or kept copy it did not write, links); anything else (made by
// someone else, a link, a file) is put aside whole and a new folder made,
// with the machine's own policy file carried over from it.
FolderClaim claimDataFolder(DataFolderPlatform& platform, const std::string& folder);

// Claims the folder and says so where one was put aside (5204); where it
// cannot, reports it (5202) and keeps this run's hands off the policy there:
// never a first run, never the default password, every drive locked.
bool takeDataFolder(DataFolderPlatform& platform, const std::string& folder, ConfigFile& config, AuditTrail& audit);

// Where the machine package leaves the administrator's verifier.
class SetupVerifierValue {
public:
    virtual ~SetupVerifierValue() = default;
    // The package's value when it holds one, else the one kept by keep();
    // false: there is none.
    virtual bool read(std::string& line) = 0;
    // Kept where only the service writes, the package's value gone: a
    // repair that writes the package's value again cannot erase it.
    virtual void keep(const std::string& line) = 0;
    virtual void remove() = 0;  // both
    virtual std::string name() const = 0;  // for the events
};

enum class SetupOutcome { None, Malformed, Taken, Kept };

// The verifier becomes the PC's password and its value goes once the saved
// file holds it; a failed save keeps the value for the next start (5203).
// One that does not parse changes nothing and goes (5100): it never would.
SetupOutcome takeSetupPassword(SetupVerifierValue& value, PolicyTables& tables, ConfigFile& config, AuditTrail& audit);

}  // namespace ventrix
