#include "policy/config_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "policy/posix/posix_file_system.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_protector.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_audit.h"

namespace ventrix {
namespace {

using testing::Bytes;
using testing::imageOf;
using testing::le32;
using testing::textBytes;
using testing::operator+;
using testing::operator+=;
using testing::FakeProtector;
using testing::MemoryFileSystem;


LockedMediaRecord mediaRecord(const char* label, std::uint32_t serial, std::uint32_t driveType) {
    LockedMediaRecord record{};
    std::strncpy(record.label, label, sizeof record.label - 1);
    record.serial = serial;
    record.driveType = driveType;
    return record;
}

template <typename T>
std::vector<Bytes> images(const std::vector<T>& entries) {
    std::vector<Bytes> all;
    for (const T& entry : entries) all.push_back(imageOf(entry));
    return all;
}

// Tables compared by their stored images.
void expectSamePolicy(const PolicyTables& actual, const PolicyTables& expected) {
    EXPECT_EQ(images(actual.driveEntries()), images(expected.driveEntries()));
    EXPECT_EQ(images(actual.mediaRecords()), images(expected.mediaRecords()));
    EXPECT_EQ(images(actual.trustedRecords()), images(expected.trustedRecords()));
    EXPECT_EQ(images(actual.readOnlyEntries()), images(expected.readOnlyEntries()));
    EXPECT_EQ(images(actual.readOnlyTrustedRecords()), images(expected.readOnlyTrustedRecords()));
    EXPECT_EQ(images(actual.readOnlyDisks()), images(expected.readOnlyDisks()));
}

// A small policy with something in every field, including a loaded flag of 2.
void fillPolicy(PolicyTables& tables) {
    tables.addMedia(0xA1B2C3D4, "Holiday \xC4pfel", 2);
    tables.addMedia(0x00000001, "", 5);
    tables.setDriveLocked("E:\\", true);
    tables.setDriveLocked("F:\\", false);
    tables.appendLoadedDrive({'G', 2});
}

// Read-only drives (one locked, one without a drive entry, one loaded as 2, one
// turned off), media trusted fully and read-only, and the journal.
void fillReadOnly(PolicyTables& tables) {
    for (const char* root : {"F:\\", "E:\\", "H:\\"}) tables.setDriveReadOnly(root, true);
    tables.setDriveReadOnly("H:\\", false);
    tables.appendLoadedReadOnly({'K', 2});
    tables.addTrustedMedia(0x5AFE, "Own stick", 2);
    tables.addTrustedMedia(0x0BAD, "Supplier", 2, true);
    tables.addTrustedMedia(0xD15C, "Course", 5, true);
    tables.journalReadOnly(3, 'F');
    tables.journalReadOnly(1, 'K');
}

// ---- The record format ----------------------------------------------------------

class ConfigFormat : public ::testing::Test {
protected:
    Bytes record(std::uint8_t tag, const Bytes& plain) {
        Bytes blob;
        EXPECT_TRUE(protector.protect(plain.data(), plain.size(), blob));
        return rawRecord(tag, blob);
    }
    static Bytes rawRecord(std::uint8_t tag, const Bytes& blob) {
        Bytes out{tag};
        out += le32(static_cast<std::uint32_t>(blob.size()));
        out += blob;
        return out;
    }
    Bytes passwordRecord(const std::string& text) {
        Bytes plain = textBytes(text);
        plain.push_back(0);
        return record(PasswordTag, plain);
    }
    Bytes driveRecord(char letter, std::uint8_t locked) { return record(DriveTag, {std::uint8_t(letter), locked}); }
    Bytes framed(std::uint8_t tag, const Bytes& plain) {  // framed by words, as the trusted record is
        Bytes blob;
        EXPECT_TRUE(protector.protect(plain.data(), plain.size(), blob));
        Bytes out = Bytes{tag} + le32(std::uint32_t(blob.size() + 7) / 4) + le32(std::uint32_t(blob.size())) + blob;
        out.resize(5 + (blob.size() + 7) / 4 * 4, 0);
        return out;
    }
    Bytes unprotected(const Bytes& blob) {
        Bytes plain;
        EXPECT_TRUE(protector.unprotect(blob.data(), blob.size(), plain));
        return plain;
    }
    void parse(const Bytes& file) { parseConfiguration(file.data(), file.size(), protector, loaded, password); }
    Bytes build(const PolicyTables& tables, const std::string& text) {
        Bytes out;
        EXPECT_TRUE(buildConfiguration(tables, text, protector, out));
        return out;
    }

    FakeProtector protector;
    PolicyTables loaded;
    std::string password = "unchanged";
};

// Splits a built file into its records, checking the framing on the way.
struct Record {
    std::uint8_t tag;
    Bytes blob;
};
std::vector<Record> splitRecords(const Bytes& file) {
    std::vector<Record> records;
    std::size_t pos = 0;
    while (pos < file.size()) {
        EXPECT_LE(pos + 5, file.size());
        if (pos + 5 > file.size()) break;
        const std::uint32_t length = file[pos + 1] | file[pos + 2] << 8 | file[pos + 3] << 16 |
                                     static_cast<std::uint32_t>(file[pos + 4]) << 24;
        EXPECT_LE(pos + 5 + length, file.size());
        if (pos + 5 + length > file.size()) break;
        records.push_back({file[pos], Bytes(file.begin() + pos + 5, file.begin() + pos + 5 + length)});
        pos += 5 + length;
    }
    return records;
}

TEST_F(ConfigFormat, EmptyTablesGiveOnePasswordRecordOfOnePlusFourPlusL) {
    const Bytes file = build(loaded, "quillfern");
    ASSERT_GT(file.size(), 5u);
    EXPECT_EQ(file[0], 0x5A);
    const Bytes length(file.begin() + 1, file.begin() + 5);
    EXPECT_EQ(length, le32(static_cast<std::uint32_t>(file.size() - 5)));
    EXPECT_EQ(unprotected(Bytes(file.begin() + 5, file.end())), textBytes(std::string("quillfern\0", 10)));
}

TEST_F(ConfigFormat, RecordsComePasswordThenMediaThenDrivesInTableOrder) {
    PolicyTables tables;
    fillPolicy(tables);
    const auto records = splitRecords(build(tables, "pw"));
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].tag, PasswordTag);
    EXPECT_EQ(unprotected(records[0].blob), textBytes(std::string("pw\0", 3)));
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(records[1 + i].tag, MediaTag);
        EXPECT_EQ(unprotected(records[1 + i].blob), imageOf(tables.mediaRecords()[i]));
    }
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(records[3 + i].tag, DriveTag);
        EXPECT_EQ(unprotected(records[3 + i].blob), imageOf(tables.driveEntries()[i]));
    }
    EXPECT_EQ(records[0].tag, 'Z');
    EXPECT_EQ(records[1].tag, '\\');
    EXPECT_EQ(records[3].tag, '[');
}

TEST_F(ConfigFormat, RoundTripRestoresTablesByteForByteAndPassword) {
    PolicyTables tables;
    fillPolicy(tables);
    parse(build(tables, "s3cret \xE4"));
    expectSamePolicy(loaded, tables);
    EXPECT_EQ(password, "s3cret \xE4");
}

TEST_F(ConfigFormat, EmptyPasswordIsOneNulAndLoadsAsEmpty) {
    const auto records = splitRecords(build(loaded, ""));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(unprotected(records[0].blob), Bytes{0});
    parse(build(loaded, ""));
    EXPECT_EQ(password, "");
}

TEST_F(ConfigFormat, SecondPasswordRecordWins) {
    parse(passwordRecord("first") + passwordRecord("second"));
    EXPECT_EQ(password, "second");
}

TEST_F(ConfigFormat, PasswordEndsAtItsFirstNulOrTakesEverything) {
    parse(record(PasswordTag, textBytes(std::string("ab\0cd", 5))));
    EXPECT_EQ(password, "ab");
    parse(record(PasswordTag, textBytes("xyz")));
    EXPECT_EQ(password, "xyz");
}

TEST_F(ConfigFormat, BuildFailsWithoutOutputWhenAnyProtectFails) {
    PolicyTables tables;
    fillPolicy(tables);
    for (unsigned failing = 1; failing <= 6; ++failing) {
        FakeProtector failingProtector;
        failingProtector.failProtectCall(failing);
        Bytes out{1, 2, 3};
        EXPECT_FALSE(buildConfiguration(tables, "pw", failingProtector, out)) << "call " << failing;
        EXPECT_TRUE(out.empty()) << "call " << failing;
    }
}

// ---- Unknown tags -------------------------------------------------------------------

// Bytes that would load a password if the loader read them as a record.
Bytes decoyWords() { return {0x5A, 0x03, 0x00, 0x00, 0x00, 'b', 'a', 'd'}; }

TEST_F(ConfigFormat, UnknownTagWithCountTwoSkipsEightBytes) {
    Bytes file{0x01};
    file += le32(2);
    file += decoyWords();
    file += passwordRecord("after");
    parse(file);
    EXPECT_EQ(password, "after");
}

TEST_F(ConfigFormat, UnknownTagWithCountZeroSkipsNothing) {
    Bytes file{0xFF};
    file += le32(0);
    file += passwordRecord("next");
    parse(file);
    EXPECT_EQ(password, "next");
}

// 4 x 0x40000000 wraps to 0 in 32 bits and 4 x 0x40000001 to 4: a wrapped
// skip would land on the password record placed just there.
TEST_F(ConfigFormat, UnknownTagCountThatWrapsIn32BitsEndsTheLoad) {
    for (std::uint32_t count : {0x40000000u, 0x40000001u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const std::uint32_t wrapped = count * 4u;
        Bytes file = driveRecord('D', 1);
        file.push_back(0x42);
        file += le32(count);
        file += Bytes(wrapped < 16 ? wrapped : 0, 0x00);
        file += passwordRecord("smuggled");
        PolicyTables fresh;
        std::string text = "unchanged";
        parseConfiguration(file.data(), file.size(), protector, fresh, text);
        EXPECT_EQ(text, "unchanged") << std::hex << count;
        EXPECT_EQ(fresh.driveEntries().size(), 1u) << std::hex << count;
    }
}

TEST_F(ConfigFormat, UnknownTagRunningOffTheEndEndsTheLoad) {
    Bytes file = passwordRecord("kept");
    file.push_back(0x01);
    file += le32(3);
    file += Bytes(11, 0x5B);
    parse(file);
    EXPECT_EQ(password, "kept");
    EXPECT_TRUE(loaded.driveEntries().empty());
}

TEST_F(ConfigFormat, UnknownTagSkippingExactlyToTheEndKeepsWhatCameBefore) {
    Bytes file = passwordRecord("kept");
    file.push_back(0x01);
    file += le32(2);
    file += Bytes(8, 0x5B);
    parse(file);
    EXPECT_EQ(password, "kept");
    EXPECT_TRUE(loaded.driveEntries().empty());
}

// ---- Trusted media: a record the loader of 1.1 skips as an unknown tag -------------

// Record starts and tags as the unknown-tag rule walks a file: known tags
// carry a byte length, every other tag a count of 4-byte words.
std::vector<std::pair<std::size_t, std::uint8_t>> walkUnderTheUnknownTagRule(const Bytes& file) {
    std::vector<std::pair<std::size_t, std::uint8_t>> starts;
    std::size_t pos = 0;
    while (pos + 5 <= file.size()) {
        const std::uint8_t tag = file[pos];
        const std::uint64_t field = file[pos + 1] | file[pos + 2] << 8 | file[pos + 3] << 16 |
                                    static_cast<std::uint64_t>(file[pos + 4]) << 24;
        starts.emplace_back(pos, tag);
        pos += 5 + (tag >= PasswordTag && tag <= MediaTag ? field : field * 4);
    }
    EXPECT_EQ(pos, file.size()) << "the walk ends exactly at the end";
    return starts;
}

TEST_F(ConfigFormat, TrustedMediaComeLastAndPassUnderTheUnknownTagRuleLeavingEveryOtherRecord) {
    PolicyTables tables;
    fillPolicy(tables);
    tables.addTrustedMedia(0x5AFE, "Own stick", 2);
    tables.addTrustedMedia(0xD15C, "", 5);
    Bytes file = build(tables, "pw");
    const auto starts = walkUnderTheUnknownTagRule(file);
    ASSERT_EQ(starts.size(), 8u);
    // The last record: its protected length, the blob, then zeros up to the word.
    ASSERT_EQ(starts[7].second, TrustedTag);
    const std::size_t at = starts[7].first;
    const std::uint32_t length = file[at + 5] | file[at + 6] << 8 | file[at + 7] << 16 | file[at + 8] << 24;
    ASSERT_LE(file.size() - (at + 9 + length), 3u);
    EXPECT_EQ(Bytes(file.begin() + at + 9 + length, file.end()), Bytes(file.size() - (at + 9 + length), 0));
    EXPECT_EQ(unprotected(Bytes(file.begin() + at + 9, file.begin() + at + 9 + length)),
              imageOf(tables.trustedRecords()[1]));

    parse(file);
    ASSERT_EQ(loaded.trustedRecords().size(), 2u);
    EXPECT_EQ(imageOf(loaded.trustedRecords()[0]), imageOf(tables.trustedRecords()[0]));

    // A loader that knows no 0x5D sees a tag it does not know.
    for (std::size_t i = 6; i < 8; ++i) file[starts[i].first] = 0x7F;
    PolicyTables older;
    std::string olderPassword;
    parseConfiguration(file.data(), file.size(), protector, older, olderPassword);
    EXPECT_EQ(images(older.driveEntries()), images(tables.driveEntries()));
    EXPECT_EQ(images(older.mediaRecords()), images(tables.mediaRecords()));
    EXPECT_EQ(olderPassword, "pw");
}

TEST_F(ConfigFormat, DamagedTrustedRecordCostsOnlyItself) {
    LockedMediaRecord medium = mediaRecord("KEPT", 1, 2);
    Bytes blob;
    ASSERT_TRUE(protector.protect(reinterpret_cast<const std::uint8_t*>(&medium), sizeof medium, blob));
    auto trusted = [&](std::uint32_t words, std::uint32_t length, const Bytes& body) {
        Bytes out{TrustedTag};
        out += le32(words) + le32(length) + body;
        out.resize(5 + std::size_t{words} * 4, 0);
        return out;
    };
    const std::uint32_t words = static_cast<std::uint32_t>((blob.size() + 7) / 4);
    Bytes file = trusted(2, 0, {});                                          // L = 0
    file += trusted(words, words * 4 - 3, blob);                             // L past the words
    file += trusted(words, static_cast<std::uint32_t>(blob.size()), Bytes(blob.size(), 0xEE));  // not unprotectable
    file += trusted(words, static_cast<std::uint32_t>(blob.size()), blob);
    file += driveRecord('E', 1);
    parse(file);
    ASSERT_EQ(loaded.trustedRecords().size(), 1u);
    EXPECT_STREQ(loaded.trustedRecords()[0].label, "KEPT");
    EXPECT_EQ(loaded.driveEntries().size(), 1u);
}

// ---- Read-only drives and media, and the journal ------------------------------------------

TEST_F(ConfigFormat, ReadOnlyRecordsFollowTheTrustedOnesAndAnOlderLoaderFindsTheSameDrivesAndTrustedMedia) {
    PolicyTables tables;
    fillPolicy(tables);
    fillReadOnly(tables);
    Bytes file = build(tables, "pw");
    const auto starts = walkUnderTheUnknownTagRule(file);
    std::vector<std::uint8_t> tags;
    for (const auto& start : starts) tags.push_back(start.second);
    EXPECT_EQ(tags, (std::vector<std::uint8_t>{PasswordTag, MediaTag, MediaTag, DriveTag, DriveTag, DriveTag,
                                               TrustedTag, ReadOnlyDriveTag, ReadOnlyDriveTag, ReadOnlyDriveTag,
                                               ReadOnlyDriveTag, ReadOnlyTrustedTag, ReadOnlyTrustedTag,
                                               ReadOnlyDiskTag, ReadOnlyDiskTag}));

    // A loader that knows none of them sees tags it does not know.
    for (std::size_t i = 7; i < starts.size(); ++i) file[starts[i].first] = 0x7F;
    PolicyTables older;
    std::string olderPassword;
    parseConfiguration(file.data(), file.size(), protector, older, olderPassword);
    EXPECT_EQ(images(older.driveEntries()), images(tables.driveEntries()));
    EXPECT_EQ(images(older.trustedRecords()), images(tables.trustedRecords())) << "without the read-only ones";
}

TEST_F(ConfigFormat, ReadOnlyDriveRecordsThisVersionDoesNotUseAreWrittenBackUnchanged) {
    Bytes file = passwordRecord("pw") + driveRecord('D', 1);
    for (const Bytes& image : {Bytes{'D', 1}, Bytes{'Q', 2}, Bytes{'F', 0}, Bytes{'D', 0x80}})
        file += framed(ReadOnlyDriveTag, image);
    parse(file);
    EXPECT_TRUE(loaded.isDriveReadOnly("Q:\\")) << "a flag of 2 counts";
    const Bytes saved = build(loaded, password);
    PolicyTables again;
    parseConfiguration(saved.data(), saved.size(), protector, again, password);
    // One entry a letter, the later record's flag: D's lives on as 0x80, in D's place.
    EXPECT_EQ(images(again.readOnlyEntries()), (std::vector<Bytes>{{'D', 0x80}, {'Q', 2}, {'F', 0}}));
}

// ---- Lengths and truncation ------------------------------------------------------------

TEST_F(ConfigFormat, ZeroLengthRecordIsSkippedAndTheNextLoads) {
    Bytes file = rawRecord(DriveTag, {});
    file += rawRecord(PasswordTag, {});
    file += driveRecord('E', 1);
    parse(file);
    EXPECT_EQ(password, "unchanged");
    ASSERT_EQ(loaded.driveEntries().size(), 1u);
    EXPECT_EQ(loaded.driveEntries()[0].letter, 'E');
}

TEST_F(ConfigFormat, LengthBeyondTheFileEndsTheLoadWithoutUnprotecting) {
    for (std::uint32_t length : {0xFFFFFFFFu, 0x80000000u}) {
        Bytes file = driveRecord('D', 1);
        file.push_back(PasswordTag);
        file += le32(length);
        file += passwordRecord("inside");
        PolicyTables fresh;
        std::string text = "unchanged";
        const unsigned callsBefore = protector.unprotectCalls();
        parseConfiguration(file.data(), file.size(), protector, fresh, text);
        EXPECT_EQ(text, "unchanged");
        EXPECT_EQ(fresh.driveEntries().size(), 1u);
        EXPECT_EQ(protector.unprotectCalls() - callsBefore, 1u) << "only the complete record";
    }
}

TEST_F(ConfigFormat, LengthOnePastTheEndEndsTheLoad) {
    const Bytes inner = passwordRecord("whole");
    Bytes file = driveRecord('D', 1);
    file.push_back(PasswordTag);
    file += le32(static_cast<std::uint32_t>(inner.size() + 1));
    file += inner;
    parse(file);
    EXPECT_EQ(password, "unchanged");
    EXPECT_EQ(loaded.driveEntries().size(), 1u);
}

TEST_F(ConfigFormat, FileCutAtEveryOffsetLoadsExactlyTheCompleteRecords) {
    PolicyTables source;
    source.addMedia(77, "CUT", 5);
    source.setDriveLocked("H:\\", true);
    const Bytes file = build(source, "whole");
    const auto records = splitRecords(file);
    ASSERT_EQ(records.size(), 3u);
    const std::size_t passwordEnd = 5 + records[0].blob.size();
    const std::size_t mediaEnd = passwordEnd + 5 + records[1].blob.size();

    for (std::size_t cut = 0; cut <= file.size(); ++cut) {
        PolicyTables fresh;
        std::string text = "unchanged";
        parseConfiguration(file.data(), cut, protector, fresh, text);
        EXPECT_EQ(text, cut >= passwordEnd ? "whole" : "unchanged") << "cut at " << cut;
        EXPECT_EQ(fresh.mediaRecords().size(), cut >= mediaEnd ? 1u : 0u) << "cut at " << cut;
        EXPECT_EQ(fresh.driveEntries().size(), cut == file.size() ? 1u : 0u) << "cut at " << cut;
    }
}

// ---- Records that cannot be unprotected ------------------------------------------------

TEST_F(ConfigFormat, DamagedRecordIsSkippedAndTheNextLoads) {
    Bytes damaged = record(MediaTag, imageOf(mediaRecord("BAD", 1, 2)));
    damaged[damaged.size() / 2] ^= 0x01;
    parse(driveRecord('D', 1) + damaged + driveRecord('E', 0));
    EXPECT_TRUE(loaded.mediaRecords().empty());
    ASSERT_EQ(loaded.driveEntries().size(), 2u);
    EXPECT_EQ(loaded.driveEntries()[1].letter, 'E');
}

TEST_F(ConfigFormat, RecordOfAnotherUserIsSkippedAndTheNextLoads) {
    FakeProtector mallory("mallory");
    Bytes plain = textBytes(std::string("theirs\0", 7));
    Bytes foreign;
    ASSERT_TRUE(mallory.protect(plain.data(), plain.size(), foreign));
    parse(passwordRecord("mine") + rawRecord(PasswordTag, foreign) + driveRecord('D', 1));
    EXPECT_EQ(password, "mine");
    EXPECT_EQ(loaded.driveEntries().size(), 1u);
}

TEST_F(ConfigFormat, FailedUnprotectSkipsOnlyThatRecord) {
    const Bytes file = driveRecord('D', 1) + driveRecord('E', 1) + driveRecord('F', 1);
    protector.failUnprotectCall(protector.unprotectCalls() + 2);
    parse(file);
    ASSERT_EQ(loaded.driveEntries().size(), 2u);
    EXPECT_EQ(loaded.driveEntries()[0].letter, 'D');
    EXPECT_EQ(loaded.driveEntries()[1].letter, 'F');
}

// ---- Plaintexts of unexpected size --------------------------------------------------------

TEST_F(ConfigFormat, DuplicateDriveLettersKeepOneEntryAndTheLaterFlag) {
    parse(driveRecord('D', 1) + driveRecord('E', 1) + driveRecord('D', 0));
    ASSERT_EQ(loaded.driveEntries().size(), 2u);
    EXPECT_EQ(imageOf(loaded.driveEntries()[0]), (Bytes{'D', 0}));
    EXPECT_EQ(imageOf(loaded.driveEntries()[1]), (Bytes{'E', 1}));
}

TEST_F(ConfigFormat, ShortDrivePlaintextKeepsTheLockedDefault) {
    parse(record(DriveTag, {'K'}));
    ASSERT_EQ(loaded.driveEntries().size(), 1u);
    EXPECT_EQ(imageOf(loaded.driveEntries()[0]), (Bytes{'K', 1}));
}

TEST_F(ConfigFormat, LongDrivePlaintextUsesItsFirstTwoBytes) {
    parse(record(DriveTag, {'L', 0, 'M', 1}));
    ASSERT_EQ(loaded.driveEntries().size(), 1u);
    EXPECT_EQ(imageOf(loaded.driveEntries()[0]), (Bytes{'L', 0}));
}

TEST_F(ConfigFormat, ShortMediaPlaintextLeavesTheRestZero) {
    parse(record(MediaTag, textBytes("SHORT")));
    ASSERT_EQ(loaded.mediaRecords().size(), 1u);
    EXPECT_EQ(imageOf(loaded.mediaRecords()[0]), imageOf(mediaRecord("SHORT", 0, 0)));
}

TEST_F(ConfigFormat, LongMediaPlaintextUsesIts268Bytes) {
    Bytes plain = imageOf(mediaRecord("LONG", 0x11223344, 5));
    plain += Bytes(32, 0xEE);
    parse(record(MediaTag, plain));
    ASSERT_EQ(loaded.mediaRecords().size(), 1u);
    EXPECT_EQ(imageOf(loaded.mediaRecords()[0]), imageOf(mediaRecord("LONG", 0x11223344, 5)));
}

TEST_F(ConfigFormat, MediaLabelWithoutNulIsCutToFitWithItsNul) {
    Bytes plain(260, 'q');
    plain += le32(9);
    plain += le32(2);
    parse(record(MediaTag, plain));
    ASSERT_EQ(loaded.mediaRecords().size(), 1u);
    const LockedMediaRecord& stored = loaded.mediaRecords()[0];
    EXPECT_EQ(stored.label[MaxLabelLength], '\0');
    EXPECT_EQ(std::string(stored.label), std::string(MaxLabelLength, 'q'));
    EXPECT_EQ(stored.serial, 9u);
}

TEST_F(ConfigFormat, BytesAfterTheLabelNulNeverReachTheTable) {
    LockedMediaRecord dirty = mediaRecord("AB", 3, 5);
    std::memset(dirty.label + 3, 0x7F, 100);
    parse(record(MediaTag, imageOf(dirty)));
    ASSERT_EQ(loaded.mediaRecords().size(), 1u);
    EXPECT_EQ(imageOf(loaded.mediaRecords()[0]), imageOf(mediaRecord("AB", 3, 5)));
}

// ---- The fake itself: the cases above rely on these properties ------------------------------

TEST(FakeProtectorContract, BehavesLikeTheUserBoundService) {
    FakeProtector alice("alice"), bob("bob");
    const Bytes plain = textBytes("secret");
    Bytes first, second, back;
    ASSERT_TRUE(alice.protect(plain.data(), plain.size(), first));
    ASSERT_TRUE(alice.protect(plain.data(), plain.size(), second));
    EXPECT_NE(first, second);
    ASSERT_TRUE(alice.unprotect(first.data(), first.size(), back));
    EXPECT_EQ(back, plain);
    EXPECT_FALSE(bob.unprotect(first.data(), first.size(), back));
    for (std::size_t i = 0; i < first.size(); ++i) {
        Bytes damaged = first;
        damaged[i] ^= 0x20;
        EXPECT_FALSE(alice.unprotect(damaged.data(), damaged.size(), back)) << "byte " << i;
    }
    EXPECT_FALSE(alice.unprotect(first.data(), first.size() - 1, back));
}

// ---- The file, in memory ------------------------------------------------------------------

class ConfigFileInMemory : public ::testing::Test {
protected:
    Bytes saveWith(PolicyTables& tables, const std::string& text) {
        ConfigFile writer(tables, files, protector);
        EXPECT_EQ(writer.saveConfiguration(ConfigFileName, text), 1);
        return files.contents(ConfigFileName);
    }

    MemoryFileSystem files;
    FakeProtector protector;
    PolicyTables tables;
    ConfigFile config{tables, files, protector};
    std::string password = "unchanged";
    const std::string name = ConfigFileName;
    const std::string temporary = name + ".new";
};

TEST_F(ConfigFileInMemory, LoadOfMissingFileReturnsZeroAndChangesNothing) {
    tables.setDriveLocked("C:\\", true);
    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), 0);
    EXPECT_EQ(password, "unchanged");
    EXPECT_EQ(tables.driveEntries().size(), 1u);
    EXPECT_FALSE(config.isHeld());
}

TEST_F(ConfigFileInMemory, LoadOfEmptyFileReturnsOneAndHoldsIt) {
    files.put(name, {});
    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    EXPECT_EQ(password, "unchanged");
    EXPECT_TRUE(tables.driveEntries().empty());
    EXPECT_TRUE(config.isHeld());
    EXPECT_EQ(files.openRead(ConfigFileName), FileSystem::InvalidHandle);
}

TEST_F(ConfigFileInMemory, LoadOfFileHeldByAnotherReturnsZero) {
    PolicyTables source;
    fillPolicy(source);
    saveWith(source, "pw");
    const FileSystem::Handle other = files.openRead(ConfigFileName);
    ASSERT_NE(other, FileSystem::InvalidHandle);
    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), 0);
    EXPECT_EQ(password, "unchanged");
    EXPECT_TRUE(tables.driveEntries().empty());
}

TEST_F(ConfigFileInMemory, SaveThenLoadRoundTripsAndEachHoldsTheFile) {
    fillPolicy(tables);
    fillReadOnly(tables);
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, "round"), 1);
    EXPECT_TRUE(files.isHeld(name));
    EXPECT_FALSE(files.has(temporary));

    PolicyTables loaded;
    ConfigFile reader(loaded, files, protector);
    EXPECT_EQ(config.closeConfiguration(), 1);
    EXPECT_EQ(reader.loadConfiguration(ConfigFileName, password), 1);
    EXPECT_TRUE(files.isHeld(name));
    expectSamePolicy(loaded, tables);
    EXPECT_EQ(password, "round");
}

TEST_F(ConfigFileInMemory, LoadAndSaveReleaseTheHandleTheyFind) {
    files.put(name, {});
    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    EXPECT_EQ(files.openHandles(), 1u);
}

TEST_F(ConfigFileInMemory, CloseReportsWhetherAFileWasHeld) {
    EXPECT_EQ(config.closeConfiguration(), 0);
    ASSERT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 1);
    EXPECT_EQ(config.closeConfiguration(), 1);
    EXPECT_EQ(config.closeConfiguration(), 0);
    EXPECT_EQ(files.openHandles(), 0u);
}

TEST_F(ConfigFileInMemory, SaveRefusedWhileAnotherHoldsTheFileLeavesItAsItWas) {
    for (bool renameIgnoresHolds : {false, true}) {
        MemoryFileSystem disk;
        disk.replaceIgnoresHolds(renameIgnoresHolds);
        PolicyTables old;
        old.setDriveLocked("D:\\", true);
        ConfigFile(old, disk, protector).saveConfiguration(ConfigFileName, "old");
        const Bytes before = disk.contents(name);
        ASSERT_NE(disk.openRead(ConfigFileName), FileSystem::InvalidHandle);

        PolicyTables changed;
        changed.setDriveLocked("D:\\", false);
        ConfigFile saver(changed, disk, protector);
        EXPECT_EQ(saver.saveConfiguration(ConfigFileName, "new"), 0);
        EXPECT_EQ(disk.contents(name), before);
        EXPECT_FALSE(saver.isHeld());
        EXPECT_FALSE(disk.has(temporary));
    }
}

TEST_F(ConfigFileInMemory, SaveRefusedWhenTheFileCannotBeOpenedLeavesIt) {
    files.put(name, {1, 2, 3});
    files.refuseOpens(name);
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, "pw"), 0);
    EXPECT_FALSE(config.isHeld());
    EXPECT_EQ(files.contents(name), (Bytes{1, 2, 3}));
    EXPECT_FALSE(files.has(temporary));
}

// Faults met at start-up. Whatever the file held, the owner's records survive
// this run: a file that could not be read is never written over, damaged
// records are kept beside it, and a stale temporary blocks no save.
struct LoadFault {
    const char* name;
    void (*prepare)(MemoryFileSystem& files, const Bytes& owners);
    int loaded;                // what loadConfiguration returns
    const char* password;      // in force after the load
    const char* keptAs;        // the copy made by the first save, or null
    const char* keptEvent;     // its 5001 event
    bool saves;                // whether saves replace the file in this run
};

class LoadFaults : public ::testing::TestWithParam<LoadFault> {
protected:
    MemoryFileSystem files;
    FakeProtector protector;
    testing::RecordingAudit audit;
    PolicyTables tables;
    ConfigFile config{tables, files, protector, audit};
    std::string password = DefaultPassword;
    const std::string name = ConfigFileName;
};

Bytes ownersFile() {
    PolicyTables owners;
    fillPolicy(owners);
    FakeProtector protector;
    Bytes image;
    buildConfiguration(owners, "owner-pw", protector, image);
    return image;
}

const LoadFault loadFaults[] = {
    {"HeldByAnotherProgramIsNeverOverwritten",
     [](MemoryFileSystem& files, const Bytes& owners) {
         files.put(ConfigFileName, owners);
         files.refuseOpens(ConfigFileName);
     },
     0, DefaultPassword, nullptr, nullptr, false},
    {"RecordOfAnotherUserIsKeptBesideTheFile",
     [](MemoryFileSystem& files, const Bytes& owners) {
         FakeProtector mallory("mallory");
         Bytes theirs;
         buildConfiguration(PolicyTables{}, "their-pw", mallory, theirs);
         files.put(ConfigFileName, owners + theirs);
     },
     1, "owner-pw", "Tamrel.conf.unreadable", "event 5001 1|Tamrel.conf.unreadable", true},
    {"EarlierKeptCopyIsNeverOverwritten",
     [](MemoryFileSystem& files, const Bytes& owners) {
         Bytes damaged = owners;
         damaged[10] ^= 0xFF;  // the password record's protected bytes
         files.put(ConfigFileName, damaged);
         files.put("Tamrel.conf.unreadable", {7});
     },
     1, DefaultPassword, "Tamrel.conf.unreadable.2", "event 5001 1|Tamrel.conf.unreadable.2", true},
    {"HugeLengthIsDamageNotAnAllocation",
     [](MemoryFileSystem& files, const Bytes& owners) {
         files.put(ConfigFileName, owners + Bytes{PasswordTag, 0xFF, 0xFF, 0xFF, 0xFF});
     },
     1, "owner-pw", "Tamrel.conf.unreadable", "event 5001 1|Tamrel.conf.unreadable", true},
    {"SparseFileOfGigabytesLoadsInPieces",
     [](MemoryFileSystem& files, const Bytes& owners) {
         files.putSparse(ConfigFileName, owners, std::uint64_t{1800} << 20);
     },
     1, "owner-pw", "Tamrel.conf.unreadable", "event 5001 1|Tamrel.conf.unreadable", true},
    {"StaleTemporaryBlocksNoSave",
     [](MemoryFileSystem& files, const Bytes& owners) {
         files.put(ConfigFileName, owners);
         files.put("Tamrel.conf.new", {1});
         files.refuseOpens("Tamrel.conf.new");  // a folder of that name, another program's handle
     },
     1, "owner-pw", nullptr, nullptr, true},
};

TEST_P(LoadFaults, OwnersPolicySurvivesTheRun) {
    const LoadFault& fault = GetParam();
    const Bytes owners = ownersFile();
    fault.prepare(files, owners);
    const Bytes before = files.contents(name);

    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), fault.loaded);
    EXPECT_EQ(password, fault.password);
    EXPECT_LE(files.largestRead(), std::size_t{64} << 10) << "the file was read whole";
    EXPECT_EQ(config.handsOff(), !fault.saves);
    if (!fault.saves) {
        EXPECT_EQ(files.pausedMs(), OpenRetries * OpenRetryPauseMs) << "no retry for a brief hold";
    }

    tables.setDriveLocked("Q:\\", true);
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, password), fault.saves ? 1 : 0);
    if (fault.keptAs) {
        EXPECT_EQ(files.contents(fault.keptAs), before) << "the file as it was read";
        EXPECT_EQ(audit.events(), std::vector<std::string>{fault.keptEvent});
    }
    if (!fault.saves) {
        files = MemoryFileSystem{};  // the other program lets go; this run still keeps off
        files.put(name, before);
        EXPECT_EQ(config.saveConfiguration(ConfigFileName, password), 0);
        EXPECT_EQ(files.contents(name), before);
        return;
    }
    EXPECT_NE(files.contents(name), before);
    EXPECT_TRUE(files.isHeld(name));
    audit.clear();
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, password), 1) << "a second save";
    EXPECT_TRUE(audit.events().empty()) << "the damage is kept once";
}

INSTANTIATE_TEST_SUITE_P(ConfigFile, LoadFaults, ::testing::ValuesIn(loadFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigFileInMemory, FileWhoseSizeCannotBeLearntIsNeverReplacedByAnEmptyPolicy) {
    PolicyTables owners;
    fillPolicy(owners);
    ConfigFile(owners, files, protector).saveConfiguration(ConfigFileName, "owner-pw");
    const Bytes before = files.contents(name);
    files.failSizes();
    EXPECT_EQ(config.loadConfiguration(ConfigFileName, password), 0);
    EXPECT_TRUE(config.handsOff());
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, password), 0);
    EXPECT_EQ(files.contents(name), before);
}

TEST_F(ConfigFileInMemory, FailingProtectKeepsTheOldFileAndItsHold) {
    PolicyTables old;
    fillPolicy(old);
    const Bytes before = saveWith(old, "old");
    ASSERT_EQ(config.loadConfiguration(ConfigFileName, password), 1);

    fillPolicy(tables);
    tables.setDriveLocked("Z:\\", true);
    protector.failProtectCall(protector.protectCalls() + 4);
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, "new"), 0);
    EXPECT_EQ(files.contents(name), before);
    EXPECT_FALSE(files.has(temporary));
    EXPECT_TRUE(config.isHeld());
}

TEST_F(ConfigFileInMemory, FailingWriteFlushOrReplaceKeepsTheOldFile) {
    enum Fault { Write, Flush, Replace };
    for (Fault fault : {Write, Flush, Replace}) {
        MemoryFileSystem disk;
        PolicyTables old;
        old.setDriveLocked("D:\\", true);
        ConfigFile(old, disk, protector).saveConfiguration(ConfigFileName, "old");
        const Bytes before = disk.contents(name);
        if (fault == Write) disk.failWriteCall(2);
        if (fault == Flush) disk.failFlushCall(2);
        if (fault == Replace) disk.failReplaceCall(2);

        ConfigFile saver(old, disk, protector);
        EXPECT_EQ(saver.saveConfiguration(ConfigFileName, "new"), 0) << "fault " << fault;
        EXPECT_EQ(disk.contents(name), before) << "fault " << fault;
        EXPECT_FALSE(disk.has(temporary)) << "fault " << fault;
        EXPECT_TRUE(disk.isHeld(name)) << "a failed save left the file to anyone, fault " << fault;
        EXPECT_EQ(disk.openHandles(), 1u) << "fault " << fault;
    }
}

TEST_F(ConfigFileInMemory, SaveInterruptedAtEveryStepLeavesTheOldOrTheNewFileWhole) {
    PolicyTables old;
    fillPolicy(old);
    PolicyTables next;
    next.setDriveLocked("E:\\", true);
    Bytes oldImage, newImage;
    FakeProtector forOld, forNew;
    ASSERT_TRUE(buildConfiguration(old, "old", forOld, oldImage));
    ASSERT_TRUE(buildConfiguration(next, "new", forNew, newImage));

    bool completed = false;
    for (std::size_t steps = 0; !completed; ++steps) {
        ASSERT_LT(steps, 10 * newImage.size()) << "the save never completed";
        MemoryFileSystem disk;
        disk.put(name, oldImage);
        disk.crashAfter(steps);
        FakeProtector sameNonces;
        ConfigFile(next, disk, sameNonces).saveConfiguration(ConfigFileName, "new");
        completed = !disk.crashed();
        const Bytes left = disk.afterCrash(name);
        EXPECT_TRUE(left == oldImage || left == newImage) << "crash after " << steps << " steps left "
                                                          << left.size() << " bytes";
        if (completed) {
            EXPECT_EQ(left, newImage);
        }
    }
}

// ---- The file, on a POSIX disk ---------------------------------------------------------------

class ConfigFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ventrix-config-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        path = directory + "/" + ConfigFileName;
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    Bytes onDisk() const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    PosixFileSystem files;
    FakeProtector protector;
    PolicyTables tables;
    std::string directory, path;
    std::string password = "unchanged";
};

TEST_F(ConfigFileOnDisk, SaveWritesExactlyTheBuiltImageAndLoadRestoresIt) {
    fillPolicy(tables);
    FakeProtector sameNonces;
    Bytes expected;
    ASSERT_TRUE(buildConfiguration(tables, "disk", sameNonces, expected));
    {
        ConfigFile config(tables, files, protector);
        ASSERT_EQ(config.saveConfiguration(path.c_str(), "disk"), 1);
        EXPECT_EQ(onDisk(), expected);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    PolicyTables loaded;
    ConfigFile reader(loaded, files, protector);
    ASSERT_EQ(reader.loadConfiguration(path.c_str(), password), 1);
    expectSamePolicy(loaded, tables);
    EXPECT_EQ(password, "disk");
}

TEST_F(ConfigFileOnDisk, HeldFileIsRefusedToASecondOpenerUntilClosed) {
    ConfigFile config(tables, files, protector);
    ASSERT_EQ(config.saveConfiguration(path.c_str(), "pw"), 1);
    PosixFileSystem other;
    EXPECT_EQ(other.openRead(path.c_str()), FileSystem::InvalidHandle);
    EXPECT_EQ(other.openWrite(path.c_str()), FileSystem::InvalidHandle);
    EXPECT_EQ(other.create(path.c_str()), FileSystem::InvalidHandle);

    ASSERT_EQ(config.loadConfiguration(path.c_str(), password), 1);
    EXPECT_EQ(other.openRead(path.c_str()), FileSystem::InvalidHandle);

    ASSERT_EQ(config.closeConfiguration(), 1);
    const FileSystem::Handle opened = other.openRead(path.c_str());
    EXPECT_NE(opened, FileSystem::InvalidHandle);
    other.close(opened);
}

TEST_F(ConfigFileOnDisk, SaveRefusedWhileAnotherHoldsTheFileLeavesItAsItWas) {
    tables.setDriveLocked("D:\\", true);
    {
        ConfigFile first(tables, files, protector);
        ASSERT_EQ(first.saveConfiguration(path.c_str(), "old"), 1);
    }
    const Bytes before = onDisk();
    PosixFileSystem other;
    const FileSystem::Handle holder = other.openRead(path.c_str());
    ASSERT_NE(holder, FileSystem::InvalidHandle);

    tables.setDriveLocked("D:\\", false);
    ConfigFile second(tables, files, protector);
    EXPECT_EQ(second.saveConfiguration(path.c_str(), "new"), 0);
    EXPECT_FALSE(second.isHeld());
    EXPECT_EQ(onDisk(), before);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    other.close(holder);
}

TEST_F(ConfigFileOnDisk, LoadOfMissingFileReturnsZero) {
    ConfigFile config(tables, files, protector);
    EXPECT_EQ(config.loadConfiguration(path.c_str(), password), 0);
    EXPECT_FALSE(config.isHeld());
    EXPECT_EQ(password, "unchanged");
}

TEST_F(ConfigFileOnDisk, CreateOfAHeldFileLeavesItsContent) {
    { std::ofstream(path, std::ios::binary) << "keep me"; }
    const FileSystem::Handle holder = files.openRead(path.c_str());
    ASSERT_NE(holder, FileSystem::InvalidHandle);
    PosixFileSystem other;
    EXPECT_EQ(other.create(path.c_str()), FileSystem::InvalidHandle);
    EXPECT_EQ(onDisk(), textBytes("keep me"));
    files.close(holder);
}

TEST_F(ConfigFileOnDisk, ReadDeliversTheWholeFileAndSizeMatches) {
    const Bytes content(100000, 0xA5);
    {
        const FileSystem::Handle out = files.create(path.c_str());
        ASSERT_NE(out, FileSystem::InvalidHandle);
        ASSERT_TRUE(files.write(out, content.data(), content.size()));
        ASSERT_TRUE(files.flush(out));
        files.close(out);
    }
    const FileSystem::Handle in = files.openRead(path.c_str());
    ASSERT_NE(in, FileSystem::InvalidHandle);
    std::uint64_t size = 0;
    ASSERT_TRUE(files.size(in, size));
    EXPECT_EQ(size, content.size());
    Bytes back(content.size() + 10);
    EXPECT_EQ(files.read(in, back.data(), back.size()), content.size());
    back.resize(content.size());
    EXPECT_EQ(back, content);
    files.close(in);
}

}  // namespace
}  // namespace ventrix
