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
    // The system's text for the error of the last call that failed here.
    virtual std::string lastErrorText() = 0;
};

// Pure format functions, shared by the file operations, the tests and the fuzzer.
void parseConfiguration(const std::uint8_t* data, std::size_t size, DataProtector& protector,
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
    // Of two drive records for one letter the later flag wins.
    int loadConfiguration(const char* fileName, std::string& password);
    // 1 once the new content has replaced the file (then held again), 0 if the
    // file was left as it was: a record failed to protect, another process
    // holds the file, or writing the new copy beside it failed. A failure is
    // reported to the audit trail with the system's error text.
    int saveConfiguration(const char* fileName, const std::string& password);
    // 1 if a held file was closed, 0 if none was held.
    int closeConfiguration();
    bool isHeld() const { return ConfigFileHandle != FileSystem::InvalidHandle; }

private:
    void closeHeld();
    int writeConfiguration(const char* fileName, const std::string& password);
    bool failure();
    bool mayReplace(const char* fileName);
    bool writeBeside(const char* fileName, const std::vector<std::uint8_t>& content);

    PolicyTables& tables_;
    FileSystem& files_;
    DataProtector& protector_;
    AuditTrail& audit_;
    std::string failure_;
    FileSystem::Handle ConfigFileHandle = FileSystem::InvalidHandle;
};

}  // namespace ventrix
