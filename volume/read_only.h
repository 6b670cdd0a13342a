// Read, never write: the volume in a read-only drive (or a trusted medium let
// through read-only) has its whole disk made read-only with the disk
// attribute, not kept (Persist FALSE), and each of the disk's volumes mounted
// again so that Windows writes nothing more to it. Every disk so made is
// journaled in the policy file before it is touched, and made writable again
// exactly: when its drive's state changes, when protection goes off, when the
// program or the service ends, and at the next start after a crash.
#pragma once

#include <cstdint>
#include <string>

#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "volume/volume_ops.h"

namespace ventrix {

inline constexpr const char* ReadOnlyFailedFormat =
    "The removable media in %s drive could not be made read-only and is locked";

class ReadOnlyMedia {
public:
    // The events are the caller's (it knows the medium): the audit is not kept.
    ReadOnlyMedia(PolicyTables& tables, VolumeOps& volumes, ConfigFile& config, AuditTrail& = noAuditTrail())
        : tables_(tables), volumes_(volumes), config_(config) {}

    // The disk of the volume at `root` made read-only and checked; true when
    // it is (or already was, by this journal). False with `why` set when it
    // could not be: the caller then locks the medium instead. `madeDisk`, when
    // given, gets the disk's number if this call is what made it read-only.
    bool makeReadOnly(const std::string& root, std::string& why, std::uint32_t* madeDisk = nullptr);
    // The drive's journal entry undone: its disk made writable again unless
    // another drive of the journal still needs it. Nothing when none.
    void release(const std::string& root);
    // Every disk of the journal made writable again (protection off, the end
    // of the program or the service, the start after a crash).
    void releaseAll();

private:
    bool setAttribute(std::uint32_t disk, bool readOnly, std::string& why);
    void remountDisk(std::uint32_t disk);
    bool verified(const std::string& root);
    bool saveJournal();
    // The letter's entry forgotten, its disk first cleared and remounted when
    // no other entry names it. No save.
    void forget(char letter);

    PolicyTables& tables_;
    VolumeOps& volumes_;
    ConfigFile& config_;
};

}  // namespace ventrix
