// "Tamrel.conf": a sequence of (tag, 32-bit little-endian length, protected
// bytes) records. Protection and file access sit behind small seams so the
// format logic runs anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "policy/audit_trail.h"
#include "policy/policy_tables.h"

namespace ventrix {

inline constexpr const char* ConfigFileName = "Tamrel.conf";

inline constexpr std::uint8_t PasswordTag = 0x5A;
inline constexpr std::uint8_t DriveTag = 0x5B;
inline constexpr std::uint8_t MediaTag = 0x5C;
// Trusted media are framed as a skippable record (tag, count N of 4-byte
// words, N words: protected length L, L protected bytes, zero padding), so
// a loader that does not know them passes over them.
inline constexpr std::uint8_t TrustedTag = 0x5D;
// Framed the same way, for the same reason: a read-only drive (a 2-byte
// DriveLockEntry image whose flag says read-only), a trusted medium let
// through read-only (a 268-byte LockedMediaRecord image; an older version,
// not knowing it, locks that medium as any other), and a disk made read-only
// (an 8-byte ReadOnlyDiskEntry image). A file with these still gives an older
// version the same locked and unlocked drives.
inline constexpr std::uint8_t ReadOnlyDriveTag = 0x5E;
inline constexpr std::uint8_t ReadOnlyTrustedTag = 0x5F;
inline constexpr std::uint8_t ReadOnlyDiskTag = 0x60;

// Far beyond anything Ventrix writes (10,000 media make about 4 MiB): a file
// or a record larger than this is damaged, and only what comes before it loads.
inline constexpr std::uint64_t MaxPolicyBytes = std::uint64_t{64} << 20;

// The names a save writes beside the file: the temporary copy
// (`Tamrel.conf.new`, `.new.2` ... `.new.8`) and the kept copies of a damaged
// file (`Tamrel.conf.unreadable`, `.unreadable.2` ... `.unreadable.999`).
inline constexpr const char* TemporarySuffix = ".new";
inline constexpr unsigned TemporaryNames = 8;
inline constexpr const char* KeptCopySuffix = ".unreadable";
inline constexpr unsigned KeptCopyNames = 999;

// A policy file found but not opened is retried this often, this far apart,
// so that a virus scanner's brief hold passes.
inline constexpr unsigned OpenRetries = 20;
inline constexpr unsigned OpenRetryPauseMs = 100;

// Binds bytes to the current user account (DPAPI on Windows). Each call
// replaces `out` with its result, so callers may reuse one buffer.
class DataProtector {
public:
    virtual ~DataProtector() = default;
    virtual bool protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) = 0;
    virtual bool unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) = 0;
};

// The policy file's platform seam: it only carries the calls. Every open is
// exclusive (no sharing), so a held file is refused to everyone else.
class FileSystem {
public:
    using Handle = std::intptr_t;
    static constexpr Handle InvalidHandle = -1;

    virtual ~FileSystem() = default;
    virtual bool exists(const char* name) = 0;
    virtual Handle openRead(const char* name) = 0;   // existing file, read access
    virtual Handle openWrite(const char* name) = 0;  // existing file, write access
    virtual Handle create(const char* name) = 0;     // new or truncated file, write access
    virtual bool size(Handle file, std::uint64_t& bytes) = 0;
    virtual std::size_t read(Handle file, void* buffer, std::size_t count) = 0;
    virtual bool write(Handle file, const void* data, std::size_t count) = 0;
    virtual bool flush(Handle file) = 0;
    virtual void close(Handle file) = 0;
    virtual bool replace(const char* from, const char* to) = 0;  // atomic
    virtual void remove(const char* name) = 0;
    // Puts the content of `from` under the new name `to` too (a link where the
    // system can, else a copy); fails when `to` exists.
    virtual bool keepCopy(const char* from, const char* to) = 0;
    // Waits before the next try of an open that was refused.
    virtual void pause(unsigned milliseconds) = 0;
    // The system's text for the error of the last call that failed here.
    virtual std::string lastErrorText() = 0;
};

// What a load met besides whole records: records whose protection could not
// be undone (another user's, a flipped byte), and a file or record too large
// to be Ventrix's, where the load stopped.
struct LoadDamage {
    unsigned unreadable = 0;
    bool oversized = false;
    bool any() const { return unreadable != 0 || oversized; }
};

// Pure format functions, shared by the file operations, the tests and the fuzzer.
LoadDamage parseConfiguration(const std::uint8_t* data, std::size_t size, DataProtector& protector,
                              PolicyTables& tables, std::string& password);
bool buildConfiguration(const PolicyTables& tables, const std::string& password,
                        DataProtector& protector, std::vector<std::uint8_t>& out);

class ConfigFile {
public:
    ConfigFile(PolicyTables& tables, FileSystem& files, DataProtector& protector,
               AuditTrail& audit = noAuditTrail())
        : tables_(tables), files_(files), protector_(protector), audit_(audit) {}
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    ~ConfigFile() { closeConfiguration(); }

    // 1 if the file was opened (it then stays held, whatever it held), 0 if
    // not. Damaged records are passed over; a record cut short ends the load.
    // Of two drive records for one letter the later flag wins. The file is
    // read in pieces: memory is bounded by the largest record, never the file.
    // A file that exists but stays refused is retried for about two seconds;
    // after that this run keeps its hands off it (see handsOff()).
    int loadConfiguration(const char* fileName, std::string& password);
    // 1 once the new content has replaced the file (then held again), 0 if the
    // file was left as it was: a record failed to protect, another process
    // holds the file, or writing the new copy beside it failed. A failure is
    // reported to the audit trail with the system's error text, and the file
    // is held again. When the last load met damage, the file as it was read
    // is first kept beside it (reported as 5001).
    int saveConfiguration(const char* fileName, const std::string& password);
    // 1 if a held file was closed, 0 if none was held.
    int closeConfiguration();
    bool isHeld() const { return ConfigFileHandle != FileSystem::InvalidHandle; }

    // The file exists, but this run could not read it (another program holds
    // it, or access is denied): it is never written during this run, so the
    // owner's policy outlives whatever this run does without it.
    bool handsOff() const { return handsOff_; }
    // The folder the file lives in is not this program's own (someone else
    // made it, a link): this run neither reads nor writes there. The reason
    // was reported by whoever found it.
    void refuseFolder(std::string reason) {
        handsOff_ = folderRefused_ = true;
        failure_ = std::move(reason);
    }
    bool folderRefused() const { return folderRefused_; }
    // The system's text for the last failure (the refused open, a failed save).
    const std::string& failureText() const { return failure_; }
    const LoadDamage& damage() const { return damage_; }

private:
    void closeHeld();
    int writeConfiguration(const char* fileName, const std::string& password);
    bool failure();
    bool mayReplace(const char* fileName);
    bool keepDamagedFile(const char* fileName);
    bool writeBeside(const char* fileName, const std::vector<std::uint8_t>& content, std::string& temporary);

    PolicyTables& tables_;
    FileSystem& files_;
    DataProtector& protector_;
    AuditTrail& audit_;
    std::string failure_;
    bool handsOff_ = false;
    bool folderRefused_ = false;
    LoadDamage damage_;
    FileSystem::Handle ConfigFileHandle = FileSystem::InvalidHandle;
};

}  // namespace ventrix
