#include "policy/config_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ventrix {
namespace {

// Walks the file image; every read is bounds-checked, so a damaged file can
// end the load early but never makes us read or allocate past its end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - pos_; }

    bool byte(std::uint8_t& value) {
        if (remaining() < 1) return false;
        value = data_[pos_++];
        return true;
    }

    bool le32(std::uint32_t& value) {
        if (remaining() < 4) return false;
        value = static_cast<std::uint32_t>(data_[pos_]) |
                static_cast<std::uint32_t>(data_[pos_ + 1]) << 8 |
                static_cast<std::uint32_t>(data_[pos_ + 2]) << 16 |
                static_cast<std::uint32_t>(data_[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }

    // Hands out the next `count` bytes in place; no copy, no allocation.
    bool take(std::uint64_t count, const std::uint8_t*& bytes) {
        if (count > remaining()) return false;
        bytes = data_ + pos_;
        pos_ += static_cast<std::size_t>(count);
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void applyPassword(const std::vector<std::uint8_t>& plain, std::string& password) {
    auto end = std::find(plain.begin(), plain.end(), std::uint8_t{0});
    password.assign(plain.begin(), end);
}

// An empty plaintext has no data pointer to copy from; the defaults stand.
void applyDrive(const std::vector<std::uint8_t>& plain, PolicyTables& tables) {
    DriveLockEntry entry{0, 1};
    if (!plain.empty()) std::memcpy(&entry, plain.data(), std::min(plain.size(), sizeof entry));
    tables.appendLoadedDrive(entry);
}

void applyMedia(const std::vector<std::uint8_t>& plain, PolicyTables& tables) {
    LockedMediaRecord record{};
    if (!plain.empty()) std::memcpy(&record, plain.data(), std::min(plain.size(), sizeof record));
    tables.appendLoadedMedia(record);
}

// One protected record. Returns false when the file ends inside it; a record
// that does not unprotect is passed over, so one bad record costs only itself.
// `plain` is the caller's scratch buffer, reused from record to record.
bool loadRecord(std::uint8_t tag, Reader& in, DataProtector& protector, PolicyTables& tables,
                std::string& password, std::vector<std::uint8_t>& plain) {
    std::uint32_t length = 0;
    const std::uint8_t* blob = nullptr;
    if (!in.le32(length) || !in.take(length, blob)) return false;

    if (!protector.unprotect(blob, length, plain)) return true;
    if (tag == PasswordTag) applyPassword(plain, password);
    if (tag == DriveTag) applyDrive(plain, tables);
    if (tag == MediaTag) applyMedia(plain, tables);
    return true;
}

void applyTrusted(const std::vector<std::uint8_t>& plain, PolicyTables& tables) {
    LockedMediaRecord record{};
    if (!plain.empty()) std::memcpy(&record, plain.data(), std::min(plain.size(), sizeof record));
    tables.appendLoadedTrusted(record);
}

// A trusted record is taken whole by its word count first, so a length
// inside it that is zero or runs past its words costs only this record.
bool loadTrustedRecord(Reader& in, DataProtector& protector, PolicyTables& tables,
                       std::vector<std::uint8_t>& plain) {
    std::uint32_t words = 0;
    const std::uint8_t* body = nullptr;
    if (!in.le32(words) || !in.take(std::uint64_t{words} * 4, body)) return false;
    Reader inside(body, static_cast<std::size_t>(std::uint64_t{words} * 4));
    std::uint32_t length = 0;
    const std::uint8_t* blob = nullptr;
    if (!inside.le32(length) || length == 0 || !inside.take(length, blob)) return true;
    if (protector.unprotect(blob, length, plain)) applyTrusted(plain, tables);
    return true;
}

// An unknown tag is followed by a count of 4-byte words to pass over.
bool skipUnknown(Reader& in) {
    std::uint32_t words = 0;
    const std::uint8_t* skipped = nullptr;
    return in.le32(words) && in.take(std::uint64_t{words} * 4, skipped);
}

bool isRecordTag(std::uint8_t tag) {
    return tag == PasswordTag || tag == DriveTag || tag == MediaTag;
}

void appendRecord(std::uint8_t tag, const std::vector<std::uint8_t>& blob, std::vector<std::uint8_t>& out) {
    const auto length = static_cast<std::uint32_t>(blob.size());
    out.push_back(tag);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.insert(out.end(), blob.begin(), blob.end());
}

// Tag, word count, then the protected length, the blob and zeros up to a word.
bool appendTrustedRecord(const std::vector<std::uint8_t>& blob, std::vector<std::uint8_t>& out) {
    const std::uint64_t bytes = 4 + std::uint64_t{blob.size()};
    const std::uint64_t words = (bytes + 3) / 4;
    if (words > std::numeric_limits<std::uint32_t>::max()) return false;
    const auto length = static_cast<std::uint32_t>(blob.size());
    out.push_back(TrustedTag);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(words >> shift));
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    out.insert(out.end(), blob.begin(), blob.end());
    out.insert(out.end(), static_cast<std::size_t>(words * 4 - bytes), std::uint8_t{0});
    return true;
}

std::string siblingName(const char* fileName) { return std::string(fileName) + ".new"; }

}  // namespace

void parseConfiguration(const std::uint8_t* data, std::size_t size, DataProtector& protector,
                        PolicyTables& tables, std::string& password) {
    Reader in(data, size);
    std::vector<std::uint8_t> plain;
    std::uint8_t tag = 0;
    while (in.byte(tag)) {
        bool more = false;
        if (isRecordTag(tag))
            more = loadRecord(tag, in, protector, tables, password, plain);
        else if (tag == TrustedTag)
            more = loadTrustedRecord(in, protector, tables, plain);
        else
            more = skipUnknown(in);
        if (!more) return;
    }
}

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
    for (const LockedMediaRecord& record : tables.trustedRecords()) {
        if (!protector.protect(reinterpret_cast<const std::uint8_t*>(&record), sizeof record, blob)) return fail();
        if (!appendTrustedRecord(blob, out)) return fail();
    }
    return true;
}

void ConfigFile::closeHeld() {
    if (ConfigFileHandle == FileSystem::InvalidHandle) return;
    files_.close(ConfigFileHandle);
    ConfigFileHandle = FileSystem::InvalidHandle;
}

int ConfigFile::closeConfiguration() {
    if (!isHeld()) return 0;
    closeHeld();
    return 1;
}

int ConfigFile::loadConfiguration(const char* fileName, std::string& password) {
    closeHeld();
    ConfigFileHandle = files_.openRead(fileName);
    if (!isHeld()) return 0;

    // The whole file in one buffer sized by the file itself: no length field
    // can make us allocate more than is really there.
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    std::uint64_t size = 0;
    if (!files_.size(ConfigFileHandle, size) || size > largest) return 1;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < image.size()) {
        const std::size_t n = files_.read(ConfigFileHandle, image.data() + got, image.size() - got);
        if (n == 0) break;
        got += n;
    }
    parseConfiguration(image.data(), got, protector_, tables_, password);
    return 1;
}

int ConfigFile::saveConfiguration(const char* fileName, const std::string& password) {
    const int saved = writeConfiguration(fileName, password);
    if (!saved) audit_.report(AuditEvent::SaveFailed, {failure_});
    return saved;
}

// The error text is taken where a step fails, before any clean-up call can
// overwrite the system's last error.
bool ConfigFile::failure() {
    failure_ = files_.lastErrorText();
    return false;
}

int ConfigFile::writeConfiguration(const char* fileName, const std::string& password) {
    // Everything is protected before the disk is touched: if any record fails,
    // the previous file, complete (and still held), is worth more than a new
    // one with a hole.
    std::vector<std::uint8_t> content;
    if (!buildConfiguration(tables_, password, protector_, content)) return failure();

    closeHeld();
    if (!mayReplace(fileName)) return 0;
    if (!writeBeside(fileName, content)) return 0;

    // A crash before this point leaves the old file whole; after it, the new one.
    const std::string temporary = siblingName(fileName);
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

bool ConfigFile::writeBeside(const char* fileName, const std::vector<std::uint8_t>& content) {
    const std::string temporary = siblingName(fileName);
    const FileSystem::Handle file = files_.create(temporary.c_str());
    if (file == FileSystem::InvalidHandle) return failure();
    const bool written = (files_.write(file, content.data(), content.size()) && files_.flush(file)) || failure();
    files_.close(file);
    if (!written) files_.remove(temporary.c_str());
    return written;
}

}  // namespace ventrix
