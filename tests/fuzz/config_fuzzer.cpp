// libFuzzer target for the "Tamrel.conf" loader. Every input is a file image:
// it is loaded, checked against an independent model of the format, saved,
// and loaded again. Any broken invariant aborts, which libFuzzer reports as a
// crash with the input that caused it.
//
// The protector here is not a cipher: a protected blob is one header byte and
// the plaintext. An odd header unprotects to the bytes after it, an even one
// (or an empty blob) fails, so the fuzzer steers both outcomes and every
// plaintext length straight from the input.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "tests/fuzz/invariant.h"
#include "tests/support/memory_file_system.h"

namespace {

using ventrix::DriveLockEntry;
using ventrix::LockedMediaRecord;
using ventrix::PolicyTables;
using ventrix::ReadOnlyDiskEntry;
using Bytes = std::vector<std::uint8_t>;


// ---- Allocation watch ------------------------------------------------------------
// Only allocations made by this thread while a load runs are counted, so
// libFuzzer's own bookkeeping never shows up.

thread_local bool watching = false;
thread_local std::size_t largestRequest = 0;

void onMalloc(const volatile void*, std::size_t size) {
    if (watching && size > largestRequest) largestRequest = size;
}
void onFree(const volatile void*) {}

struct HooksInstaller {
    HooksInstaller() { __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree); }
} installHooks;

// ---- The protector ---------------------------------------------------------------

constexpr std::uint8_t Sealed = 0x01;

class FuzzProtector final : public ventrix::DataProtector {
public:
    explicit FuzzProtector(unsigned failProtectCall = 0) : failAt_(failProtectCall) {}

    bool protect(const std::uint8_t* data, std::size_t size, Bytes& out) override {
        if (++protectCalls_ == failAt_) return false;
        out.assign(1, Sealed);
        out.insert(out.end(), data, data + size);
        return true;
    }
    bool unprotect(const std::uint8_t* data, std::size_t size, Bytes& out) override {
        largestInput = std::max(largestInput, size);
        if (size == 0 || (data[0] & 1) == 0) return false;
        out.assign(data + 1, data + size);
        return true;
    }

    std::size_t largestInput = 0;

private:
    unsigned failAt_;
    unsigned protectCalls_ = 0;
};

// ---- An independent model of what a load must yield -------------------------------

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

struct Model {
    std::string password;
    std::vector<DriveLockEntry> drives;
    std::vector<LockedMediaRecord> media;
    std::vector<LockedMediaRecord> trusted;
    std::vector<DriveLockEntry> readOnlyDrives;
    std::vector<LockedMediaRecord> readOnlyTrusted;
    std::vector<ReadOnlyDiskEntry> journal;
};

bool sameMedium(const LockedMediaRecord& a, const LockedMediaRecord& b) {
    return a.serial == b.serial && a.driveType == b.driveType && ventrix::labelsEqual(a.label, b.label);
}

LockedMediaRecord recordFrom(const std::uint8_t* plain, std::size_t plainSize) {
    std::uint8_t image[268] = {};
    std::memcpy(image, plain, std::min<std::size_t>(plainSize, 268));
    LockedMediaRecord record{};
    std::size_t labelLength = 0;
    while (labelLength < 259 && image[labelLength] != 0) ++labelLength;
    std::memcpy(record.label, image, labelLength);
    std::memcpy(&record.serial, image + 260, 4);
    std::memcpy(&record.driveType, image + 264, 4);
    return record;
}

bool listed(const std::vector<LockedMediaRecord>& list, const LockedMediaRecord& record) {
    return std::any_of(list.begin(), list.end(), [&](const LockedMediaRecord& l) { return sameMedium(l, record); });
}

// A drive image (locked when cut short); one entry a letter, the later record's flag.
void putDrive(std::vector<DriveLockEntry>& drives, const std::uint8_t* plain, std::size_t plainSize) {
    std::uint8_t image[2] = {0, 1};
    std::memcpy(image, plain, std::min<std::size_t>(plainSize, 2));
    auto same = std::find_if(drives.begin(), drives.end(),
                             [&](const DriveLockEntry& e) { return e.letter == char(image[0]); });
    if (same != drives.end()) same->locked = image[1];
    else drives.push_back({char(image[0]), image[1]});
}

// A record framed by words: its protected length, then that many bytes.
// A medium locked is trusted neither way; read-only trust wins over full.
void expectFramed(std::uint8_t tag, const std::uint8_t* words, std::size_t span, Model& model) {
    if (span < 4) return;
    const std::uint64_t length = le32(words);
    if (length == 0 || length > span - 4 || (words[4] & 1) == 0) return;
    const std::uint8_t* plain = words + 5;
    const std::size_t plainSize = static_cast<std::size_t>(length) - 1;
    const LockedMediaRecord record = recordFrom(plain, plainSize);
    if (tag == 0x5E) {
        putDrive(model.readOnlyDrives, plain, plainSize);
    } else if (tag == 0x60) {
        if (plainSize < 8) return;  // only a whole entry names a disk
        ReadOnlyDiskEntry entry{};
        std::memcpy(&entry.disk, plain, 4);
        entry.letter = char(plain[4]);
        std::erase_if(model.journal, [&](const ReadOnlyDiskEntry& e) { return e.letter == entry.letter; });
        model.journal.push_back(entry);
    } else if (!listed(model.media, record) && !listed(model.readOnlyTrusted, record)) {
        if (tag == 0x5F) std::erase_if(model.trusted, [&](const LockedMediaRecord& t) { return sameMedium(t, record); });
        (tag == 0x5D ? model.trusted : model.readOnlyTrusted).push_back(record);
    }
}


Model expectedLoad(const std::uint8_t* data, std::size_t size, const std::string& startPassword) {
    Model model{startPassword, {}, {}, {}, {}, {}, {}};
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t tag = data[pos++];
        if (size - pos < 4) break;
        const std::uint64_t word = le32(data + pos);
        pos += 4;
        const bool record = tag == 0x5A || tag == 0x5B || tag == 0x5C;
        const std::uint64_t span = record ? word : word * 4;
        if (span > size - pos) break;
        const std::uint8_t* blob = data + pos;
        pos += static_cast<std::size_t>(span);
        if (tag >= 0x5D && tag <= 0x60) expectFramed(tag, blob, static_cast<std::size_t>(span), model);
        if (!record || span == 0 || (blob[0] & 1) == 0) continue;
        const std::uint8_t* plain = blob + 1;
        const std::size_t plainSize = static_cast<std::size_t>(span) - 1;

        if (tag == 0x5A) {
            const auto* end = std::find(plain, plain + plainSize, std::uint8_t{0});
            model.password.assign(plain, end);
        } else if (tag == 0x5B) {
            putDrive(model.drives, plain, plainSize);
        } else {
            const LockedMediaRecord record = recordFrom(plain, plainSize);
            std::erase_if(model.trusted, [&](const LockedMediaRecord& t) { return sameMedium(t, record); });
            std::erase_if(model.readOnlyTrusted, [&](const LockedMediaRecord& t) { return sameMedium(t, record); });
            model.media.push_back(record);
        }
    }
    return model;
}

// ---- Checks ------------------------------------------------------------------------

template <typename T>
bool sameImages(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

template <typename Entry>
void checkOneALetter(const std::vector<Entry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        for (std::size_t j = i + 1; j < entries.size(); ++j) CHECK(entries[i].letter != entries[j].letter);
    }
}

void checkTableInvariants(const PolicyTables& tables) {
    checkOneALetter(tables.driveEntries());
    checkOneALetter(tables.readOnlyEntries());
    checkOneALetter(tables.readOnlyDisks());
    static_assert(sizeof(LockedMediaRecord) == 268);
    std::vector<LockedMediaRecord> records = tables.mediaRecords();
    records.insert(records.end(), tables.trustedRecords().begin(), tables.trustedRecords().end());
    records.insert(records.end(), tables.readOnlyTrustedRecords().begin(), tables.readOnlyTrustedRecords().end());
    for (const LockedMediaRecord& record : records) {
        const std::size_t length = strnlen(record.label, sizeof record.label);
        CHECK(length < sizeof record.label);
        for (std::size_t k = length; k < sizeof record.label; ++k) CHECK(record.label[k] == 0);
    }
    // A medium is on one list at most: locked, trusted, or trusted read-only.
    for (const LockedMediaRecord& record : tables.readOnlyTrustedRecords())
        CHECK(!listed(tables.mediaRecords(), record) && !listed(tables.trustedRecords(), record));
}

// Growth by half again: capacity never runs ahead of the entries by more than that.
template <typename T>
void checkGrowth(const std::vector<T>& table) {
    CHECK(table.capacity() <= table.size() + table.size() / 2 + 1);
}

// A saved file: one password record, then the media, then the drives, then
// framed by words the trusted media, the read-only drives, the media trusted
// read-only and the journal, each framed exactly, nothing after the last.
void checkWellFormed(const Bytes& file, const PolicyTables& tables) {
    std::vector<std::uint8_t> tags;
    std::size_t pos = 0;
    while (pos < file.size()) {
        CHECK(file.size() - pos >= 5);
        const std::uint64_t field = le32(file.data() + pos + 1);
        const bool words = file[pos] >= 0x5D && file[pos] <= 0x60;
        const std::uint64_t length = words ? field * 4 : field;
        CHECK(length <= file.size() - pos - 5);
        tags.push_back(file[pos]);
        pos += 5 + length;
    }
    std::vector<std::uint8_t> expected{0x5A};
    expected.insert(expected.end(), tables.mediaRecords().size(), 0x5C);
    expected.insert(expected.end(), tables.driveEntries().size(), 0x5B);
    expected.insert(expected.end(), tables.trustedRecords().size(), 0x5D);
    expected.insert(expected.end(), tables.readOnlyEntries().size(), 0x5E);
    expected.insert(expected.end(), tables.readOnlyTrustedRecords().size(), 0x5F);
    expected.insert(expected.end(), tables.readOnlyDisks().size(), 0x60);
    CHECK(tags == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ventrix::ConfigFile;
    using ventrix::ConfigFileName;
    const Bytes input(data, data + size);

    // Load through the real file path, watching every allocation it makes.
    ventrix::testing::MemoryFileSystem files;
    files.put(ConfigFileName, input);
    FuzzProtector protector;
    PolicyTables tables;
    std::string password = "start";
    {
        ConfigFile config(tables, files, protector);
        largestRequest = 0;
        watching = true;
        const int loaded = config.loadConfiguration(ConfigFileName, password);
        watching = false;
        CHECK(loaded == 1);
        CHECK(config.isHeld());
    }
    CHECK(protector.largestInput <= size);
    const std::size_t tableBytes = std::max({tables.mediaRecords().capacity() * sizeof(LockedMediaRecord),
                                             tables.trustedRecords().capacity() * sizeof(LockedMediaRecord),
                                             tables.readOnlyTrustedRecords().capacity() * sizeof(LockedMediaRecord),
                                             tables.driveEntries().capacity() * sizeof(DriveLockEntry),
                                             tables.readOnlyEntries().capacity() * sizeof(DriveLockEntry),
                                             tables.readOnlyDisks().capacity() * sizeof(ReadOnlyDiskEntry)});
    // Beyond the file image and the tables, only small fixed bookkeeping.
    CHECK(largestRequest <= std::max(size, tableBytes) + 256);
    checkGrowth(tables.mediaRecords());
    checkGrowth(tables.driveEntries());
    checkGrowth(tables.readOnlyEntries());
    checkGrowth(tables.readOnlyDisks());  // an entry replaced goes before its successor comes

    // Exactly what the whole, valid records said, and nothing else.
    const Model model = expectedLoad(data, size, "start");
    CHECK(password == model.password);
    CHECK(sameImages(tables.driveEntries(), model.drives));
    CHECK(sameImages(tables.mediaRecords(), model.media));
    CHECK(sameImages(tables.trustedRecords(), model.trusted));
    CHECK(sameImages(tables.readOnlyEntries(), model.readOnlyDrives));
    CHECK(sameImages(tables.readOnlyTrustedRecords(), model.readOnlyTrusted));
    CHECK(sameImages(tables.readOnlyDisks(), model.journal));
    checkTableInvariants(tables);

    // The next save writes a well-formed file that loads back exactly.
    ventrix::testing::MemoryFileSystem disk;
    {
        ConfigFile saver(tables, disk, protector);
        CHECK(saver.saveConfiguration(ConfigFileName, password) == 1);
    }
    const Bytes saved = disk.contents(ConfigFileName);
    checkWellFormed(saved, tables);
    PolicyTables reloaded;
    std::string reloadedPassword = "other";
    ventrix::parseConfiguration(saved.data(), saved.size(), protector, reloaded, reloadedPassword);
    CHECK(reloadedPassword == password);
    CHECK(sameImages(reloaded.driveEntries(), tables.driveEntries()));
    CHECK(sameImages(reloaded.mediaRecords(), tables.mediaRecords()));
    CHECK(sameImages(reloaded.trustedRecords(), tables.trustedRecords()));
    Bytes again;  // and the read-only lists too: the same file again
    CHECK(ventrix::buildConfiguration(reloaded, password, protector, again) && again == saved);

    // A record that fails to protect yields no file image at all, and a save
    // with it leaves the previous file exactly as it was.
    const std::size_t records = 1 + tables.mediaRecords().size() + tables.driveEntries().size() +
                                tables.trustedRecords().size() + tables.readOnlyEntries().size() +
                                tables.readOnlyTrustedRecords().size() + tables.readOnlyDisks().size();
    FuzzProtector failing(static_cast<unsigned>(1 + size % records));
    Bytes partial{0xEE};
    CHECK(!ventrix::buildConfiguration(tables, password, failing, partial));
    CHECK(partial.empty());
    {
        FuzzProtector failingAgain(static_cast<unsigned>(1 + size % records));
        ConfigFile saver(tables, disk, failingAgain);
        CHECK(saver.saveConfiguration(ConfigFileName, password) == 0);
        CHECK(disk.contents(ConfigFileName) == saved);
        CHECK(!disk.has(std::string(ConfigFileName) + ".new"));
    }
    return 0;
}
