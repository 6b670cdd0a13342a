#include "tests/support/memory_file_system.h"

#include <algorithm>
#include <cstring>

namespace ventrix::testing {

void MemoryFileSystem::put(const std::string& name, const Bytes& content) {
    files_[name] = File{content, content};
}

void MemoryFileSystem::putSparse(const std::string& name, const Bytes& content, std::uint64_t size) {
    put(name, content);
    files_[name].zerosUpTo = size;
}

Bytes MemoryFileSystem::contents(const std::string& name) const {
    auto it = files_.find(name);
    return it == files_.end() ? Bytes{} : it->second.data;
}

Bytes MemoryFileSystem::afterCrash(const std::string& name) const {
    auto it = files_.find(name);
    return it == files_.end() ? Bytes{} : it->second.durable;
}

bool MemoryFileSystem::isHeld(const std::string& name) const {
    return std::any_of(handles_.begin(), handles_.end(), [&](const auto& h) { return h.second.name == name; });
}

MemoryFileSystem::Open* MemoryFileSystem::find(Handle file) {
    auto it = handles_.find(file);
    return it == handles_.end() ? nullptr : &it->second;
}

// Spends one step of the crash budget; false once the machine has stopped.
bool MemoryFileSystem::step() {
    if (crashed_) return false;
    if (!crashArmed_) return true;
    if (crashBudget_ == 0) crashed_ = true;
    else --crashBudget_;
    return !crashed_;
}

FileSystem::Handle MemoryFileSystem::openHeld(const std::string& name, bool writable) {
    if (crashed_ || refused_.count(name) || folders_.count(name) || isHeld(name)) return InvalidHandle;
    const Handle file = nextHandle_++;
    handles_[file] = Open{name, writable, 0};
    return file;
}

bool MemoryFileSystem::exists(const char* name) { return has(name) || hasFolder(name); }

std::vector<std::string> MemoryFileSystem::names() const {
    std::set<std::string> all(folders_);
    for (const auto& file : files_) all.insert(file.first);
    return {all.begin(), all.end()};
}

FileSystem::Handle MemoryFileSystem::openRead(const char* name) {
    return has(name) ? openHeld(name, false) : InvalidHandle;
}

FileSystem::Handle MemoryFileSystem::openWrite(const char* name) {
    return has(name) ? openHeld(name, true) : InvalidHandle;
}

FileSystem::Handle MemoryFileSystem::create(const char* name) {
    if (crashed_ || refused_.count(name) || folders_.count(name) || isHeld(name) || !step()) return InvalidHandle;
    // Truncation is a metadata change: it reaches the disk at once.
    files_[name] = File{};
    return openHeld(name, true);
}

bool MemoryFileSystem::size(Handle file, std::uint64_t& bytes) {
    const Open* open = find(file);
    if (!open || failSizes_) return false;
    const File& f = files_[open->name];
    bytes = std::max<std::uint64_t>(f.data.size(), f.zerosUpTo);
    return true;
}

std::size_t MemoryFileSystem::read(Handle file, void* buffer, std::size_t count) {
    Open* open = find(file);
    if (!open || open->writable) return 0;
    largestRead_ = std::max(largestRead_, count);
    const File& f = files_[open->name];
    if (open->position >= f.data.size() && open->position < f.zerosUpTo) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, f.zerosUpTo - open->position));
        std::memset(buffer, 0, n);
        open->position += n;
        return n;
    }
    const Bytes& data = f.data;
    const std::size_t n = std::min(count, data.size() - std::min(open->position, data.size()));
    if (n != 0) std::memcpy(buffer, data.data() + open->position, n);
    open->position += n;
    return n;
}

bool MemoryFileSystem::write(Handle file, const void* data, std::size_t count) {
    Open* open = find(file);
    if (crashed_ || !open || !open->writable || ++writeCalls_ == failWriteAt_) return false;
    std::size_t n = 0;
    while (n < count && step()) ++n;
    Bytes& target = files_[open->name].data;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    target.resize(std::max(target.size(), open->position + n));
    std::copy(bytes, bytes + n, target.begin() + static_cast<std::ptrdiff_t>(open->position));
    open->position += n;
    return !crashed_;
}

bool MemoryFileSystem::flush(Handle file) {
    Open* open = find(file);
    if (crashed_ || !open || ++flushCalls_ == failFlushAt_ || !step()) return false;
    File& f = files_[open->name];
    f.durable = f.data;
    return true;
}

void MemoryFileSystem::close(Handle file) { handles_.erase(file); }

bool MemoryFileSystem::replace(const char* from, const char* to) {
    if (crashed_ || !has(from) || ++replaceCalls_ == failReplaceAt_) return false;
    if (isHeld(from) || (isHeld(to) && !replaceIgnoresHolds_) || hasFolder(to) || !step()) return false;
    files_[to] = files_[from];
    files_.erase(from);
    return true;
}

void MemoryFileSystem::remove(const char* name) {
    if (!has(name) || isHeld(name) || !step()) return;
    files_.erase(name);
}

bool MemoryFileSystem::keepCopy(const char* from, const char* to) {
    if (crashed_ || !has(from) || exists(to) || refused_.count(to) || !step()) return false;
    files_[to] = files_[from];
    return true;
}

std::string MemoryFileSystem::lastErrorText() { return errorText_; }

}  // namespace ventrix::testing
