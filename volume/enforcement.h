// The procedures that apply the policy to the drives present: the start-up
// sweep, the apply pass, the release on unlock/exit and the arrival reaction.
#pragma once

#include <cstdint>
#include <string>

#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "volume/read_only.h"
#include "volume/volume_ops.h"

namespace ventrix {

inline constexpr const char* LockMessageFormat = "The removable media in %s drive is locked";

inline constexpr std::uintptr_t DbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t DbtDevtypVolume = 2;

// Mirrors of DEV_BROADCAST_HDR / DEV_BROADCAST_VOLUME, so the core needs no Windows header.
struct BroadcastHeader {
    std::uint32_t size;
    std::uint32_t deviceType;
    std::uint32_t reserved;
};
struct BroadcastVolume {
    BroadcastHeader header;
    std::uint32_t unitMask;
    std::uint16_t flags;
};

// The drives a volume arrival names (bit 0 is A:); false for any other
// device change, or a header too short to hold its unit mask.
bool volumeArrivalMask(std::uintptr_t event, const void* header, std::uint32_t& mask);

class Enforcement {
public:
    Enforcement(PolicyTables& tables, VolumeOps& volumes, ConfigFile& config, AuditTrail& audit = noAuditTrail())
        : tables_(tables), volumes_(volumes), config_(config), audit_(audit), readOnly_(tables, volumes, config) {}

    void lockMediaInDrive(const std::string& root);
    void startupSweep();
    void applyPolicy();
    // Protection off (Unlock, Unlock for, the program's exit): every locked
    // drive released and every disk made read-only made writable again.
    void releaseAllLockedDrives();
    // The disks made read-only made writable again: the service's stop, and
    // the journal's leftovers at start, before the sweep.
    void releaseReadOnly() { readOnly_.releaseAll(); }
    void onVolumeArrival(std::uintptr_t event, const void* header);
    // The drives of an arrival (bit 0 is A:), each handled while protection is on.
    void onDrivesArrived(std::uint32_t mask);
    // Where the rest of the program reports too, so it is wired in one place.
    AuditTrail& audit() const { return audit_; }

    // LockAllDrives set and the drive lockable: locked whatever its own flag.
    bool lockedByPolicy(const std::string& root);
    // ReadOnlyAllDrives set, the drive lockable and not locked by LockAllDrives
    // (which wins): read-only whatever its own flags, unless its flag locks it.
    bool readOnlyByPolicy(const std::string& root);

private:
    // One drive of an arrival, while protection is on.
    void onDriveArrival(const std::string& root);
    // A trusted medium in a drive flagged locked: read without a dismount,
    // reported and left alone. False for anything else, which then goes
    // through the locked drive's sequence.
    // A trusted read-only medium is made read-only (or locked instead) here,
    // unless `readOnlyLater`: the start-up sweep leaves it to the Apply that
    // follows, so that a refusal is boxed and reported once.
    bool letTrustedThrough(const std::string& root, bool readOnlyLater = false);
    // The medium in a read-only drive: a locked-list one ejected, a fully
    // trusted one let through, any other made read-only or locked instead.
    // `arrival`: ejected without a lock request, as an arrival's are.
    void readOnlyDriveMedium(const std::string& root, bool arrival);
    // Made read-only and reported; else ejected, its volume locked, reported and boxed.
    void makeReadOnlyOrLock(const std::string& root, const std::string& label, std::uint32_t serial);
    // The ejection reported, then the lock message shown.
    void reportEjected(const std::string& root, const std::string& label, const std::string& serial,
                       const char* reason);

    PolicyTables& tables_;
    VolumeOps& volumes_;
    ConfigFile& config_;
    AuditTrail& audit_;
    ReadOnlyMedia readOnly_;
};

}  // namespace ventrix
