#include "service/machine_start.h"

#include <cstdlib>

#include "policy/password_verifier.h"

namespace ventrix {
namespace {

// A folder made again each time it is put aside is left alone after this.
constexpr int MostRounds = 3;

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

// What stays at the top of the service's folder: a link never; a leftover
// temporary copy never (whoever wrote it, it is never read); the policy file
// and its kept copies only as files the machine wrote; anything else stays.
bool stays(const std::string& name, EntryKind kind, bool byMachine) {
    if (kind == EntryKind::Link) return false;
    const std::string file = lowered(ConfigFileName);
    const std::string lower = lowered(name);
    if (inSeries(lower, file + TemporarySuffix, TemporaryNames)) return false;
    if (lower == file || inSeries(lower, file + KeptCopySuffix, KeptCopyNames))
        return kind == EntryKind::File && byMachine;
    return true;
}

FolderClaim refused(DataFolderPlatform& platform, const std::string& path, const std::string& why) {
    return {false, path + ": " + why + ": " + platform.lastErrorText(), {}};
}

// The top of a folder the machine owns and has just protected: nobody but
// the machine can add to it from now on. A file that does not stay goes; a
// folder or link under a name of the service's is moved aside, not entered.
FolderClaim tidy(DataFolderPlatform& platform, const std::string& folder, std::string putAside) {
    std::vector<std::string> names;
    if (!platform.list(folder, names)) return refused(platform, folder, "it could not be read");
    for (const std::string& name : names) {
        const std::string path = folder + "\\" + name;
        const EntryKind kind = platform.kind(path);
        if (kind == EntryKind::Missing) continue;  // gone meanwhile
        const bool byMachine = kind == EntryKind::File && platform.ownedByMachine(path);
        if (stays(name, kind, byMachine)) continue;
        std::string aside;
        const bool gone = kind == EntryKind::Folder ? platform.moveAside(path, aside) : platform.remove(path);
        if (!gone) return refused(platform, path, "it could not be taken away");
    }
    return {true, {}, std::move(putAside)};
}

// The policy file of a folder put aside comes back when the machine wrote it:
// the owner's policy is not lost with the folder someone else made.
void carryOver(DataFolderPlatform& platform, const std::string& aside, const std::string& folder) {
    const std::string from = aside + "\\" + ConfigFileName;
    if (platform.kind(from) == EntryKind::File && platform.ownedByMachine(from))
        platform.move(from, folder + "\\" + ConfigFileName);
}

}  // namespace

FolderClaim claimDataFolder(DataFolderPlatform& platform, const std::string& folder) {
    if (folder.empty()) return {false, "there is no folder for programs' data", {}};
    std::string putAside;
    for (int round = 0; round < MostRounds; ++round) {
        const EntryKind kind = platform.kind(folder);
        if (kind == EntryKind::Missing) {
            if (!platform.create(folder)) continue;  // someone made it meanwhile: looked at again
            if (!putAside.empty()) carryOver(platform, putAside, folder);
            return {true, {}, putAside};
        }
        if (kind == EntryKind::Folder) {
            const auto protection = platform.protect(folder);
            if (protection == DataFolderPlatform::Protection::Done) return tidy(platform, folder, putAside);
            if (protection == DataFolderPlatform::Protection::Failed)
                return {false, "its access list could not be set: " + platform.lastErrorText(), {}};
        }
        // Made by someone else, a link or a file: never entered, put aside whole.
        if (!platform.moveAside(folder, putAside))
            return {false, "it is not the service's own and could not be put aside: " + platform.lastErrorText(), {}};
    }
    return {false, "it was made again each time it was put aside", {}};
}

bool takeDataFolder(DataFolderPlatform& platform, const std::string& folder, ConfigFile& config, AuditTrail& audit) {
    const FolderClaim claim = claimDataFolder(platform, folder);
    if (!claim.putAside.empty()) audit.report(AuditEvent::DataFolderPutAside, {folder, claim.putAside});
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
        value.keep(line);
        audit.report(AuditEvent::SetupPasswordKept, {value.name()});
        return SetupOutcome::Kept;
    }
    value.remove();
    audit.report(AuditEvent::SetupPasswordTaken);
    return SetupOutcome::Taken;
}

}  // namespace ventrix
