// Writing the policy file: every record is protected into one image first,
// then the image is written beside the file and put in its place in one replace.
#include "policy/config_file.h"

#include <limits>

namespace ventrix {
namespace {

void appendRecord(std::uint8_t tag, const std::vector<std::uint8_t>& blob, std::vector<std::uint8_t>& out) {
    const auto length = static_cast<std::uint32_t>(blob.size());
    out.push_back(tag);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.insert(out.end(), blob.begin(), blob.end());
}

// The trusted and read-only records: tag, word count, then the protected
// length, the blob and zeros up to a word, so that older loaders pass over them.
bool appendFramedRecord(std::uint8_t tag, const std::vector<std::uint8_t>& blob, std::vector<std::uint8_t>& out) {
    const std::uint64_t bytes = 4 + std::uint64_t{blob.size()};
    const std::uint64_t words = (bytes + 3) / 4;
    if (words > std::numeric_limits<std::uint32_t>::max()) return false;
    const auto length = static_cast<std::uint32_t>(blob.size());
    out.push_back(tag);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(words >> shift));
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.insert(out.end(), blob.begin(), blob.end());
    out.insert(out.end(), static_cast<std::size_t>(words * 4 - bytes), std::uint8_t{0});
    return true;
}

}  // namespace

bool buildConfiguration(const PolicyTables& tables, const std::string& password,
                        DataProtector& protector, std::vector<std::uint8_t>& out) {
    out.clear();
    // Records are protected straight from their images into one reused
    // buffer, and the file image is sized once the first media record shows
    // how long a protected record is: nothing is allocated per record.
    std::vector<std::uint8_t> blob;
    auto add = [&](std::uint8_t tag, const void* image, std::size_t size) {
        if (!protector.protect(static_cast<const std::uint8_t*>(image), size, blob)) return false;
        if (blob.size() > std::numeric_limits<std::uint32_t>::max()) return false;
        appendRecord(tag, blob, out);
        return true;
    };
    auto fail = [&] {  // nothing half-built is handed back
        out.clear();
        return false;
    };

    // The password's characters and the NUL that c_str() guarantees after them.
    if (!add(PasswordTag, password.c_str(), password.size() + 1)) return fail();
    const auto& media = tables.mediaRecords();
    const auto& drives = tables.driveEntries();
    for (std::size_t i = 0; i < media.size(); ++i) {
        if (!add(MediaTag, &media[i], sizeof media[i])) return fail();
        if (i == 0) out.reserve(out.size() + (media.size() + drives.size()) * (5 + blob.size()));
    }
    for (const DriveLockEntry& entry : drives) {
        if (!add(DriveTag, &entry, sizeof entry)) return fail();
    }
    auto addFramed = [&](std::uint8_t tag, const void* image, std::size_t size) {
        return protector.protect(static_cast<const std::uint8_t*>(image), size, blob) &&
               appendFramedRecord(tag, blob, out);
    };
    for (const LockedMediaRecord& record : tables.trustedRecords()) {
        if (!addFramed(TrustedTag, &record, sizeof record)) return fail();
    }
    // After everything an older version knows, each list in table order.
    for (const DriveLockEntry& entry : tables.readOnlyEntries()) {
        if (!addFramed(ReadOnlyDriveTag, &entry, sizeof entry)) return fail();
    }
    for (const LockedMediaRecord& record : tables.readOnlyTrustedRecords()) {
        if (!addFramed(ReadOnlyTrustedTag, &record, sizeof record)) return fail();
    }
    for (const ReadOnlyDiskEntry& entry : tables.readOnlyDisks()) {
        if (!addFramed(ReadOnlyDiskTag, &entry, sizeof entry)) return fail();
    }
    return true;
}

int ConfigFile::saveConfiguration(const char* fileName, const std::string& password) {
    if (handsOff_) return 0;  // reported once, when the load was refused
    const int saved = writeConfiguration(fileName, password);
    if (saved) return 1;
    audit_.report(AuditEvent::SaveFailed, {failure_});
    // Whatever failed, the file stays ours for the rest of the run.
    if (!isHeld()) ConfigFileHandle = files_.openRead(fileName);
    return 0;
}

int ConfigFile::writeConfiguration(const char* fileName, const std::string& password) {
    // Everything is protected before the disk is touched: if any record fails,
    // the previous file, complete (and still held), is worth more than a new
    // one with a hole.
    std::vector<std::uint8_t> content;
    if (!buildConfiguration(tables_, password, protector_, content)) return failure();

    closeHeld();
    if (!mayReplace(fileName)) return 0;
    if (damage_.any() && !keepDamagedFile(fileName)) return 0;
    std::string temporary;
    if (!writeBeside(fileName, content, temporary)) return 0;

    // A crash before this point leaves the old file whole; after it, the new one.
    if (!files_.replace(temporary.c_str(), fileName)) {
        failure();
        files_.remove(temporary.c_str());
        return 0;
    }
    ConfigFileHandle = files_.openWrite(fileName);
    return 1;
}

// The replace would succeed on some systems even while another process holds
// the file, so ask first: a refused exclusive open means someone has it.
bool ConfigFile::mayReplace(const char* fileName) {
    if (!files_.exists(fileName)) return true;
    const FileSystem::Handle probe = files_.openWrite(fileName);
    if (probe == FileSystem::InvalidHandle) return failure();
    files_.close(probe);
    return true;
}

}  // namespace ventrix
