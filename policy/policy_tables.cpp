#include "policy/policy_tables.h"

#include <algorithm>
#include <cstring>

namespace ventrix {
namespace {

// Appends with growth by half again (or to exactly what is needed if more).
template <typename T>
void appendGrowing(std::vector<T>& table, const T& item) {
    if (table.size() == table.capacity()) {
        std::size_t grown = table.capacity() + table.capacity() / 2;
        table.reserve(std::max(grown, table.size() + 1));
    }
    table.push_back(item);
}

std::string_view upToNul(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

char foldAsciiUpper(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view labelOf(const LockedMediaRecord& record) {
    return {record.label, strnlen(record.label, sizeof record.label)};
}

}  // namespace

bool labelsEqual(std::string_view a, std::string_view b) {
    a = upToNul(a);
    b = upToNul(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAsciiUpper(a[i]) != foldAsciiUpper(b[i])) return false;
    }
    return true;
}

// ---- Drive lock table --------------------------------------------------------

void PolicyTables::resetDriveCursor() { DriveCursor = 0; }

bool PolicyTables::nextDrive(std::string& root, std::uint32_t* locked) {
    if (drives_.empty() || DriveCursor > drives_.size() - 1) {
        DriveCursor = 0;
        return false;
    }
    const DriveLockEntry& entry = drives_[DriveCursor++];
    root.assign({entry.letter, ':', '\\'});
    if (locked) *locked = entry.locked;
    return true;
}

bool PolicyTables::findDrive(std::string_view drive, std::uint32_t* locked) const {
    if (drive.empty()) return false;
    for (const DriveLockEntry& entry : drives_) {
        if (entry.letter == drive.front()) {
            if (locked) *locked = entry.locked;
            return true;
        }
    }
    return false;
}

int PolicyTables::setDriveLocked(std::string_view drive, bool locked) {
    const char letter = drive.empty() ? '\0' : drive.front();
    for (DriveLockEntry& entry : drives_) {
        if (entry.letter == letter) {
            entry.locked = locked ? 1 : 0;
            return 0;
        }
    }
    appendGrowing(drives_, DriveLockEntry{letter, static_cast<std::uint8_t>(locked ? 1 : 0)});
    return 1;
}

bool PolicyTables::isDriveLocked(std::string_view root) {
    resetDriveCursor();
    std::string entryRoot;
    std::uint32_t locked = 0;
    while (nextDrive(entryRoot, &locked)) {
        if (entryRoot == root) return locked != 0;  // cursor stays just past this entry
    }
    return false;
}

const char* PolicyTables::driveStateText(std::string_view drive) const {
    std::uint32_t locked = 0;
    if (!findDrive(drive, &locked)) return "";
    return locked ? "Locked" : "Unlocked";
}

// ---- Locked media table ------------------------------------------------------
// The trusted table below shares these walks and matches.

namespace {

bool nextRecord(const std::vector<LockedMediaRecord>& table, std::uint32_t& cursor, std::uint32_t& serial,
                std::string& label, std::uint32_t& driveType) {
    if (table.empty() || cursor > table.size() - 1) {
        cursor = 0;
        return false;
    }
    const LockedMediaRecord& record = table[cursor++];
    serial = record.serial;
    label.assign(labelOf(record));
    driveType = record.driveType;
    return true;
}

bool sameMedium(const LockedMediaRecord& record, std::uint32_t serial, std::string_view label,
                std::uint32_t driveType) {
    return record.serial == serial && record.driveType == driveType && labelsEqual(labelOf(record), label);
}

bool findRecord(const std::vector<LockedMediaRecord>& table, std::uint32_t serial, std::string_view label,
                std::uint32_t driveType) {
    return std::any_of(table.begin(), table.end(), [&](const LockedMediaRecord& record) {
        return sameMedium(record, serial, label, driveType);
    });
}

bool findManaged(const std::vector<ManagedMedium>& media, std::uint32_t serial, std::string_view label,
                 std::uint32_t driveType) {
    return std::any_of(media.begin(), media.end(), [&](const ManagedMedium& medium) {
        return medium.serial == serial && medium.driveType == driveType && labelsEqual(medium.label, label);
    });
}

// Adding to one list takes the same medium off the other.
void eraseMedium(std::vector<LockedMediaRecord>& table, std::uint32_t serial, std::string_view label,
                 std::uint32_t driveType) {
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const LockedMediaRecord& record) {
                                   return sameMedium(record, serial, label, driveType);
                               }),
                table.end());
}

bool addRecord(std::vector<LockedMediaRecord>& table, std::uint32_t serial, std::string_view label,
               std::uint32_t driveType) {
    if (findRecord(table, serial, label, driveType)) return false;
    LockedMediaRecord record{};
    // Labels come from a 260-byte volume query; a longer text is cut to fit the field.
    label = upToNul(label).substr(0, MaxLabelLength);
    std::memcpy(record.label, label.data(), label.size());
    record.serial = serial;
    record.driveType = driveType;
    appendGrowing(table, record);
    return true;
}

bool removeRecord(std::vector<LockedMediaRecord>& table, std::uint32_t serial, std::string_view label) {
    auto match = std::find_if(table.begin(), table.end(), [&](const LockedMediaRecord& record) {
        return record.serial == serial && labelsEqual(labelOf(record), label);
    });
    if (match == table.end()) return false;
    table.erase(match);
    return true;
}

// The label field must end in a NUL with zeros after it, whatever the file said.
LockedMediaRecord cleanRecord(const LockedMediaRecord& record) {
    LockedMediaRecord clean{};
    const std::size_t length = strnlen(record.label, MaxLabelLength);
    std::memcpy(clean.label, record.label, length);
    clean.serial = record.serial;
    clean.driveType = record.driveType;
    return clean;
}

}  // namespace

void PolicyTables::resetMediaCursor() { MediaCursor = 0; }

bool PolicyTables::nextMedia(std::uint32_t& serial, std::string& label, std::uint32_t& driveType) {
    return nextRecord(media_, MediaCursor, serial, label, driveType);
}

bool PolicyTables::findMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const {
    return findRecord(media_, serial, label, driveType) || findManaged(Managed.lockedMedia, serial, label, driveType);
}

bool PolicyTables::isMediaListed(std::uint32_t serial, std::string_view label) const {
    return findMedia(serial, label, 5) || findMedia(serial, label, 2);
}

bool PolicyTables::isMediaListedLocally(std::uint32_t serial, std::string_view label) const {
    return findRecord(media_, serial, label, 5) || findRecord(media_, serial, label, 2);
}

bool PolicyTables::addMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType) {
    eraseMedium(trusted_, serial, label, driveType);
    eraseMedium(readOnlyTrusted_, serial, label, driveType);
    return addRecord(media_, serial, label, driveType);
}

bool PolicyTables::removeMedia(std::uint32_t serial, std::string_view label) {
    return removeRecord(media_, serial, label);
}

// ---- Trusted media table -----------------------------------------------------

void PolicyTables::resetTrustedCursor() { TrustedCursor = 0; }

bool PolicyTables::nextTrustedMedia(std::uint32_t& serial, std::string& label, std::uint32_t& driveType,
                                    bool* readOnly) {
    // One cursor over both lists: the full ones, then the read-only ones.
    const std::size_t full = trusted_.size();
    if (TrustedCursor >= full + readOnlyTrusted_.size()) {
        TrustedCursor = 0;
        return false;
    }
    const bool second = TrustedCursor >= full;
    const LockedMediaRecord& record = second ? readOnlyTrusted_[TrustedCursor - full] : trusted_[TrustedCursor];
    ++TrustedCursor;
    serial = record.serial;
    label.assign(labelOf(record));
    driveType = record.driveType;
    if (readOnly) *readOnly = second;
    return true;
}

bool PolicyTables::findTrustedMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const {
    return findRecord(trusted_, serial, label, driveType) || findRecord(readOnlyTrusted_, serial, label, driveType) ||
           findManaged(Managed.trustedMedia, serial, label, driveType);
}

bool PolicyTables::isTrustedListed(std::uint32_t serial, std::string_view label) const {
    auto listed = [&](const std::vector<LockedMediaRecord>& table) {
        return std::any_of(table.begin(), table.end(), [&](const LockedMediaRecord& record) {
            return record.serial == serial && labelsEqual(labelOf(record), label);
        });
    };
    return Managed.listsTrusted(serial, label) || listed(trusted_) || listed(readOnlyTrusted_);
}

bool PolicyTables::addTrustedMedia(std::uint32_t serial, std::string_view label, std::uint32_t driveType,
                                   bool readOnly) {
    eraseMedium(media_, serial, label, driveType);
    auto& other = readOnly ? trusted_ : readOnlyTrusted_;
    const bool moved = findRecord(other, serial, label, driveType);
    eraseMedium(other, serial, label, driveType);
    return addRecord(readOnly ? readOnlyTrusted_ : trusted_, serial, label, driveType) || moved;
}

bool PolicyTables::removeTrustedMedia(std::uint32_t serial, std::string_view label) {
    return removeRecord(trusted_, serial, label) || removeRecord(readOnlyTrusted_, serial, label);
}

bool PolicyTables::isTrustedReadOnly(std::uint32_t serial, std::string_view label, std::uint32_t driveType) const {
    if (findRecord(readOnlyTrusted_, serial, label, driveType)) return true;
    return std::any_of(Managed.trustedMedia.begin(), Managed.trustedMedia.end(), [&](const ManagedMedium& medium) {
        return medium.readOnly && medium.serial == serial && medium.driveType == driveType &&
               labelsEqual(medium.label, label);
    });
}

// ---- Read-only drives and the journal ----------------------------------------

bool PolicyTables::isDriveReadOnly(std::string_view drive) const {
    if (drive.empty()) return false;
    for (const DriveLockEntry& entry : readOnly_) {
        if (entry.letter == drive.front()) return entry.locked != 0;
    }
    return false;
}

void PolicyTables::setDriveReadOnly(std::string_view drive, bool readOnly) {
    const char letter = drive.empty() ? '\0' : drive.front();
    for (DriveLockEntry& entry : readOnly_) {
        if (entry.letter == letter) {
            entry.locked = readOnly ? 1 : 0;
            return;
        }
    }
    if (readOnly) appendGrowing(readOnly_, DriveLockEntry{letter, 1});
}

void PolicyTables::journalReadOnly(std::uint32_t disk, char letter) {
    forgetReadOnly(letter);
    appendGrowing(journal_, ReadOnlyDiskEntry{disk, letter, {}});
}

bool PolicyTables::forgetReadOnly(char letter) {
    const auto before = journal_.size();
    journal_.erase(std::remove_if(journal_.begin(), journal_.end(),
                                  [&](const ReadOnlyDiskEntry& entry) { return entry.letter == letter; }),
                   journal_.end());
    return journal_.size() != before;
}

bool PolicyTables::diskJournaled(std::uint32_t disk) const {
    return std::any_of(journal_.begin(), journal_.end(),
                       [&](const ReadOnlyDiskEntry& entry) { return entry.disk == disk; });
}

// ---- Loading -----------------------------------------------------------------

std::size_t PolicyTables::lockedDriveCount() const {
    std::size_t count = 0;
    for (const DriveLockEntry& entry : drives_) count += entry.locked != 0;
    return count;
}

namespace {

// One entry per letter: a later record of a letter updates the earlier entry
// in place, as a later password record replaces an earlier one.
void appendLoadedLetter(std::vector<DriveLockEntry>& table, const DriveLockEntry& entry) {
    for (DriveLockEntry& existing : table) {
        if (existing.letter == entry.letter) {
            existing.locked = entry.locked;
            return;
        }
    }
    appendGrowing(table, entry);
}

}  // namespace

void PolicyTables::appendLoadedDrive(const DriveLockEntry& entry) { appendLoadedLetter(drives_, entry); }

void PolicyTables::appendLoadedMedia(const LockedMediaRecord& record) {
    const LockedMediaRecord clean = cleanRecord(record);
    // A medium on both lists in one file: the locked list wins, in either record order.
    eraseMedium(trusted_, clean.serial, labelOf(clean), clean.driveType);
    eraseMedium(readOnlyTrusted_, clean.serial, labelOf(clean), clean.driveType);
    appendGrowing(media_, clean);
}

void PolicyTables::appendLoadedTrusted(const LockedMediaRecord& record) {
    const LockedMediaRecord clean = cleanRecord(record);
    // Read-only wins over full trust, in either record order.
    if (findMedia(clean.serial, labelOf(clean), clean.driveType) ||
        findRecord(readOnlyTrusted_, clean.serial, labelOf(clean), clean.driveType)) {
        return;
    }
    appendGrowing(trusted_, clean);
}

void PolicyTables::appendLoadedReadOnlyTrusted(const LockedMediaRecord& record) {
    const LockedMediaRecord clean = cleanRecord(record);
    if (findMedia(clean.serial, labelOf(clean), clean.driveType)) return;
    eraseMedium(trusted_, clean.serial, labelOf(clean), clean.driveType);
    if (!findRecord(readOnlyTrusted_, clean.serial, labelOf(clean), clean.driveType))
        appendGrowing(readOnlyTrusted_, clean);
}

// Kept as read, byte for byte.
void PolicyTables::appendLoadedReadOnly(const DriveLockEntry& entry) { appendLoadedLetter(readOnly_, entry); }

void PolicyTables::appendLoadedJournal(const ReadOnlyDiskEntry& entry) {
    forgetReadOnly(entry.letter);
    appendGrowing(journal_, ReadOnlyDiskEntry{entry.disk, entry.letter, {}});
}

}  // namespace ventrix
