// The in-memory policy: drive lock flags, locked media, trusted media,
// passwords and the protection switch. Tables are walked through their own cursors, exactly as
// the rest of the program expects (a walk past the end resets to 0).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "policy/managed_policy.h"

namespace ventrix {

inline constexpr const char* DefaultPassword = "quillfern";

// Both records are stored in "Tamrel.conf" as their exact byte images.
struct DriveLockEntry {
    char letter;
    std::uint8_t locked;  // any non-zero value counts as locked
};

struct LockedMediaRecord {
    char label[260];  // NUL-terminated, zero after the NUL
    std::uint32_t serial;
    std::uint32_t driveType;
};

// A disk Ventrix made read-only, and the drive it did it for. Kept in the
// policy file until it is undone, so that a crash leaves nothing read-only
// for good.
struct ReadOnlyDiskEntry {
    std::uint32_t disk;  // N of \\.\PhysicalDriveN
    char letter;
    std::uint8_t reserved[3];
};

static_assert(sizeof(DriveLockEntry) == 2);
static_assert(sizeof(ReadOnlyDiskEntry) == 8);
static_assert(offsetof(ReadOnlyDiskEntry, letter) == 4);
static_assert(offsetof(DriveLockEntry, letter) == 0 && offsetof(DriveLockEntry, locked) == 1);
static_assert(sizeof(LockedMediaRecord) == 268);
static_assert(offsetof(LockedMediaRecord, label) == 0);
static_assert(offsetof(LockedMediaRecord, serial) == 260);
static_assert(offsetof(LockedMediaRecord, driveType) == 264);
static_assert(std::endian::native == std::endian::little,
              "record images are little-endian on disk");

inline constexpr std::size_t MaxLabelLength = 259;

class PolicyTables {
public:
    // Drive lock table.
    void resetDriveCursor();
    bool nextDrive(std::string& root, std::uint32_t* locked = nullptr);
    bool findDrive(std::string_view drive, std::uint32_t* locked = nullptr) const;
    int setDriveLocked(std::string_view drive, bool locked);
    bool isDriveLocked(std::string_view root);
    const char* driveStateText(std::string_view drive) const;
    std::size_t lockedDriveCount() const;  // entries with a non-zero flag; no cursor moves

    // Locked media table.
    void resetMediaCursor();
    bool nextMedia(std::uint32_t& serial, std::string& label, std::uint32_t& driveType);
    bool findMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const;
    bool isMediaListed(std::uint32_t serial, std::string_view label) const;
    // On the local list itself, under either lockable type (not only by policy).
    bool isMediaListedLocally(std::uint32_t serial, std::string_view label) const;
    bool addMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType);
    bool removeMedia(std::uint32_t serial, std::string_view label);

    // Trusted media table: media let through a locked drive. Same records and
    // matching as the locked list; a medium is on at most one of the two.
    void resetTrustedCursor();
    // The fully trusted ones first, then those let through read-only.
    bool nextTrustedMedia(std::uint32_t& serial, std::string& label, std::uint32_t& driveType,
                          bool* readOnly = nullptr);
    bool findTrustedMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const;
    bool isTrustedListed(std::uint32_t serial, std::string_view label) const;  // under any drive type
    // Adding a medium trusted the other way changes its access (true).
    bool addTrustedMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType,
                         bool readOnly = false);
    bool removeTrustedMedia(std::uint32_t serial, std::string_view label);
    // Trusted, but only for reading: by the PC's own list or the administrator's
    // (either one saying read-only makes it so).
    bool isTrustedReadOnly(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const;

    // Read-only drives: a flag a letter beside the lock flag, which it leaves
    // alone; it counts only while the drive is unlocked. Letter rule; any
    // non-zero flag counts. Entries are never removed, only their flag changes.
    bool isDriveReadOnly(std::string_view drive) const;
    void setDriveReadOnly(std::string_view drive, bool readOnly);

    // The disks made read-only (the journal of what to undo).
    const std::vector<ReadOnlyDiskEntry>& readOnlyDisks() const { return journal_; }
    // The drive's entry names this disk now (an older one for it goes).
    void journalReadOnly(std::uint32_t disk, char letter);
    // The drive's entry gone; false when there was none.
    bool forgetReadOnly(char letter);
    bool diskJournaled(std::uint32_t disk) const;

    // Raw access for the configuration file, which stores and restores the images.
    const std::vector<DriveLockEntry>& driveEntries() const { return drives_; }
    const std::vector<LockedMediaRecord>& mediaRecords() const { return media_; }
    const std::vector<LockedMediaRecord>& trustedRecords() const { return trusted_; }
    const std::vector<LockedMediaRecord>& readOnlyTrustedRecords() const { return readOnlyTrusted_; }
    const std::vector<DriveLockEntry>& readOnlyEntries() const { return readOnly_; }
    void appendLoadedDrive(const DriveLockEntry& entry);
    void appendLoadedMedia(const LockedMediaRecord& record);
    void appendLoadedTrusted(const LockedMediaRecord& record);
    void appendLoadedReadOnlyTrusted(const LockedMediaRecord& record);
    void appendLoadedReadOnly(const DriveLockEntry& entry);
    void appendLoadedJournal(const ReadOnlyDiskEntry& entry);

    std::uint32_t driveCursor() const { return DriveCursor; }
    std::uint32_t mediaCursor() const { return MediaCursor; }
    std::uint32_t trustedCursor() const { return TrustedCursor; }

    std::string CurrentPassword = DefaultPassword;
    bool ProtectionOn = true;

    // What the administrator set: its media count as listed wherever the
    // local lists are looked up; none of it is stored in the policy file.
    EffectivePolicy Managed;

private:
    std::vector<DriveLockEntry> drives_;
    std::vector<LockedMediaRecord> media_;
    std::vector<LockedMediaRecord> trusted_;
    std::vector<LockedMediaRecord> readOnlyTrusted_;
    std::vector<DriveLockEntry> readOnly_;
    std::vector<ReadOnlyDiskEntry> journal_;
    std::uint32_t DriveCursor = 0;
    std::uint32_t MediaCursor = 0;
    std::uint32_t TrustedCursor = 0;
};

// The label rule: A-Z fold to a-z, nothing else folds, each label ends at its first NUL.
bool labelsEqual(std::string_view a, std::string_view b);

}  // namespace ventrix
