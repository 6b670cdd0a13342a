// The catalogue of damaged and hostile "Tamrel.conf" files. For each one the
// load must survive, keep exactly what the whole, valid records said, and the
// save that follows must write a well-formed file that loads back the same.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_protector.h"
#include "tests/support/memory_file_system.h"

namespace ventrix {
namespace {

using testing::Bytes;
using testing::imageOf;
using testing::le32;
using testing::operator+;
using testing::FakeProtector;
using testing::MemoryFileSystem;


template <typename T>
std::vector<Bytes> imagesOf(const std::vector<T>& items) {
    std::vector<Bytes> images;
    for (const T& item : items) images.push_back(imageOf(item));
    return images;
}

LockedMediaRecord medium(const char* label, std::uint32_t serial, std::uint32_t driveType) {
    LockedMediaRecord record{};
    std::strncpy(record.label, label, MaxLabelLength);
    record.serial = serial;
    record.driveType = driveType;
    return record;
}

// Record builders over one protector, so every blob unprotects for "alice".
class Records {
public:
    explicit Records(FakeProtector& protector) : protector_(protector) {}

    static Bytes framed(std::uint8_t tag, const Bytes& blob) {
        return Bytes{tag} + le32(static_cast<std::uint32_t>(blob.size())) + blob;
    }
    Bytes sealed(std::uint8_t tag, const Bytes& plain) { return framed(tag, blob(plain)); }
    Bytes blob(const Bytes& plain) {
        Bytes out;
        protector_.protect(plain.data(), plain.size(), out);
        return out;
    }
    Bytes password(const std::string& text) {
        Bytes plain(text.begin(), text.end());
        plain.push_back(0);
        return sealed(PasswordTag, plain);
    }
    Bytes drive(char letter, std::uint8_t locked) { return sealed(DriveTag, {std::uint8_t(letter), locked}); }
    Bytes media(const LockedMediaRecord& record) { return sealed(MediaTag, imageOf(record)); }

private:
    FakeProtector& protector_;
};

struct BadFile {
    std::string name;
    Bytes file;
    // What the load must leave: the password (or the one it started with)
    // and the tables, byte for byte.
    std::string password;
    std::vector<DriveLockEntry> drives;
    std::vector<LockedMediaRecord> media;
};

constexpr const char* StartPassword = "start";

std::vector<BadFile> catalogue(FakeProtector& protector) {
    Records r(protector);
    FakeProtector mallory("mallory");
    Records theirs(mallory);
    const Bytes three = r.password("whole") + r.media(medium("CUT", 77, 5)) + r.drive('H', 1);
    const Bytes inner = r.password("inside");
    const LockedMediaRecord longMedium = medium("LONG", 0x11223344, 5);

    return {
        {"EmptyFile", {}, StartPassword, {}, {}},
        {"OnlyUnknownTags",
         Bytes{0x01} + le32(1) + Bytes{'a', 'b', 'c', 'd'} + Bytes{0xFF} + le32(2) + Bytes(8, 0x5A) +
             Bytes{0x00} + le32(0),
         StartPassword, {}, {}},
        {"UnknownTagWithCountZero", Bytes{0x42} + le32(0) + r.password("after"), "after", {}, {}},
        // 4 x 0x40000000 is 0 in 32 bits: a wrapped skip would land on the password.
        {"UnknownTagWithCount40000000", r.drive('D', 1) + Bytes{0x42} + le32(0x40000000) + r.password("smuggled"),
         StartPassword, {{'D', 1}}, {}},
        {"LengthZero", Records::framed(DriveTag, {}) + Records::framed(PasswordTag, {}) + r.drive('E', 1),
         StartPassword, {{'E', 1}}, {}},
        {"LengthFFFFFFFF", r.drive('D', 1) + Bytes{PasswordTag} + le32(0xFFFFFFFF) + inner, StartPassword,
         {{'D', 1}}, {}},
        {"LengthOnePastTheEnd",
         r.drive('D', 1) + Bytes{PasswordTag} + le32(static_cast<std::uint32_t>(inner.size() + 1)) + inner,
         StartPassword, {{'D', 1}}, {}},
        {"CutInsideTheLastRecord", Bytes(three.begin(), three.end() - 1), "whole", {}, {medium("CUT", 77, 5)}},
        {"CutInsideALengthField", Bytes(three.begin(), three.begin() + 3), StartPassword, {}, {}},
        {"RecordOfAnotherUser",
         r.password("mine") + theirs.password("theirs") + theirs.drive('X', 0) + r.drive('D', 1), "mine",
         {{'D', 1}}, {}},
        {"TwoPasswordRecords", r.password("first") + r.password("second"), "second", {}, {}},
        {"DuplicateDriveLetters", r.drive('D', 1) + r.drive('E', 1) + r.drive('D', 0), StartPassword,
         {{'D', 0}, {'E', 1}}, {}},
        {"DriveEntryWithLockedByte2", r.drive('G', 2), StartPassword, {{'G', 2}}, {}},
        {"MediaRecordLongerThan268", r.sealed(MediaTag, imageOf(longMedium) + Bytes(32, 0xEE)), StartPassword, {},
         {longMedium}},
        {"MediaRecordShorterThan268", r.sealed(MediaTag, {'S', 'H', 'O', 'R', 'T'}), StartPassword, {},
         {medium("SHORT", 0, 0)}},
        // Regression: an empty plaintext was copied from a null data pointer.
        {"EmptyPlaintextRecordsKeepTheirDefaults",
         r.sealed(DriveTag, {}) + r.sealed(MediaTag, {}) + r.sealed(PasswordTag, {}), "", {{'\0', 1}},
         {medium("", 0, 0)}},
    };
}

// Splits a saved file into (tag, plaintext), failing on any framing fault.
struct Record {
    std::uint8_t tag;
    Bytes plain;
};
std::vector<Record> wellFormedRecords(const Bytes& file, FakeProtector& protector) {
    std::vector<Record> records;
    std::size_t pos = 0;
    while (pos < file.size()) {
        if (file.size() - pos < 5) {
            ADD_FAILURE() << "a record header is cut at " << pos;
            break;
        }
        const std::uint32_t length = file[pos + 1] | file[pos + 2] << 8 | file[pos + 3] << 16 |
                                     static_cast<std::uint32_t>(file[pos + 4]) << 24;
        if (length > file.size() - pos - 5) {
            ADD_FAILURE() << "the record at " << pos << " runs past the end";
            break;
        }
        Record record{file[pos], {}};
        EXPECT_TRUE(protector.unprotect(file.data() + pos + 5, length, record.plain)) << "record at " << pos;
        records.push_back(record);
        pos += 5 + length;
    }
    return records;
}

void expectOneEntryPerLetter(const PolicyTables& tables) {
    const auto& drives = tables.driveEntries();
    for (std::size_t i = 0; i < drives.size(); ++i) {
        for (std::size_t j = i + 1; j < drives.size(); ++j) {
            EXPECT_NE(drives[i].letter, drives[j].letter) << "entries " << i << " and " << j;
        }
    }
}

class BadFileTest : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        const auto all = catalogue(protector);
        ASSERT_LT(GetParam(), all.size());
        entry = all[GetParam()];
    }

    FakeProtector protector;
    BadFile entry;
};

TEST_P(BadFileTest, LoadKeepsOnlyWholeValidRecords) {
    MemoryFileSystem files;
    files.put(ConfigFileName, entry.file);
    PolicyTables tables;
    ConfigFile config(tables, files, protector);
    std::string password = StartPassword;
    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    EXPECT_TRUE(config.isHeld());

    EXPECT_EQ(password, entry.password);
    EXPECT_EQ(imagesOf(tables.driveEntries()), imagesOf(entry.drives));
    EXPECT_EQ(imagesOf(tables.mediaRecords()), imagesOf(entry.media));
    expectOneEntryPerLetter(tables);
}

TEST_P(BadFileTest, NextSaveWritesAWellFormedFileThatLoadsBackTheSame) {
    MemoryFileSystem files;
    files.put(ConfigFileName, entry.file);
    PolicyTables tables;
    ConfigFile config(tables, files, protector);
    std::string password = StartPassword;
    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, password), 1);
    ASSERT_EQ(config.closeConfiguration(), 1);

    const Bytes saved = files.contents(ConfigFileName);
    const auto records = wellFormedRecords(saved, protector);
    ASSERT_EQ(records.size(), 1 + entry.media.size() + entry.drives.size());
    Bytes passwordPlain(entry.password.begin(), entry.password.end());
    passwordPlain.push_back(0);
    EXPECT_EQ(records[0].tag, PasswordTag);
    EXPECT_EQ(records[0].plain, passwordPlain);
    for (std::size_t i = 0; i < entry.media.size(); ++i) {
        EXPECT_EQ(records[1 + i].tag, MediaTag) << "medium " << i;
        EXPECT_EQ(records[1 + i].plain, imageOf(entry.media[i])) << "medium " << i;
    }
    for (std::size_t i = 0; i < entry.drives.size(); ++i) {
        const Record& record = records[1 + entry.media.size() + i];
        EXPECT_EQ(record.tag, DriveTag) << "drive " << i;
        EXPECT_EQ(record.plain, imageOf(entry.drives[i])) << "drive " << i;
    }

    PolicyTables reloaded;
    ConfigFile reader(reloaded, files, protector);
    std::string reloadedPassword = "other";
    ASSERT_EQ(reader.loadConfiguration(ConfigFileName, reloadedPassword), 1);
    EXPECT_EQ(reloadedPassword, entry.password);
    EXPECT_EQ(imagesOf(reloaded.driveEntries()), imagesOf(tables.driveEntries()));
    EXPECT_EQ(imagesOf(reloaded.mediaRecords()), imagesOf(tables.mediaRecords()));
}

std::size_t catalogueSize() {
    FakeProtector protector;
    return catalogue(protector).size();
}

INSTANTIATE_TEST_SUITE_P(Catalogue, BadFileTest, ::testing::Range<std::size_t>(0, catalogueSize()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             FakeProtector protector;
                             return catalogue(protector)[info.param].name;
                         });

// The catalogue builders themselves: a case built from records that did not
// unprotect would prove nothing.
TEST(BadFileCatalogue, EveryRecordBuiltForTheUserUnprotects) {
    FakeProtector protector;
    Records r(protector);
    for (const Bytes& record : {r.password("x"), r.drive('D', 1), r.media(medium("M", 1, 2))}) {
        Bytes plain;
        EXPECT_TRUE(protector.unprotect(record.data() + 5, record.size() - 5, plain));
    }
    FakeProtector mallory("mallory");
    const Bytes foreign = Records(mallory).password("theirs");
    Bytes plain;
    EXPECT_FALSE(protector.unprotect(foreign.data() + 5, foreign.size() - 5, plain));
}

}  // namespace
}  // namespace ventrix
