#include "policy/policy_tables.h"
#include "control/password_guard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ventrix {
namespace {

// ---- Drive lock table ----------------------------------------------------------

class DriveTable : public ::testing::Test {
protected:
    // The whole table as a walk sees it, from a reset.
    std::vector<std::pair<std::string, std::uint32_t>> walk() {
        std::vector<std::pair<std::string, std::uint32_t>> seen;
        tables.resetDriveCursor();
        std::string root;
        std::uint32_t locked = 0;
        while (nextDrive(root, locked)) seen.emplace_back(root, locked);
        return seen;
    }
    bool nextDrive(std::string& root, std::uint32_t& locked) { return tables.nextDrive(root, &locked); }

    PolicyTables tables;
};

TEST_F(DriveTable, NextDriveOnEmptyTableLeavesOutputsAndCursorAlone) {
    std::string root = "untouched";
    std::uint32_t locked = 77;
    EXPECT_FALSE(tables.nextDrive(root, &locked));
    EXPECT_EQ(root, "untouched");
    EXPECT_EQ(locked, 77u);
    EXPECT_EQ(tables.driveCursor(), 0u);
}

TEST_F(DriveTable, WalkDeliversRootsAndFlagsInAppendOrder) {
    tables.setDriveLocked("F:\\", true);
    tables.setDriveLocked("D:\\", false);
    tables.setDriveLocked("E:\\", true);
    using Seen = std::vector<std::pair<std::string, std::uint32_t>>;
    EXPECT_EQ(walk(), (Seen{{"F:\\", 1}, {"D:\\", 0}, {"E:\\", 1}}));
    EXPECT_EQ(tables.driveCursor(), 0u);
}

TEST_F(DriveTable, LockedOutputIsOptional) {
    tables.setDriveLocked("E:\\", true);
    std::string root;
    ASSERT_TRUE(tables.nextDrive(root));
    EXPECT_EQ(root, "E:\\");
}

TEST_F(DriveTable, WalkPastTheEndResetsAndStartsOver) {
    tables.setDriveLocked("D:\\", true);
    tables.setDriveLocked("E:\\", false);
    std::string root;
    std::uint32_t locked = 0;
    ASSERT_TRUE(nextDrive(root, locked));
    ASSERT_TRUE(nextDrive(root, locked));
    root = "kept";
    EXPECT_FALSE(nextDrive(root, locked));
    EXPECT_EQ(root, "kept");
    EXPECT_EQ(tables.driveCursor(), 0u);
    ASSERT_TRUE(nextDrive(root, locked));
    EXPECT_EQ(root, "D:\\");
}

TEST_F(DriveTable, WalkThatStopsEarlyLeavesCursorWhereItStopped) {
    tables.setDriveLocked("D:\\", true);
    tables.setDriveLocked("E:\\", true);
    std::string root;
    tables.nextDrive(root);
    EXPECT_EQ(tables.driveCursor(), 1u);
    tables.resetDriveCursor();
    EXPECT_EQ(tables.driveCursor(), 0u);
}

TEST_F(DriveTable, FindDriveUsesOnlyTheFirstCharacterWithoutCaseFolding) {
    tables.setDriveLocked("E:\\", true);
    std::uint32_t locked = 0;
    EXPECT_TRUE(tables.findDrive("E:\\", &locked));
    EXPECT_EQ(locked, 1u);
    EXPECT_TRUE(tables.findDrive("E:"));
    EXPECT_TRUE(tables.findDrive("E"));
    locked = 42;
    EXPECT_FALSE(tables.findDrive("e:\\", &locked));
    EXPECT_EQ(locked, 42u);
    EXPECT_FALSE(tables.findDrive(""));
}

TEST_F(DriveTable, SetDriveLockedUpdatesInPlaceAndAppendsNewLetters) {
    EXPECT_EQ(tables.setDriveLocked("D:\\", true), 1);
    EXPECT_EQ(tables.setDriveLocked("E:\\", true), 1);
    EXPECT_EQ(tables.setDriveLocked("F:\\", true), 1);
    EXPECT_EQ(tables.setDriveLocked("E", false), 0);
    using Seen = std::vector<std::pair<std::string, std::uint32_t>>;
    EXPECT_EQ(walk(), (Seen{{"D:\\", 1}, {"E:\\", 0}, {"F:\\", 1}}));
    EXPECT_EQ(tables.setDriveLocked("E:", true), 0);
    EXPECT_EQ(walk()[1], (std::pair<std::string, std::uint32_t>{"E:\\", 1}));
    EXPECT_EQ(tables.driveEntries().size(), 3u);
}

TEST_F(DriveTable, SetDriveLockedStoresOnlyZeroOrOne) {
    tables.setDriveLocked("E:\\", static_cast<bool>(5));
    EXPECT_EQ(tables.driveEntries().at(0).locked, 1);
    tables.setDriveLocked("E:\\", false);
    EXPECT_EQ(tables.driveEntries().at(0).locked, 0);
}

TEST_F(DriveTable, LowerCaseLetterIsAnEntryOfItsOwn) {
    tables.setDriveLocked("E:\\", true);
    EXPECT_EQ(tables.setDriveLocked("e:\\", false), 1);
    EXPECT_EQ(tables.driveEntries().size(), 2u);
}

TEST_F(DriveTable, IsDriveLockedNeedsTheExactRoot) {
    tables.setDriveLocked("E:\\", true);
    EXPECT_TRUE(tables.isDriveLocked("E:\\"));
    EXPECT_FALSE(tables.isDriveLocked("E:"));
    EXPECT_FALSE(tables.isDriveLocked("E"));
    EXPECT_FALSE(tables.isDriveLocked("e:\\"));
    EXPECT_FALSE(tables.isDriveLocked("E:\\\\"));
    tables.setDriveLocked("E:\\", false);
    EXPECT_FALSE(tables.isDriveLocked("E:\\"));
}

TEST_F(DriveTable, IsDriveLockedLeavesCursorJustPastTheMatch) {
    tables.setDriveLocked("D:\\", true);
    tables.setDriveLocked("E:\\", false);
    tables.setDriveLocked("F:\\", true);
    tables.isDriveLocked("E:\\");
    EXPECT_EQ(tables.driveCursor(), 2u);
    tables.isDriveLocked("D:\\");
    EXPECT_EQ(tables.driveCursor(), 1u);
    tables.isDriveLocked("Q:\\");
    EXPECT_EQ(tables.driveCursor(), 0u);
}

TEST_F(DriveTable, WalkCallingIsDriveLockedOnItsOwnEntryContinuesUnchanged) {
    for (const char* root : {"D:\\", "E:\\", "F:\\", "G:\\"}) tables.setDriveLocked(root, root[0] != 'E');
    std::vector<std::string> visited;
    std::vector<bool> verdicts;
    tables.resetDriveCursor();
    std::string root;
    std::uint32_t locked = 0;
    while (nextDrive(root, locked)) {
        visited.push_back(root);
        verdicts.push_back(tables.isDriveLocked(root));
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"D:\\", "E:\\", "F:\\", "G:\\"}));
    EXPECT_EQ(verdicts, (std::vector<bool>{true, false, true, true}));
    EXPECT_EQ(tables.driveCursor(), 0u);
}

TEST_F(DriveTable, LoadedFlagTwoCountsAsLocked) {
    tables.appendLoadedDrive({'E', 2});
    std::uint32_t locked = 0;
    EXPECT_STREQ(tables.driveStateText("E:\\"), "Locked");
    EXPECT_TRUE(tables.isDriveLocked("E:\\"));
    ASSERT_TRUE(tables.findDrive("E", &locked));
    EXPECT_EQ(locked, 2u);
    std::string root;
    tables.resetDriveCursor();
    ASSERT_TRUE(nextDrive(root, locked));
    EXPECT_EQ(locked, 2u);
}

TEST_F(DriveTable, DriveStateTextForEachState) {
    tables.setDriveLocked("D:\\", true);
    tables.setDriveLocked("E:\\", false);
    EXPECT_STREQ(tables.driveStateText("D:\\"), "Locked");
    EXPECT_STREQ(tables.driveStateText("E"), "Unlocked");
    EXPECT_STREQ(tables.driveStateText("F:\\"), "");
}

TEST_F(DriveTable, LoadedDuplicateLetterUpdatesTheEarlierEntry) {
    tables.appendLoadedDrive({'D', 1});
    tables.appendLoadedDrive({'E', 1});
    tables.appendLoadedDrive({'D', 0});
    ASSERT_EQ(tables.driveEntries().size(), 2u);
    EXPECT_EQ(tables.driveEntries()[0].letter, 'D');
    EXPECT_EQ(tables.driveEntries()[0].locked, 0);
}

TEST_F(DriveTable, GrowthKeepsEveryEntryInOrder) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) tables.setDriveLocked(std::string(1, letter), letter % 2);
    const auto seen = walk();
    ASSERT_EQ(seen.size(), 26u);
    for (int i = 0; i < 26; ++i) {
        const char letter = static_cast<char>('A' + i);
        EXPECT_EQ(seen[i].first, (std::string{letter, ':', '\\'}));
        EXPECT_EQ(seen[i].second, static_cast<std::uint32_t>(letter % 2));
    }
}

// ---- Locked media table ----------------------------------------------------------

class MediaTable : public ::testing::Test {
protected:
    struct Seen {
        std::uint32_t serial;
        std::string label;
        std::uint32_t driveType;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> walk() {
        std::vector<Seen> seen;
        tables.resetMediaCursor();
        Seen item{};
        while (tables.nextMedia(item.serial, item.label, item.driveType)) seen.push_back(item);
        return seen;
    }

    PolicyTables tables;
};

TEST_F(MediaTable, NextMediaOnEmptyTableLeavesOutputsAlone) {
    std::uint32_t serial = 5, driveType = 6;
    std::string label = "kept";
    EXPECT_FALSE(tables.nextMedia(serial, label, driveType));
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(label, "kept");
    EXPECT_EQ(driveType, 6u);
    EXPECT_EQ(tables.mediaCursor(), 0u);
}

TEST_F(MediaTable, WalkPastTheEndResetsAndStartsOver) {
    tables.addMedia(1, "ONE", 5);
    tables.addMedia(2, "TWO", 2);
    EXPECT_EQ(walk(), (std::vector<Seen>{{1, "ONE", 5}, {2, "TWO", 2}}));
    EXPECT_EQ(tables.mediaCursor(), 0u);
    Seen item{};
    ASSERT_TRUE(tables.nextMedia(item.serial, item.label, item.driveType));
    ASSERT_TRUE(tables.nextMedia(item.serial, item.label, item.driveType));
    EXPECT_FALSE(tables.nextMedia(item.serial, item.label, item.driveType));
    ASSERT_TRUE(tables.nextMedia(item.serial, item.label, item.driveType));
    EXPECT_EQ(item, (Seen{1, "ONE", 5}));
}

TEST_F(MediaTable, AddMediaRefusesAnEqualRecordWhateverTheAsciiCase) {
    EXPECT_TRUE(tables.addMedia(0x1234, "Backup", 2));
    EXPECT_FALSE(tables.addMedia(0x1234, "BACKUP", 2));
    EXPECT_FALSE(tables.addMedia(0x1234, "backup", 2));
    EXPECT_TRUE(tables.addMedia(0x1234, "Backup", 5));
    EXPECT_TRUE(tables.addMedia(0x1235, "Backup", 2));
    EXPECT_TRUE(tables.addMedia(0x1234, "Backup2", 2));
    EXPECT_EQ(tables.mediaRecords().size(), 4u);
}

TEST_F(MediaTable, BytesOutsideAsciiLettersAreNotFolded) {
    const std::string upperUmlaut = "\xC4";
    const std::string lowerUmlaut = "\xE4";
    EXPECT_TRUE(tables.addMedia(9, upperUmlaut, 2));
    EXPECT_TRUE(tables.addMedia(9, lowerUmlaut, 2));
    EXPECT_TRUE(tables.findMedia(9, upperUmlaut, 2));
    EXPECT_FALSE(tables.findMedia(9, "\xC5", 2));
    EXPECT_FALSE(labelsEqual("\xC4", "\xE4"));
    EXPECT_TRUE(labelsEqual("aZ\xC4", "Az\xC4"));
    EXPECT_FALSE(labelsEqual("[", "{"));  // 0x5B and 0x7B differ by the case bit only
}

TEST_F(MediaTable, LabelsEndAtTheirFirstNul) {
    EXPECT_TRUE(labelsEqual(std::string("DISK\0junk", 9), "disk"));
    tables.addMedia(3, std::string("DISK\0junk", 9), 5);
    EXPECT_TRUE(tables.findMedia(3, "Disk", 5));
    EXPECT_EQ(walk().at(0).label, "DISK");
}

TEST_F(MediaTable, FindMediaNeedsAllThreeToMatch) {
    tables.addMedia(7, "Photos", 5);
    EXPECT_TRUE(tables.findMedia(7, "PHOTOS", 5));
    EXPECT_FALSE(tables.findMedia(8, "Photos", 5));
    EXPECT_FALSE(tables.findMedia(7, "Photo", 5));
    EXPECT_FALSE(tables.findMedia(7, "Photos", 2));
}

TEST_F(MediaTable, IsMediaListedOnlyForCdromOrRemovableTypes) {
    tables.addMedia(1, "CD", 5);
    tables.addMedia(2, "STICK", 2);
    tables.addMedia(3, "FIXED", 3);
    EXPECT_TRUE(tables.isMediaListed(1, "cd"));
    EXPECT_TRUE(tables.isMediaListed(2, "stick"));
    EXPECT_FALSE(tables.isMediaListed(3, "FIXED"));
    EXPECT_FALSE(tables.isMediaListed(4, "CD"));
}

TEST_F(MediaTable, EmptyLabelIsStoredAsAllZeroBytes) {
    ASSERT_TRUE(tables.addMedia(0xCAFEBABE, "", 2));
    const LockedMediaRecord& record = tables.mediaRecords().at(0);
    EXPECT_EQ(std::string(record.label, sizeof record.label), std::string(260, '\0'));
    EXPECT_EQ(record.serial, 0xCAFEBABEu);
    EXPECT_EQ(record.driveType, 2u);
    EXPECT_FALSE(tables.addMedia(0xCAFEBABE, "", 2));
}

TEST_F(MediaTable, RecordImageHasZerosAfterTheLabel) {
    tables.addMedia(0x01020304, "AB", 5);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&tables.mediaRecords().at(0));
    EXPECT_EQ(bytes[0], 'A');
    EXPECT_EQ(bytes[1], 'B');
    for (int i = 2; i < 260; ++i) ASSERT_EQ(bytes[i], 0) << "offset " << i;
    EXPECT_EQ(std::vector<std::uint8_t>(bytes + 260, bytes + 268),
              (std::vector<std::uint8_t>{4, 3, 2, 1, 5, 0, 0, 0}));
}

TEST_F(MediaTable, LongestLabelFitsWithItsNul) {
    const std::string longest(MaxLabelLength, 'x');
    ASSERT_TRUE(tables.addMedia(1, longest, 2));
    EXPECT_EQ(walk().at(0).label, longest);
    EXPECT_EQ(tables.mediaRecords().at(0).label[MaxLabelLength], '\0');
}

TEST_F(MediaTable, RemoveMediaErasesTheFirstMatchOnlyAndKeepsOrder) {
    tables.addMedia(1, "A", 2);
    tables.addMedia(5, "Same", 5);
    tables.addMedia(2, "B", 2);
    tables.addMedia(5, "same", 2);
    tables.addMedia(3, "C", 5);
    EXPECT_TRUE(tables.removeMedia(5, "SAME"));
    EXPECT_EQ(walk(), (std::vector<Seen>{{1, "A", 2}, {2, "B", 2}, {5, "same", 2}, {3, "C", 5}}));
    EXPECT_TRUE(tables.removeMedia(5, "Same"));
    EXPECT_EQ(walk(), (std::vector<Seen>{{1, "A", 2}, {2, "B", 2}, {3, "C", 5}}));
    EXPECT_FALSE(tables.removeMedia(5, "Same"));
    EXPECT_FALSE(tables.removeMedia(1, "B"));
}

TEST_F(MediaTable, RemoveMediaLeavesTheCursorAlone) {
    tables.addMedia(1, "A", 2);
    tables.addMedia(2, "B", 2);
    Seen item{};
    tables.resetMediaCursor();
    tables.nextMedia(item.serial, item.label, item.driveType);
    tables.removeMedia(2, "B");
    EXPECT_EQ(tables.mediaCursor(), 1u);
}

TEST_F(MediaTable, GrowthKeepsEveryRecordInOrder) {
    std::vector<Seen> expected;
    for (std::uint32_t i = 0; i < 100; ++i) {
        const std::string label = "VOL" + std::to_string(i);
        ASSERT_TRUE(tables.addMedia(i * 7919u, label, i % 2 ? 5 : 2));
        expected.push_back({i * 7919u, label, i % 2 ? 5u : 2u});
    }
    EXPECT_EQ(walk(), expected);
}

TEST_F(MediaTable, LoadedRecordGetsACleanLabelField) {
    LockedMediaRecord dirty{};
    std::memset(dirty.label, 'z', sizeof dirty.label);
    dirty.label[3] = '\0';
    dirty.serial = 11;
    dirty.driveType = 5;
    tables.appendLoadedMedia(dirty);
    const LockedMediaRecord& stored = tables.mediaRecords().at(0);
    EXPECT_EQ(std::string(stored.label, 4), std::string("zzz\0", 4));
    for (std::size_t i = 3; i < sizeof stored.label; ++i) ASSERT_EQ(stored.label[i], '\0') << "offset " << i;
    EXPECT_EQ(stored.serial, 11u);
    EXPECT_EQ(stored.driveType, 5u);
}

TEST_F(MediaTable, LoadedRecordsAreAppendedEvenWhenEqual) {
    LockedMediaRecord record{};
    std::memcpy(record.label, "TWICE", 5);
    record.serial = 1;
    record.driveType = 2;
    tables.appendLoadedMedia(record);
    tables.appendLoadedMedia(record);
    EXPECT_EQ(walk().size(), 2u);
}

// ---- Trusted media: the same records, never on both lists ---------------------------

TEST_F(MediaTable, AddingToOneListTakesTheSameMediumOffTheOther) {
    tables.addMedia(7, "Backup", 2);
    tables.addMedia(7, "Backup", 5);  // the same label and serial under another type stays
    EXPECT_TRUE(tables.addTrustedMedia(7, "BACKUP", 2));
    EXPECT_EQ(walk(), (std::vector<Seen>{{7, "Backup", 5}}));
    EXPECT_TRUE(tables.findTrustedMedia(7, "backup", 2));
    EXPECT_FALSE(tables.addTrustedMedia(7, "Backup", 2)) << "no duplicate";

    EXPECT_TRUE(tables.addMedia(7, "Backup", 2));
    EXPECT_TRUE(tables.trustedRecords().empty());
    EXPECT_TRUE(tables.addTrustedMedia(9, "Own", 5));
    EXPECT_TRUE(tables.removeTrustedMedia(9, "OWN"));
    EXPECT_FALSE(tables.isTrustedListed(9, "Own"));
}

TEST_F(MediaTable, AMediumOnBothListsInAFileStaysOnlyLockedInEitherOrder) {
    LockedMediaRecord record{};
    std::memcpy(record.label, "BOTH", 4);
    record.serial = 3;
    record.driveType = 2;
    tables.appendLoadedTrusted(record);
    tables.appendLoadedReadOnlyTrusted(record);
    tables.appendLoadedMedia(record);
    tables.appendLoadedTrusted(record);
    tables.appendLoadedReadOnlyTrusted(record);
    EXPECT_TRUE(tables.trustedRecords().empty());
    EXPECT_TRUE(tables.readOnlyTrustedRecords().empty());
    EXPECT_EQ(walk(), (std::vector<Seen>{{3, "BOTH", 2}}));
}

// ---- Trusted media read-only: a list of their own ------------------------------------

TEST_F(MediaTable, TrustingTheOtherWayMovesAMediumBetweenFullAndReadOnlyAndLockingTakesItOff) {
    tables.addMedia(7, "Supplier", 2);
    EXPECT_TRUE(tables.addTrustedMedia(7, "SUPPLIER", 2, true));
    EXPECT_TRUE(walk().empty()) << "off the locked list";
    EXPECT_FALSE(tables.addTrustedMedia(7, "supplier", 2, true)) << "no change, no duplicate";
    EXPECT_TRUE(tables.addTrustedMedia(7, "Supplier", 2)) << "full trust now";
    EXPECT_TRUE(tables.readOnlyTrustedRecords().empty());
    EXPECT_TRUE(tables.addTrustedMedia(7, "Supplier", 2, true)) << "and back";
    EXPECT_TRUE(tables.trustedRecords().empty());
    EXPECT_TRUE(tables.addMedia(7, "SUPPLIER", 2));
    EXPECT_TRUE(tables.readOnlyTrustedRecords().empty());
    tables.Managed.trustedMedia = {{"Admin", 0x10, ManagedCdrom, true}};
    EXPECT_TRUE(tables.isTrustedReadOnly(0x10, "ADMIN", ManagedCdrom)) << "the administrator's read-only entry";
}

TEST_F(MediaTable, ALoadedMediumTrustedBothWaysIsTrustedReadOnlyInEitherOrder) {
    LockedMediaRecord both{};
    std::memcpy(both.label, "BOTH", 4);
    LockedMediaRecord late = both;
    late.serial = 3;
    tables.appendLoadedTrusted(both);
    tables.appendLoadedReadOnlyTrusted(both);
    tables.appendLoadedReadOnlyTrusted(late);
    tables.appendLoadedTrusted(late);
    EXPECT_TRUE(tables.trustedRecords().empty());
    EXPECT_EQ(tables.readOnlyTrustedRecords().size(), 2u);
}

// ---- Process-wide state ------------------------------------------------------------

TEST(PolicyState, StartsWithDefaultPasswordAndProtectionOn) {
    PolicyTables tables;
    EXPECT_EQ(tables.CurrentPassword, "quillfern");
    EXPECT_STREQ(DefaultPassword, "quillfern");
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_TRUE(tables.driveEntries().empty());
    EXPECT_TRUE(tables.mediaRecords().empty());
}

// Guessing at the prompt was free: three wrong passwords in a row cost
// nothing, then each one more doubles the wait, up to a minute.
TEST(PasswordGuard, GuessingCostsGrowingWaitsUntilARightPassword) {
    PasswordGuard guard;
    const std::uint32_t start = 0xFFFFF000u;  // the tick wraps during the run
    std::vector<std::uint32_t> waits;
    for (int n = 1; n <= 10; ++n) {
        guard.recordWrong(start + n);
        waits.push_back(guard.remaining(start + n));
    }
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{0, 0, 0, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_EQ(guard.remaining(start + 10 + 59999), 1u);
    EXPECT_EQ(guard.remaining(start + 10 + 60000), 0u);
    guard.recordRight();
    EXPECT_EQ(guard.remaining(start + 11), 0u);
    for (int n = 1; n <= 4; ++n) guard.recordWrong(start);
    EXPECT_EQ(guard.remaining(start), 2000u) << "the count starts again after a right password";
}

}  // namespace
}  // namespace ventrix
