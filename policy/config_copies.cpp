// The copies a save writes beside the policy file: the temporary one that
// replaces it, and the kept copy of a file whose last load met damage.
#include "policy/config_file.h"

namespace ventrix {
namespace {

// The first free name of a numbered series: base, base.2, base.3, ...
// Stale copies beside the file (a folder of that name, a read-only file, one
// another program holds) are passed over for the next name of the series.
template <typename Taken>
std::string freeName(const std::string& base, unsigned tries, Taken taken) {
    for (unsigned n = 1; n <= tries; ++n) {
        std::string name = n == 1 ? base : base + "." + std::to_string(n);
        if (!taken(name)) return name;
    }
    return {};
}

}  // namespace

// Records another account (or a repaired profile) could still read are not
// ours to destroy: before the first replace, the file as it was read is kept
// under a name of its own, never over an earlier copy.
bool ConfigFile::keepDamagedFile(const char* fileName) {
    if (!files_.exists(fileName)) {
        damage_ = {};
        return true;
    }
    const std::string kept = freeName(std::string(fileName) + KeptCopySuffix, KeptCopyNames,
                                      [&](const std::string& name) { return files_.exists(name.c_str()); });
    if (kept.empty() || !files_.keepCopy(fileName, kept.c_str())) return failure();
    const unsigned records = damage_.unreadable + (damage_.oversized ? 1 : 0);
    audit_.report(AuditEvent::UnreadableRecordsKept, {std::to_string(records), kept});
    damage_ = {};
    return true;
}

bool ConfigFile::writeBeside(const char* fileName, const std::vector<std::uint8_t>& content,
                             std::string& temporary) {
    const std::string base = std::string(fileName) + TemporarySuffix;
    FileSystem::Handle file = FileSystem::InvalidHandle;
    freeName(base, TemporaryNames, [&](const std::string& name) {
        file = files_.create(name.c_str());
        if (file == FileSystem::InvalidHandle) return true;
        temporary = name;
        return false;
    });
    if (file == FileSystem::InvalidHandle) return failure();
    const bool written = (files_.write(file, content.data(), content.size()) && files_.flush(file)) || failure();
    files_.close(file);
    if (!written) files_.remove(temporary.c_str());
    return written;
}

}  // namespace ventrix
