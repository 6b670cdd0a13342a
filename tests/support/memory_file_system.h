// An in-memory FileSystem with Windows' exclusive holds and switchable faults.
// Each file keeps what has reached the disk (flushed) apart from what was
// merely written, so a simulated crash shows what a real one would leave.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "tests/support/bytes.h"

namespace ventrix::testing {


class MemoryFileSystem final : public FileSystem {
public:
    bool exists(const char* name) override;
    Handle openRead(const char* name) override;
    Handle openWrite(const char* name) override;
    Handle create(const char* name) override;
    bool size(Handle file, std::uint64_t& bytes) override;
    std::size_t read(Handle file, void* buffer, std::size_t count) override;
    bool write(Handle file, const void* data, std::size_t count) override;
    bool flush(Handle file) override;
    void close(Handle file) override;
    bool replace(const char* from, const char* to) override;
    void remove(const char* name) override;
    std::string lastErrorText() override;
    bool keepCopy(const char* from, const char* to) override;
    void pause(unsigned milliseconds) override { pausedMs_ += milliseconds; }

    // Set-up and inspection. A file put here counts as already on disk.
    void put(const std::string& name, const Bytes& content);
    // A file that reports `size` bytes: `content`, then zeros (a sparse file).
    void putSparse(const std::string& name, const Bytes& content, std::uint64_t size);
    unsigned pausedMs() const { return pausedMs_; }
    // The most any single read asked for: what a load holds in memory at once.
    std::size_t largestRead() const { return largestRead_; }
    bool has(const std::string& name) const { return files_.count(name) != 0; }
    // A folder under a file's name (someone else's): it exists, and no file
    // of that name can be opened, made or copied to while it is there.
    void putFolder(const std::string& name) { folders_.insert(name); }
    bool hasFolder(const std::string& name) const { return folders_.count(name) != 0; }
    bool removeFolder(const std::string& name) { return folders_.erase(name) != 0; }
    std::vector<std::string> names() const;  // files and folders, in order
    Bytes contents(const std::string& name) const;    // as this process sees it
    Bytes afterCrash(const std::string& name) const;  // what the disk holds
    bool isHeld(const std::string& name) const;
    std::size_t openHandles() const { return handles_.size(); }

    // Faults. Counts are 1-based over the life of the object; 0 means off.
    void refuseOpens(const std::string& name) { refused_.insert(name); }
    // Opens succeed, but no file's size can be learnt (a failing GetFileSizeEx).
    void failSizes() { failSizes_ = true; }
    void failWriteCall(unsigned n) { failWriteAt_ = n; }
    void failFlushCall(unsigned n) { failFlushAt_ = n; }
    void failReplaceCall(unsigned n) { failReplaceAt_ = n; }
    // What lastErrorText() answers, as a system would for the failed call.
    void setErrorText(std::string text) { errorText_ = std::move(text); }
    // Windows refuses to replace a held file; POSIX rename does not care.
    void replaceIgnoresHolds(bool on) { replaceIgnoresHolds_ = on; }
    // The machine stops after `steps` more changes to the disk, where every
    // byte written is one step and so is every create, flush, replace and
    // remove. A write that crosses the mark is cut there; nothing changes after.
    void crashAfter(std::size_t steps) { crashBudget_ = steps; crashArmed_ = true; }
    bool crashed() const { return crashed_; }

private:
    struct File {
        Bytes data;     // written
        Bytes durable;  // flushed
        std::uint64_t zerosUpTo = 0;  // a sparse tail of zeros after data
    };
    struct Open {
        std::string name;
        bool writable = false;
        std::size_t position = 0;
    };

    Handle openHeld(const std::string& name, bool writable);
    bool step();
    Open* find(Handle file);

    std::map<std::string, File> files_;
    std::map<Handle, Open> handles_;
    std::set<std::string> refused_;
    std::set<std::string> folders_;
    bool failSizes_ = false;
    std::string errorText_ = "The disk refused the request.";
    Handle nextHandle_ = 100;
    unsigned pausedMs_ = 0;
    std::size_t largestRead_ = 0;
    unsigned writeCalls_ = 0, flushCalls_ = 0, replaceCalls_ = 0;
    unsigned failWriteAt_ = 0, failFlushAt_ = 0, failReplaceAt_ = 0;
    std::size_t crashBudget_ = 0;
    bool crashArmed_ = false;
    bool replaceIgnoresHolds_ = false;
    bool crashed_ = false;
};

}  // namespace ventrix::testing
