#include "service/machine_start.h"

#include <cstdlib>

#include "policy/password_verifier.h"

namespace ventrix {
namespace {

// Deeper than anything the service writes: a planted tree beyond it is
// refused rather than walked without end.
constexpr unsigned MaxDepth = 32;

// The number after `base` + "." in a series base, base.2, base.3 ... base.last.
bool inSeries(const std::string& name, const std::string& base, unsigned last) {
    if (name == base) return true;
    if (name.size() <= base.size() + 1 || name.compare(0, base.size() + 1, base + ".") != 0) return false;
    const std::string number = name.substr(base.size() + 1);
    if (number.size() > 3 || number[0] == '0' || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned n = static_cast<unsigned>(std::strtoul(number.c_str(), nullptr, 10));
    return n >= 2 && n <= last;
}

std::string lowered(std::string name) {  // Windows' names ignore case
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

// What becomes of an entry at the top of the folder.
bool isOurs(const std::string& name, EntryKind kind, bool byMachine) {
    if (kind == EntryKind::Link) return false;
    const std::string file = lowered(ConfigFileName);
    const std::string lower = lowered(name);
    // A leftover temporary copy is never read: whoever wrote it, it goes.
    if (inSeries(lower, file + TemporarySuffix, TemporaryNames)) return false;
    if (lower == file || inSeries(lower, file + KeptCopySuffix, KeptCopyNames))
        return kind == EntryKind::File && byMachine;
    return true;  // anything else is only made the machine's
}

class Claim {
public:
    explicit Claim(DataFolderPlatform& platform) : platform_(platform) {}

    bool entries(const std::string& folder, unsigned depth) {
        if (depth > MaxDepth) return fail(folder, "too deeply nested");
        std::vector<std::string> names;
        if (!platform_.list(folder, names)) return fail(folder);
        for (const std::string& name : names) {
            const std::string path = folder + "\\" + name;
            const EntryKind kind = platform_.kind(path);
            if (kind == EntryKind::Missing) continue;  // gone meanwhile
            // Only a file's owner is asked: nothing here looks through a link.
            const bool byMachine = kind == EntryKind::File && platform_.ownedByMachine(path);
            const bool keep = depth == 0 ? isOurs(name, kind, byMachine) : kind != EntryKind::Link;
            if (!keep) {
                if (!removeTree(path, kind, depth + 1)) return false;
                continue;
            }
            if (!platform_.makeOurs(path)) return fail(path);
            if (kind == EntryKind::Folder && !entries(path, depth + 1)) return false;
        }
        return true;
    }

    // A folder is made the machine's first, so that whatever list its maker
    // put on it cannot keep it from being emptied; a link goes by itself.
    bool removeTree(const std::string& path, EntryKind kind, unsigned depth) {
        if (kind == EntryKind::Folder) {
            if (depth > MaxDepth) return fail(path, "too deeply nested");
            std::vector<std::string> names;
            if (!platform_.makeOurs(path) || !platform_.list(path, names)) return fail(path);
            for (const std::string& name : names) {
                const std::string inside = path + "\\" + name;
                const EntryKind what = platform_.kind(inside);
                if (what != EntryKind::Missing && !removeTree(inside, what, depth + 1)) return false;
            }
        }
        return platform_.remove(path) || fail(path);
    }

    bool fail(const std::string& path, std::string why = {}) {
        reason = path + ": " + (why.empty() ? platform_.lastErrorText() : why);
        return false;
    }

    std::string reason;

private:
    DataFolderPlatform& platform_;
};

}  // namespace

FolderClaim claimDataFolder(DataFolderPlatform& platform, const std::string& folder) {
    if (folder.empty()) return {false, "there is no folder for programs' data"};
    EntryKind kind = platform.kind(folder);
    if (kind == EntryKind::Missing) {
        if (platform.create(folder)) return {true, {}};
        // Someone made it meanwhile: it is claimed as any folder found there.
        const std::string error = platform.lastErrorText();
        kind = platform.kind(folder);
        if (kind == EntryKind::Missing) return {false, "it could not be made: " + error};
    }
    if (kind == EntryKind::Link) return {false, "it is a junction or symbolic link"};
    if (kind != EntryKind::Folder) return {false, "it is not a folder"};
    if (!platform.makeOurs(folder))
        return {false, "its owner and access list could not be set: " + platform.lastErrorText()};
    Claim claim(platform);
    if (!claim.entries(folder, 0)) return {false, claim.reason};
    return {true, {}};
}

bool takeDataFolder(DataFolderPlatform& platform, const std::string& folder, ConfigFile& config, AuditTrail& audit) {
    const FolderClaim claim = claimDataFolder(platform, folder);
    if (claim.ours) return true;
    audit.report(AuditEvent::DataFolderRefused, {folder, claim.reason});
    config.refuseFolder(folder + ": " + claim.reason);
    return false;
}

SetupOutcome takeSetupPassword(SetupVerifierValue& value, PolicyTables& tables, ConfigFile& config, AuditTrail& audit) {
    std::string line;
    // An install without PASSWORDVERIFIER leaves the value empty: nothing was given.
    if (!value.read(line)) return SetupOutcome::None;
    PasswordVerifier verifier;
    if (line.empty()) {
        value.remove();
        return SetupOutcome::None;
    }
    if (!parseVerifier(line, verifier)) {
        audit.report(AuditEvent::ManagedValueMalformed, {value.name(), "is malformed and is ignored"});
        value.remove();
        return SetupOutcome::Malformed;
    }
    tables.CurrentPassword = formatVerifier(verifier);
    if (!config.saveConfiguration(ConfigFileName, tables.CurrentPassword)) {
        audit.report(AuditEvent::SetupPasswordKept, {value.name()});
        return SetupOutcome::Kept;
    }
    value.remove();
    audit.report(AuditEvent::SetupPasswordTaken);
    return SetupOutcome::Taken;
}

}  // namespace ventrix
