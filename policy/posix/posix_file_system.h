// FileSystem on POSIX, for the native build and its tests. Windows refuses a
// second open of a file held with share mode 0; here every open takes a
// non-blocking exclusive flock, so a held file is refused the same way to any
// other opener (another descriptor in this process included).
#pragma once

#include "policy/config_file.h"

namespace ventrix {

class PosixFileSystem final : public FileSystem {
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
    bool keepCopy(const char* from, const char* to) override;
    void pause(unsigned milliseconds) override;
    std::string lastErrorText() override;
};

}  // namespace ventrix
