#include "policy/win32/win32_file_system.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace ventrix {
namespace {

static_assert(sizeof(FileSystem::Handle) >= sizeof(HANDLE));

HANDLE nativeOf(FileSystem::Handle file) { return reinterpret_cast<HANDLE>(file); }

FileSystem::Handle openExclusive(const char* name, DWORD access, DWORD disposition) {
    HANDLE file = CreateFileA(name, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FileSystem::InvalidHandle;
    return reinterpret_cast<FileSystem::Handle>(file);
}

// ReadFile and WriteFile take a DWORD count; larger requests go in pieces.
constexpr std::size_t Chunk = 1u << 20;

}  // namespace

bool Win32FileSystem::exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

FileSystem::Handle Win32FileSystem::openRead(const char* name) {
    return openExclusive(name, GENERIC_READ, OPEN_EXISTING);
}

FileSystem::Handle Win32FileSystem::openWrite(const char* name) {
    return openExclusive(name, GENERIC_WRITE, OPEN_EXISTING);
}

FileSystem::Handle Win32FileSystem::create(const char* name) {
    return openExclusive(name, GENERIC_WRITE, CREATE_ALWAYS);
}

bool Win32FileSystem::size(Handle file, std::uint64_t& bytes) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(nativeOf(file), &value) || value.QuadPart < 0) return false;
    bytes = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

std::size_t Win32FileSystem::read(Handle file, void* buffer, std::size_t count) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < count) {
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min(count - got, Chunk));
        if (!ReadFile(nativeOf(file), out + got, want, &n, nullptr) || n == 0) break;
        got += n;
    }
    return got;
}

bool Win32FileSystem::write(Handle file, const void* data, std::size_t count) {
    const auto* in = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < count) {
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min(count - done, Chunk));
        if (!WriteFile(nativeOf(file), in + done, want, &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

bool Win32FileSystem::flush(Handle file) { return FlushFileBuffers(nativeOf(file)) != 0; }

void Win32FileSystem::close(Handle file) { CloseHandle(nativeOf(file)); }

bool Win32FileSystem::replace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void Win32FileSystem::remove(const char* name) { DeleteFileA(name); }

// A hard link costs no space, however large the file; where the volume has
// none (FAT), a copy.
bool Win32FileSystem::keepCopy(const char* from, const char* to) {
    return CreateHardLinkA(to, from, nullptr) || CopyFileA(from, to, TRUE);
}

void Win32FileSystem::pause(unsigned milliseconds) { Sleep(milliseconds); }

// FormatMessage's text for the thread's last error, without its line break;
// the number alone where the system has no text for it.
std::string Win32FileSystem::lastErrorText() {
    const DWORD error = GetLastError();
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    if (length == 0) return "error " + std::to_string(error);
    return std::string(text, length);
}

}  // namespace ventrix
