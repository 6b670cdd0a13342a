#include "volume/read_only.h"

#include <algorithm>
#include <vector>

#include "volume/disk_attributes.h"

namespace ventrix {
namespace {

const ReadOnlyDiskEntry* entryOf(const PolicyTables& tables, char letter) {
    const auto& journal = tables.readOnlyDisks();
    const auto found = std::find_if(journal.begin(), journal.end(),
                                    [&](const ReadOnlyDiskEntry& entry) { return entry.letter == letter; });
    return found == journal.end() ? nullptr : &*found;
}

// Another drive's entry still needs the disk.
bool namedByAnother(const PolicyTables& tables, std::uint32_t disk, char letter) {
    const auto& journal = tables.readOnlyDisks();
    return std::any_of(journal.begin(), journal.end(), [&](const ReadOnlyDiskEntry& entry) {
        return entry.disk == disk && entry.letter != letter;
    });
}

}  // namespace

bool ReadOnlyMedia::saveJournal() { return config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword) != 0; }

bool ReadOnlyMedia::setAttribute(std::uint32_t disk, bool readOnly, std::string& why) {
    const std::uint32_t error = volumes_.setDiskReadOnly(disk, readOnly);
    if (error == 0) return true;
    why = "the disk could not be made read-only: " + deviceErrorText(error);
    return false;
}

void ReadOnlyMedia::remountDisk(std::uint32_t disk) {
    for (const std::string& root : volumes_.volumesOfDisk(disk)) volumes_.dismountVolume(root);
}

// The file system mounted again says so, or the disk refuses writes as a
// write-protected one does.
bool ReadOnlyMedia::verified(const std::string& root) {
    std::uint32_t flags = 0;
    if (volumes_.platform().getVolumeFlags(root.c_str(), flags) && (flags & FileReadOnlyVolume) != 0) return true;
    return volumes_.volumeWritable(root) == ErrorWriteProtect;
}

void ReadOnlyMedia::forget(char letter) {
    const ReadOnlyDiskEntry* entry = entryOf(tables_, letter);
    if (entry == nullptr) return;
    const std::uint32_t disk = entry->disk;
    // Only a disk still at its drive is cleared: a stick pulled took the
    // attribute with it, and Windows may since have given its number to
    // another disk (a stick plugged meanwhile, or after a restart) that is
    // not ours to touch.
    VolumeDisk where;
    const bool stillThere = volumes_.volumeDisk(std::string{letter, ':', '\\'}, where) == 0 &&
                            where.deviceType == FileDeviceDisk && where.disk == disk;
    // Cleared before the entry goes: a crash in between clears it again at
    // the next start, never leaves it read-only unjournaled.
    if (stillThere && !namedByAnother(tables_, disk, letter)) {
        std::string ignored;  // a disk gone since has nothing left to clear
        setAttribute(disk, false, ignored);
        remountDisk(disk);
    }
    tables_.forgetReadOnly(letter);
}

bool ReadOnlyMedia::makeReadOnly(const std::string& root, std::string& why, std::uint32_t* madeDisk) {
    const char letter = root.empty() ? '\0' : root.front();
    VolumeDisk where;
    if (const std::uint32_t error = volumes_.volumeDisk(root, where)) {
        why = "its disk could not be found: " + deviceErrorText(error);
        return false;
    }
    const bool onDisk = where.deviceType == FileDeviceDisk;
    const ReadOnlyDiskEntry* entry = entryOf(tables_, letter);
    if (entry != nullptr && (!onDisk || entry->disk != where.disk)) {
        // Another medium now: what was done for the one before is undone.
        forget(letter);
        saveJournal();
        entry = nullptr;
    }
    if (!onDisk) {
        // A CD or DVD drive has no disk attribute to set, and burning software
        // writes to the drive itself, past any file system: such a medium can
        // never be kept read-only, so it is locked instead.
        why = "it is not on a disk that can be made read-only";
        return false;
    }
    const std::uint32_t disk = where.disk;
    bool already = false;
    volumes_.diskReadOnly(disk, already);  // a disk that cannot tell is set as if writable
    const bool shared = namedByAnother(tables_, disk, letter);
    if (already) {
        if (entry != nullptr) return true;  // done before: nothing again
        if (!shared) return true;           // read-only before us: never ours to undo
        // Made read-only for another drive of the same disk: this one needs it too.
        tables_.journalReadOnly(disk, letter);
        if (saveJournal()) return true;
        tables_.forgetReadOnly(letter);
        why = "the journal could not be saved";
        return false;
    }
    // Written ahead: once the request is sent, a crash must find it journaled.
    tables_.journalReadOnly(disk, letter);
    if (!saveJournal()) {
        tables_.forgetReadOnly(letter);
        why = "the journal could not be saved";
        return false;
    }
    bool set = setAttribute(disk, true, why);
    if (set) {
        remountDisk(disk);
        if (verified(root)) {
            if (madeDisk != nullptr) *madeDisk = disk;
            return true;
        }
        why = "the disk still accepts writes";
    }
    // Undone exactly: the attribute cleared only if this call set it and no
    // other drive needs it.
    if (set && !shared) {
        std::string ignored;
        setAttribute(disk, false, ignored);
        remountDisk(disk);
    }
    tables_.forgetReadOnly(letter);
    saveJournal();
    return false;
}

void ReadOnlyMedia::release(const std::string& root) {
    if (root.empty() || entryOf(tables_, root.front()) == nullptr) return;
    forget(root.front());
    saveJournal();
}

void ReadOnlyMedia::releaseAll() {
    if (tables_.readOnlyDisks().empty()) return;
    while (!tables_.readOnlyDisks().empty()) forget(tables_.readOnlyDisks().back().letter);
    saveJournal();
}

}  // namespace ventrix
