// Policy set by an administrator (Group Policy or a device-management
// service) under SOFTWARE\Policies\Ventrix, machine and user scope. This unit
// owns the reading behind a seam of its own; the rest of the program sees
// only the merged EffectivePolicy. Nothing here is ever written into the
// local policy file: without managed values the program behaves as before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/password_verifier.h"

namespace ventrix {

enum class PolicyScope { Machine, User };

// Registry value types, as the registry numbers them.
inline constexpr std::uint32_t RegSz = 1;
inline constexpr std::uint32_t RegDword = 4;

enum class ManagedKind {
    Verifier,   // REG_SZ, a password verifier line
    Switch,     // REG_DWORD, 1 in force, 0 not set
    MediaList,  // a subkey of REG_SZ values "1", "2", ...: label|SERIALHEX|removable or ...|cdrom
                // (a trusted one may end in |readonly)
    Minutes,    // REG_DWORD, 0 .. MaxUnlockMinutes
};

struct ManagedValue {
    const char* name;
    const char* key;  // for a list: the subkey holding its entries
    std::uint32_t type;
    ManagedKind kind;
};

// The one list of the values the program reads (name, key, registry type,
// kind). The administrative templates must declare exactly these; their
// static test reads this table.
inline constexpr ManagedValue ManagedValues[] = {
    {"PasswordVerifier", "SOFTWARE\\Policies\\Ventrix", RegSz, ManagedKind::Verifier},
    {"LockAllDrives", "SOFTWARE\\Policies\\Ventrix", RegDword, ManagedKind::Switch},
    {"LockedMedia", "SOFTWARE\\Policies\\Ventrix\\LockedMedia", RegSz, ManagedKind::MediaList},
    {"TrustedMedia", "SOFTWARE\\Policies\\Ventrix\\TrustedMedia", RegSz, ManagedKind::MediaList},
    {"UnlockMinutes", "SOFTWARE\\Policies\\Ventrix", RegDword, ManagedKind::Minutes},
    {"ReadOnlyAllDrives", "SOFTWARE\\Policies\\Ventrix", RegDword, ManagedKind::Switch},
};

// A whole day; a larger limit is taken for a mistake.
inline constexpr std::uint32_t MaxUnlockMinutes = 1440;
inline constexpr std::uint32_t ManagedRemovable = 2;  // the system's drive type numbers
inline constexpr std::uint32_t ManagedCdrom = 5;

struct RegistryData {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

struct NamedRegistryData {
    std::string name;
    RegistryData data;
};

// What a read found: the data, nothing there, or no answer (access denied,
// the key rewritten under the read): then nobody knows what is set.
enum class PolicyRead { Found, Absent, Failed };

// Reads one scope's registry; only carries the calls.
class PolicySource {
public:
    virtual ~PolicySource() = default;
    // Absent when the key or the value does not exist in that scope.
    virtual PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) = 0;
    // Every value of the key, in any order; Absent when the key does not exist.
    virtual PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) = 0;
    // Around one whole reading of the policy: while held, the system does not
    // rewrite it, so a refresh in progress is never half read.
    virtual void beginRead() {}
    virtual void endRead() {}
};

struct ManagedMedium {
    std::string label;
    std::uint32_t serial = 0;
    std::uint32_t driveType = 0;  // ManagedRemovable or ManagedCdrom
    bool readOnly = false;        // a trusted medium let through for reading only

    bool operator==(const ManagedMedium&) const = default;
};

struct MalformedPolicyValue {
    PolicyScope scope;
    std::string name;  // "PasswordVerifier", or "LockedMedia\3" for a list entry

    bool operator==(const MalformedPolicyValue&) const = default;
};

struct EffectivePolicy {
    std::optional<PasswordVerifier> verifier;  // set: prompts check it, the local password is not used
    bool lockAllDrives = false;                // every lockable drive counts as locked
    std::vector<ManagedMedium> lockedMedia;    // added to the local locked list's effect
    std::vector<ManagedMedium> trustedMedia;   // added to the local trusted list's effect
    std::optional<std::uint32_t> unlockMinutes;  // 0: Unlock not offered; N: an unlock ends after N minutes
    bool readOnlyAllDrives = false;  // every lockable drive not locked counts as read-only

    std::vector<std::string> inForce;                // names of the values in effect, table order
    std::vector<MalformedPolicyValue> malformed;     // ignored values, for the warning event
    std::vector<std::string> unreadable;             // values kept as read before: their read failed

    bool operator==(const EffectivePolicy&) const = default;
    // The same values in effect (malformed ones aside): no change to report or apply.
    bool sameEffectAs(const EffectivePolicy& other) const;
    // The same values that decide a drive's state: no apply pass is needed.
    bool sameDrivesAs(const EffectivePolicy& other) const;
    bool unlockOffered() const { return !unlockMinutes || *unlockMinutes > 0; }
    // Matched as the local lists match: serial and label (label rule of the tables).
    bool listsTrusted(std::uint32_t serial, std::string_view label) const;
};

// Reads both scopes and merges them. For each value the machine's wins; a
// malformed value is ignored as if absent (the other scope may then decide)
// and named in `malformed`. LockAllDrives 0 counts as not set. A list is
// taken as a whole from the machine when the machine's subkey holds at least
// one well-formed entry, else from the user's. A value whose read failed
// before it was decided keeps what `before` had for it, and is named in
// `unreadable`: a policy being rewritten never drops out for a moment.
EffectivePolicy readManagedPolicy(PolicySource& source, const EffectivePolicy& before = {});

// One list entry "label|SERIALHEX|removable" or "...|cdrom"; false if
// malformed. Where `readOnlyAllowed` (the trusted list), it may end in "|readonly".
bool parseManagedMedium(std::string_view text, ManagedMedium& out, bool readOnlyAllowed = false);

}  // namespace ventrix
