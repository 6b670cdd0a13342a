#include "volume/enforcement.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ventrix {
namespace {

constexpr std::size_t MessageBufferSize = 260;
constexpr std::uint32_t NoDisk = UINT32_MAX;  // nothing made read-only by this call

// The header must reach at least through the unit mask before it is read.
constexpr std::size_t VolumeRecordThroughMask = offsetof(BroadcastVolume, unitMask) + sizeof(std::uint32_t);

// Broadcast memory comes from the system: no alignment is assumed. The size
// field alone is read first; nothing past it is touched unless it says so.
bool readArrivalMask(const void* header, std::uint32_t& mask) {
    std::uint32_t size = 0;
    std::memcpy(&size, header, sizeof size);
    if (size < VolumeRecordThroughMask) return false;
    BroadcastHeader head;
    std::memcpy(&head, header, sizeof head);
    if (head.deviceType != DbtDevtypVolume) return false;
    std::memcpy(&mask, static_cast<const unsigned char*>(header) + offsetof(BroadcastVolume, unitMask),
                sizeof mask);
    return true;
}

// The one "%s" of a message replaced by the root, cut to the buffer as
// snprintf would; done by hand so the executable carries no printf engine.
void formatRootMessage(const char* format, const std::string& root, char* text, std::size_t capacity) {
    std::size_t used = 0;
    auto put = [&](const char* from, std::size_t count) {
        count = std::min(count, capacity - 1 - used);
        std::memcpy(text + used, from, count);
        used += count;
    };
    const char* hole = std::strstr(format, "%s");
    put(format, static_cast<std::size_t>(hole - format));
    put(root.c_str(), std::strlen(root.c_str()));
    put(hole + 2, std::strlen(hole + 2));
    text[used] = '\0';
}

}  // namespace

void Enforcement::reportEjected(const std::string& root, const std::string& label, const std::string& serial,
                                const char* reason) {
    audit_.report(AuditEvent::MediumEjected, {root, label, serial, reason});
    char text[MessageBufferSize] = {};
    formatRootMessage(LockMessageFormat, root, text, sizeof text);
    volumes_.platform().showMessage(nullptr, text, ErrorCaption, MbIconError | MbOk);
}

bool Enforcement::letTrustedThrough(const std::string& root, bool readOnlyLater) {
    // With nothing trusted, here or by the administrator, there is nothing to
    // read for: every request stays as it was.
    if (tables_.trustedRecords().empty() && tables_.readOnlyTrustedRecords().empty() &&
        tables_.Managed.trustedMedia.empty())
        return false;
    std::string label;
    std::uint32_t serial = 0;
    if (!volumes_.peekVolumeIdentity(root, label, serial)) return false;
    // A locked-list medium is ejected wherever it turns up; the drive's type
    // is asked for only when the trusted list could hold the medium.
    if (tables_.isMediaListed(serial, label) || !tables_.isTrustedListed(serial, label)) return false;
    const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
    if (!tables_.findTrustedMedia(serial, label, type)) return false;
    if (tables_.isTrustedReadOnly(serial, label, type)) {
        if (!readOnlyLater) makeReadOnlyOrLock(root, label, serial);
        return true;
    }
    readOnly_.release(root);  // made read-only for a medium before it
    audit_.report(AuditEvent::TrustedMediumAllowed, {root, label, formatSerialHex(serial)});
    return true;
}

void Enforcement::makeReadOnlyOrLock(const std::string& root, const std::string& label, std::uint32_t serial) {
    std::string why;
    std::uint32_t disk = NoDisk;
    if (readOnly_.makeReadOnly(root, why, &disk)) {
        if (disk != NoDisk)
            audit_.report(AuditEvent::MadeReadOnly, {root, label, formatSerialHex(serial), std::to_string(disk)});
        return;
    }
    // Never left writable: locked as a locked drive's medium, the drive's flags untouched.
    volumes_.ejectMedia(root);
    volumes_.lockVolume(root);
    audit_.report(AuditEvent::ReadOnlyRefused, {root, label, formatSerialHex(serial), why});
    char text[MessageBufferSize] = {};
    formatRootMessage(ReadOnlyFailedFormat, root, text, sizeof text);
    volumes_.platform().showMessage(nullptr, text, ErrorCaption, MbIconError | MbOk);
}

void Enforcement::readOnlyDriveMedium(const std::string& root, bool arrival) {
    std::string label;
    std::uint32_t serial = 0;
    if (!volumes_.peekVolumeIdentity(root, label, serial)) return;
    const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
    if (tables_.findMedia(serial, label, type)) {
        readOnly_.release(root);
        volumes_.ejectMedia(root);
        if (!arrival) volumes_.lockVolume(root);
        reportEjected(root, label, formatSerialHex(serial), ReasonMediumListed);
        return;
    }
    if (tables_.findTrustedMedia(serial, label, type) && !tables_.isTrustedReadOnly(serial, label, type)) {
        readOnly_.release(root);
        audit_.report(AuditEvent::TrustedMediumAllowed, {root, label, formatSerialHex(serial)});
        return;
    }
    makeReadOnlyOrLock(root, label, serial);
}

// LockAllDrives: every lockable drive counts as locked, whatever its flag.
// The drive's type is asked for only while that policy is set.
bool Enforcement::lockedByPolicy(const std::string& root) {
    return tables_.Managed.lockAllDrives && isLockableDrive(root, volumes_.platform().getDriveType(root.c_str()));
}

bool Enforcement::readOnlyByPolicy(const std::string& root) {
    return tables_.Managed.readOnlyAllDrives && !tables_.Managed.lockAllDrives &&
           isLockableDrive(root, volumes_.platform().getDriveType(root.c_str()));
}

void Enforcement::lockMediaInDrive(const std::string& root) {
    // isDriveLocked stops its walk just past this drive's entry, so a table
    // walk that called us resumes where it stood.
    const bool flagged = tables_.isDriveLocked(root);
    const bool driveLocked = flagged || lockedByPolicy(root);
    if (driveLocked && letTrustedThrough(root)) return;
    std::string label;
    std::uint32_t serial = 0;
    if (driveLocked) readOnly_.release(root);  // a read-only drive become locked
    if (!volumes_.queryVolumeIdentity(root, label, serial)) return;
    if (!driveLocked && !tables_.isMediaListed(serial, label)) return;
    volumes_.ejectMedia(root);
    volumes_.lockVolume(root);
    // The administrator's reasons never reach the local flags: without the
    // policy the drive is again what the owner made it.
    if (flagged || tables_.isMediaListedLocally(serial, label)) tables_.setDriveLocked(root, true);
    reportEjected(root, label, formatSerialHex(serial), driveLocked ? ReasonDriveLocked : ReasonMediumListed);
}

void Enforcement::startupSweep() {
    for (const std::string& root : volumes_.driveRoots()) {
        const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
        if (!isLockableDrive(root, type)) continue;
        std::uint32_t locked = 0;
        if (!tables_.findDrive(root, &locked)) {
            tables_.setDriveLocked(root, true);
            locked = 1;
        }
        if (locked != 0 || tables_.Managed.lockAllDrives) {
            if (!letTrustedThrough(root, true)) volumes_.lockVolume(root);
            continue;
        }
        // A read-only drive's medium is made read-only by the Apply that
        // follows in the same pass (once, not twice); here it goes as in an
        // unlocked drive: ejected only when listed.
        std::string label;
        std::uint32_t serial = 0;
        if (volumes_.queryVolumeIdentity(root, label, serial) && tables_.findMedia(serial, label, type)) {
            lockMediaInDrive(root);
        }
    }
}

void Enforcement::applyPolicy() {
    std::string root;
    std::uint32_t locked = 0;
    // The shared cursor, not a copy of the table: an entry appended by an
    // arrival handled during one of our message boxes is visited at the end.
    tables_.resetDriveCursor();
    while (tables_.nextDrive(root, &locked)) {
        if (locked != 0 || lockedByPolicy(root)) {
            lockMediaInDrive(root);
        } else if (tables_.isDriveReadOnly(root) || readOnlyByPolicy(root)) {
            readOnlyDriveMedium(root, false);
        } else {
            volumes_.releaseVolume(root);
            readOnly_.release(root);  // a read-only drive become unlocked
        }
    }
    config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword);
}

void Enforcement::releaseAllLockedDrives() {
    std::string root;
    std::uint32_t locked = 0;
    tables_.resetDriveCursor();
    while (tables_.nextDrive(root, &locked)) {
        if (locked != 0 || lockedByPolicy(root)) volumes_.releaseVolume(root);
    }
    readOnly_.releaseAll();
}

bool volumeArrivalMask(std::uintptr_t event, const void* header, std::uint32_t& mask) {
    return event == DbtDeviceArrival && header != nullptr && readArrivalMask(header, mask);
}

void Enforcement::onVolumeArrival(std::uintptr_t event, const void* header) {
    std::uint32_t mask = 0;
    if (volumeArrivalMask(event, header, mask)) onDrivesArrived(mask);
}

void Enforcement::onDrivesArrived(std::uint32_t mask) {
    // A card reader or a partitioned stick names several drives in one
    // arrival: each one is handled, in letter order, as if it came alone.
    for (int index = 0; index < 26; ++index) {
        if ((mask >> index & 1u) == 0) continue;
        // Protection may go off during an earlier drive's box.
        if (!tables_.ProtectionOn) return;
        onDriveArrival(std::string{static_cast<char>('A' + index), ':', '\\'});
    }
}

void Enforcement::onDriveArrival(const std::string& root) {
    std::uint32_t locked = 0;
    if (!tables_.findDrive(root, &locked)) {
        // A drive never seen before is locked first, unless it holds a trusted medium.
        const bool trusted = letTrustedThrough(root);
        tables_.setDriveLocked(root, true);
        if (trusted) return;
        volumes_.lockVolume(root);
        volumes_.ejectMedia(root);
        reportEjected(root, "", "", ReasonNewDrive);
        return;
    }
    if (locked == 0 && lockedByPolicy(root)) locked = 1;
    if (locked != 0 && letTrustedThrough(root)) return;
    if (locked == 0 && (tables_.isDriveReadOnly(root) || readOnlyByPolicy(root))) {
        readOnlyDriveMedium(root, true);
        return;
    }
    std::string label;
    std::uint32_t serial = 0;
    if (!volumes_.queryVolumeIdentity(root, label, serial)) return;
    if (locked == 0) {
        const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
        if (!tables_.findMedia(serial, label, type)) return;
    }
    volumes_.ejectMedia(root);
    reportEjected(root, label, formatSerialHex(serial), locked != 0 ? ReasonDriveLocked : ReasonMediumListed);
}

}  // namespace ventrix
