#include "policy/posix/posix_file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace ventrix {
namespace {

// Opens and takes the exclusive hold; a file someone else holds is refused.
FileSystem::Handle openHeld(const char* name, int flags) {
    const int fd = ::open(name, flags | O_CLOEXEC, 0600);
    if (fd < 0) return FileSystem::InvalidHandle;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return FileSystem::InvalidHandle;
    }
    return fd;
}

int fdOf(FileSystem::Handle file) { return static_cast<int>(file); }

// A rename is durable only once its directory is; this is what
// MOVEFILE_WRITE_THROUGH gives on Windows.
void syncDirectoryOf(const char* name) {
    std::string directory(name);
    const std::size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool PosixFileSystem::exists(const char* name) {
    struct stat info {};
    return ::stat(name, &info) == 0;
}

FileSystem::Handle PosixFileSystem::openRead(const char* name) { return openHeld(name, O_RDONLY); }

FileSystem::Handle PosixFileSystem::openWrite(const char* name) { return openHeld(name, O_WRONLY); }

FileSystem::Handle PosixFileSystem::create(const char* name) {
    // Truncate only once the hold is ours: O_TRUNC would empty a held file.
    const Handle file = openHeld(name, O_WRONLY | O_CREAT);
    if (file != InvalidHandle && ::ftruncate(fdOf(file), 0) != 0) {
        ::close(fdOf(file));
        return InvalidHandle;
    }
    return file;
}

bool PosixFileSystem::size(Handle file, std::uint64_t& bytes) {
    struct stat info {};
    if (::fstat(fdOf(file), &info) != 0) return false;
    bytes = static_cast<std::uint64_t>(info.st_size);
    return true;
}

std::size_t PosixFileSystem::read(Handle file, void* buffer, std::size_t count) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fdOf(file), out + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool PosixFileSystem::write(Handle file, const void* data, std::size_t count) {
    const auto* in = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fdOf(file), in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool PosixFileSystem::flush(Handle file) { return ::fsync(fdOf(file)) == 0; }

void PosixFileSystem::close(Handle file) { ::close(fdOf(file)); }

bool PosixFileSystem::replace(const char* from, const char* to) {
    if (std::rename(from, to) != 0) return false;
    syncDirectoryOf(to);
    return true;
}

void PosixFileSystem::remove(const char* name) { ::unlink(name); }

bool PosixFileSystem::keepCopy(const char* from, const char* to) {
    if (::link(from, to) == 0) return true;
    if (errno == EEXIST) return false;
    const int in = ::open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool copied = out >= 0;
    char buffer[64 * 1024];
    while (copied) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            copied = n == 0 && ::fsync(out) == 0;
            break;
        }
        copied = write(out, buffer, static_cast<std::size_t>(n));
    }
    ::close(in);
    if (out >= 0) ::close(out);
    if (!copied && out >= 0) ::unlink(to);
    return copied;
}

void PosixFileSystem::pause(unsigned milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

std::string PosixFileSystem::lastErrorText() { return std::strerror(errno); }

}  // namespace ventrix
