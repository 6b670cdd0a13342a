// Reading the policy file: one walk over its records, run over a file image
// in memory or over the held file in bounded pieces.
#include "policy/config_file.h"

#include <algorithm>
#include <cstring>

namespace ventrix {
namespace {

// Walks a file image in memory; every read is bounds-checked, so a damaged
// file can end the load early but never makes us read past its end.
class ImageReader {
public:
    ImageReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool byte(std::uint8_t& value) {
        if (remaining() < 1) return false;
        value = data_[pos_++];
        return true;
    }

    // Hands out the next `count` bytes in place; no copy, no allocation.
    bool take(std::uint64_t count, const std::uint8_t*& bytes) {
        if (count > remaining()) return false;
        bytes = data_ + pos_;
        pos_ += static_cast<std::size_t>(count);
        return true;
    }

    bool skip(std::uint64_t count) {
        const std::uint8_t* skipped = nullptr;
        return take(count, skipped);
    }

private:
    std::size_t remaining() const { return size_ - pos_; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Walks the held file in pieces, never past MaxPolicyBytes: what a record
// needs is read into one buffer reused from record to record, so a huge or
// sparse file costs no more memory than its largest record.
class FileReader {
public:
    FileReader(FileSystem& files, FileSystem::Handle file, std::uint64_t size)
        : files_(files), file_(file), left_(std::min(size, MaxPolicyBytes)) {}

    bool byte(std::uint8_t& value) {
        const std::uint8_t* bytes = nullptr;
        if (!take(1, bytes)) return false;
        value = bytes[0];
        return true;
    }

    // A length beyond what is left ends the walk without allocating for it.
    bool take(std::uint64_t count, const std::uint8_t*& bytes) {
        if (count > unread()) return false;
        const auto wanted = static_cast<std::size_t>(count);
        if (chunkLeft() < wanted && wanted <= ChunkSize && !topUp()) return false;
        if (chunkLeft() >= wanted) {
            bytes = chunk_.data() + chunkPos_;
            chunkPos_ += wanted;
            return true;
        }
        record_.resize(wanted);  // a record larger than a chunk
        const std::size_t fromChunk = chunkLeft();
        std::memcpy(record_.data(), chunk_.data() + chunkPos_, fromChunk);
        chunkPos_ = chunk_.size();
        if (!readFile(record_.data() + fromChunk, wanted - fromChunk)) return false;
        bytes = record_.data();
        return true;
    }

    bool skip(std::uint64_t count) {
        if (count > unread()) return false;
        while (count > 0) {
            if (chunkLeft() == 0 && !topUp()) return false;
            const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(count, chunkLeft()));
            chunkPos_ += step;
            count -= step;
        }
        return true;
    }

private:
    static constexpr std::size_t ChunkSize = 64 * 1024;

    std::size_t chunkLeft() const { return chunk_.size() - chunkPos_; }
    std::uint64_t unread() const { return left_ + chunkLeft(); }

    bool readFile(std::uint8_t* into, std::size_t count) {
        std::size_t got = 0;
        while (got < count) {
            const std::size_t n = files_.read(file_, into + got, count - got);
            if (n == 0) break;
            got += n;
        }
        left_ -= got;
        if (got != count) left_ = 0;  // the file ended early
        return got == count;
    }

    // Keeps what is left of the chunk and reads on behind it.
    bool topUp() {
        chunk_.erase(chunk_.begin(), chunk_.begin() + static_cast<std::ptrdiff_t>(chunkPos_));
        chunkPos_ = 0;
        const std::size_t have = chunk_.size();
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left_, ChunkSize - have));
        if (want == 0) return false;
        chunk_.resize(have + want);
        const bool whole = readFile(chunk_.data() + have, want);
        if (!whole) chunk_.resize(have);
        return whole;
    }

    FileSystem& files_;
    FileSystem::Handle file_;
    std::uint64_t left_;  // bytes of the file not yet read, within the bound
    std::vector<std::uint8_t> chunk_;
    std::size_t chunkPos_ = 0;
    std::vector<std::uint8_t> record_;
};

template <typename Reader>
bool le32(Reader& in, std::uint32_t& value) {
    const std::uint8_t* bytes = nullptr;
    if (!in.take(4, bytes)) return false;
    value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

void applyPassword(const std::vector<std::uint8_t>& plain, std::string& password) {
    auto end = std::find(plain.begin(), plain.end(), std::uint8_t{0});
    password.assign(plain.begin(), end);
}

// A record's image from its plaintext: a short one keeps the defaults for
// what it lacks, a long one gives its first bytes. An empty plaintext has no
// data pointer to copy from; the defaults stand.
template <typename Image>
Image imageOf(const std::vector<std::uint8_t>& plain, Image image) {
    if (!plain.empty()) std::memcpy(&image, plain.data(), std::min(plain.size(), sizeof image));
    return image;
}

void applyRecord(std::uint8_t tag, const std::vector<std::uint8_t>& plain, std::string& password,
                 PolicyTables& tables) {
    switch (tag) {
    case PasswordTag: applyPassword(plain, password); break;
    case DriveTag: tables.appendLoadedDrive(imageOf(plain, DriveLockEntry{0, 1})); break;
    case MediaTag: tables.appendLoadedMedia(imageOf(plain, LockedMediaRecord{})); break;
    case TrustedTag: tables.appendLoadedTrusted(imageOf(plain, LockedMediaRecord{})); break;
    // Kept as read, whatever its flag says and whether or not the letter has a
    // drive entry: a later save writes it back unchanged.
    case ReadOnlyDriveTag: tables.appendLoadedReadOnly(imageOf(plain, DriveLockEntry{0, 1})); break;
    case ReadOnlyTrustedTag: tables.appendLoadedReadOnlyTrusted(imageOf(plain, LockedMediaRecord{})); break;
    // Only a whole entry names a disk: undoing a disk half read could clear
    // what Ventrix never set.
    case ReadOnlyDiskTag:
        if (plain.size() >= sizeof(ReadOnlyDiskEntry)) tables.appendLoadedJournal(imageOf(plain, ReadOnlyDiskEntry{}));
        break;
    default: break;
    }
}

// Records framed as an unknown tag (a count of words), so older loaders pass
// over them; inside, the protected length, the blob and padding. A length
// inside one that is zero or runs past its words costs only that record.
bool framedBlob(const std::uint8_t* body, std::uint64_t size, const std::uint8_t*& blob, std::uint32_t& length) {
    ImageReader inside(body, static_cast<std::size_t>(size));
    return le32(inside, length) && length != 0 && inside.take(length, blob);
}

bool isWordFramed(std::uint8_t tag) {
    return tag == TrustedTag || tag == ReadOnlyDriveTag || tag == ReadOnlyTrustedTag || tag == ReadOnlyDiskTag;
}

bool isRecordTag(std::uint8_t tag) {
    return tag == PasswordTag || tag == DriveTag || tag == MediaTag;
}

// The records of a file, whole records only. A record that does not
// unprotect costs only itself and is counted; a cut one ends the walk; one
// longer than any policy ends it as damage.
template <typename Reader>
LoadDamage walkRecords(Reader& in, DataProtector& protector, PolicyTables& tables, std::string& password) {
    LoadDamage damage;
    std::vector<std::uint8_t> plain;  // reused from record to record
    std::uint8_t tag = 0;
    while (in.byte(tag)) {
        std::uint32_t count = 0;
        if (!le32(in, count)) break;
        // Any other tag is followed by a count of 4-byte words to pass over.
        const bool framed = isRecordTag(tag);
        std::uint64_t length = framed ? count : std::uint64_t{count} * 4;
        if (length > MaxPolicyBytes) {
            damage.oversized = true;
            break;
        }
        if (!framed && !isWordFramed(tag)) {
            if (!in.skip(length)) break;
            continue;
        }
        const std::uint8_t* blob = nullptr;
        if (!in.take(length, blob)) break;
        if (!framed) {
            std::uint32_t inner = 0;
            if (!framedBlob(blob, length, blob, inner)) {
                ++damage.unreadable;
                continue;
            }
            length = inner;
        }
        if (!protector.unprotect(blob, length, plain)) {
            ++damage.unreadable;
            continue;
        }
        applyRecord(tag, plain, password, tables);
    }
    return damage;
}

}  // namespace

LoadDamage parseConfiguration(const std::uint8_t* data, std::size_t size, DataProtector& protector,
                              PolicyTables& tables, std::string& password) {
    ImageReader in(data, size);
    return walkRecords(in, protector, tables, password);
}

int ConfigFile::loadConfiguration(const char* fileName, std::string& password) {
    closeHeld();
    if (folderRefused_) return 0;
    ConfigFileHandle = files_.openRead(fileName);
    // Only a missing file is a first run. One that is there but refused is
    // tried again for a while; if it stays refused, this run leaves it alone.
    for (unsigned retry = 0; !isHeld() && retry < OpenRetries; ++retry) {
        if (!files_.exists(fileName)) return 0;
        files_.pause(OpenRetryPauseMs);
        ConfigFileHandle = files_.openRead(fileName);
    }
    if (!isHeld()) {
        failure();
        handsOff_ = files_.exists(fileName);
        return 0;
    }

    // A file whose size cannot be learnt cannot be read: loading nothing and
    // then saving would replace the owner's policy with an empty one.
    std::uint64_t size = 0;
    if (!files_.size(ConfigFileHandle, size)) {
        failure();
        closeHeld();
        handsOff_ = true;
        return 0;
    }
    FileReader in(files_, ConfigFileHandle, size);
    damage_ = walkRecords(in, protector_, tables_, password);
    if (size > MaxPolicyBytes) damage_.oversized = true;
    return 1;
}

}  // namespace ventrix
