// Volume operations against the fake platform: the exact calls, parameters
// and orders each operation makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_volume_platform.h"
#include "volume/volume_ops.h"

namespace ventrix {
namespace {

using testing::FakeVolumePlatform;
using Calls = std::vector<std::string>;

class VolumeOpsTest : public ::testing::Test {
protected:
    FakeVolumePlatform platform;
    PolicyTables tables;
    VolumeOps ops{platform, tables};

    void TearDown() override { EXPECT_EQ(platform.openDevices(), 0u) << "a volume handle was left open"; }
};

TEST(UnitMaskTest, LowestOfBitsZeroToTwentyFiveNamesTheDrive) {
    EXPECT_EQ(driveLetterFromUnitMask(0x1), 'A');
    EXPECT_EQ(driveLetterFromUnitMask(0x10), 'E');
    EXPECT_EQ(driveLetterFromUnitMask(0x14), 'C');
    EXPECT_EQ(driveLetterFromUnitMask(1u << 25), 'Z');
    EXPECT_EQ(driveLetterFromUnitMask((1u << 25) | (1u << 31)), 'Z');
}

TEST(UnitMaskTest, MaskWithoutDriveBitsGivesTheNoDriveLetter) {
    EXPECT_EQ(driveLetterFromUnitMask(0), '[');
    EXPECT_EQ(driveLetterFromUnitMask(1u << 26), '[');
    EXPECT_EQ(driveLetterFromUnitMask(0xFC000000u), '[');
}

TEST(LockableDriveTest, OnlyCdromAndRemovableFromBOn) {
    EXPECT_FALSE(isLockableDrive("A:\\", DriveRemovable));
    EXPECT_TRUE(isLockableDrive("B:\\", DriveRemovable));
    EXPECT_TRUE(isLockableDrive("E:\\", DriveRemovable));
    EXPECT_TRUE(isLockableDrive("A:\\", DriveCdrom));
    EXPECT_TRUE(isLockableDrive("Z:\\", DriveCdrom));
    for (std::uint32_t type : {DriveUnknown, DriveNoRootDir, DriveFixed, DriveRemote, DriveRamdisk}) {
        EXPECT_FALSE(isLockableDrive("E:\\", type)) << "type " << type;
    }
    EXPECT_FALSE(isLockableDrive("", DriveRemovable));
}

TEST_F(VolumeOpsTest, EjectOpensTheDevicePathSharedForReadingAndSendsOneEject) {
    ops.ejectMedia("E:\\");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\E: share=1", "ioctl 0x2D4808", "close"}));
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(VolumeOpsTest, LockSharesReadingAndWritingAndSendsOneLock) {
    ops.lockVolume("F:\\");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\F: share=3", "ioctl 0x90018", "close"}));
}

TEST_F(VolumeOpsTest, ReleaseSendsUnlockThenDismountOnOneHandle) {
    ops.releaseVolume("G:\\");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\G: share=3", "ioctl 0x9001C", "ioctl 0x90020", "close"}));
}

TEST_F(VolumeOpsTest, RefusedEjectOpenShowsExactlyOneErrorBoxAndNothingElse) {
    platform.refuseOpen("\\\\.\\E:");
    ops.ejectMedia("E:\\");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\E: share=1 refused", "message Error: Unable to open device"}));
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].owner, nullptr);
    EXPECT_EQ(platform.messages()[0].type, MbIconError | MbOk);
}

TEST_F(VolumeOpsTest, RefusedLockAndReleaseOpensAreSilent) {
    platform.refuseOpen("\\\\.\\E:");
    ops.lockVolume("E:\\");
    ops.releaseVolume("E:\\");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\E: share=3 refused", "open \\\\.\\E: share=3 refused"}));
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(VolumeOpsTest, IdentityQueryReleasesThenSetsErrorModeThenQueriesTheRootWithAZeroedBuffer) {
    platform.addDriveWithMedium('E', DriveCdrom, "HOLIDAY", 0x1234ABCD);
    std::string label;
    std::uint32_t serial = 0;
    ASSERT_TRUE(ops.queryVolumeIdentity("E:\\", label, serial));
    EXPECT_EQ(label, "HOLIDAY");
    EXPECT_EQ(serial, 0x1234ABCDu);
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\E: share=3", "ioctl 0x9001C", "ioctl 0x90020", "close",
                                       "errormode 1", "query E:\\ size=260"}));
}

TEST_F(VolumeOpsTest, IdentityQueryOnAnEmptyDriveFailsLeavesTheLabelAndStillReleases) {
    platform.addDrive('E', DriveCdrom);
    std::string label = "previous";
    std::uint32_t serial = 7;
    EXPECT_FALSE(ops.queryVolumeIdentity("E:\\", label, serial));
    EXPECT_EQ(label, "previous");
    EXPECT_EQ(platform.calls(), (Calls{"open \\\\.\\E: share=3", "ioctl 0x9001C", "ioctl 0x90020", "close",
                                       "errormode 1", "query E:\\ size=260"}));
}

TEST_F(VolumeOpsTest, IdentityQueryAcceptsAnEmptyLabelAndReplacesALongerOldOne) {
    platform.addDriveWithMedium('E', DriveRemovable, "", 0xCAFE0001);
    std::string label = "A LONGER PREVIOUS LABEL";
    std::uint32_t serial = 0;
    ASSERT_TRUE(ops.queryVolumeIdentity("E:\\", label, serial));
    EXPECT_EQ(label, "");
    EXPECT_EQ(serial, 0xCAFE0001u);
}

TEST_F(VolumeOpsTest, IdentityQueryUsesOnlyTheRootsFirstThreeCharacters) {
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 1);
    std::string label;
    std::uint32_t serial = 0;
    ASSERT_TRUE(ops.queryVolumeIdentity("E:\\some\\folder", label, serial));
    EXPECT_EQ(platform.calls().front(), "open \\\\.\\E: share=3");
    EXPECT_EQ(platform.calls().back(), "query E:\\ size=260");
}

TEST_F(VolumeOpsTest, ErrorModeIsSetBeforeEveryQuery) {
    platform.addDrive('D', DriveCdrom);
    std::string label;
    std::uint32_t serial = 0;
    ops.queryVolumeIdentity("D:\\", label, serial);
    ops.queryVolumeIdentity("D:\\", label, serial);
    int modes = 0;
    for (std::size_t i = 0; i < platform.calls().size(); ++i) {
        if (platform.calls()[i] != "errormode 1") continue;
        ++modes;
        ASSERT_LT(i + 1, platform.calls().size());
        EXPECT_EQ(platform.calls()[i + 1], "query D:\\ size=260");
    }
    EXPECT_EQ(modes, 2);
}

TEST_F(VolumeOpsTest, DriveListIsAskedForItsSizeThenReadWithOneByteMore) {
    platform.addDrive('C', DriveFixed);
    platform.addDrive('E', DriveCdrom);
    EXPECT_EQ(ops.driveRoots(), (Calls{"C:\\", "E:\\"}));
    EXPECT_EQ(platform.calls(), (Calls{"drives size=0", "drives size=10"}));
}

TEST_F(VolumeOpsTest, SeedingFlagsEveryLockableDriveInListOrderAndKeepsExistingPositions) {
    platform.addDrive('A', DriveRemovable);
    platform.addDrive('C', DriveFixed);
    platform.addDrive('D', DriveCdrom);
    platform.addDrive('E', DriveRemovable);
    platform.addDrive('N', DriveRemote);
    platform.addDrive('R', DriveRamdisk);
    tables.setDriveLocked("E:\\", false);
    tables.setDriveLocked("C:\\", false);

    ops.seedDriveTable();

    const auto& entries = tables.driveEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].letter, 'E');
    EXPECT_EQ(entries[0].locked, 1);
    EXPECT_EQ(entries[1].letter, 'C');
    EXPECT_EQ(entries[1].locked, 0) << "a drive that is not lockable is left alone";
    EXPECT_EQ(entries[2].letter, 'D');
    EXPECT_EQ(entries[2].locked, 1);
    EXPECT_EQ(platform.calls(), (Calls{"drives size=0", "drives size=26", "type A:\\", "type C:\\", "type D:\\",
                                       "type E:\\", "type N:\\", "type R:\\"}));
}

TEST_F(VolumeOpsTest, SeedingAMachineWithoutLockableDrivesLeavesTheTableAsItWas) {
    platform.addDrive('A', DriveRemovable);
    platform.addDrive('C', DriveFixed);
    tables.setDriveLocked("Q:\\", false);
    ops.seedDriveTable();
    ASSERT_EQ(tables.driveEntries().size(), 1u);
    EXPECT_EQ(tables.driveEntries()[0].locked, 0);
}

TEST_F(VolumeOpsTest, EnumerationReportingSizeZeroProcessesNoDrive) {
    platform.enumerationFails = true;
    platform.addDrive('E', DriveCdrom);
    ops.seedDriveTable();
    EXPECT_TRUE(tables.driveEntries().empty());
    EXPECT_EQ(platform.calls(), (Calls{"drives size=0"}));
}

TEST_F(VolumeOpsTest, DriveAppearingBetweenTheTwoCallsYieldsNothingWhenTheListNoLongerFits) {
    platform.addDrive('C', DriveFixed);
    platform.addDrive('E', DriveCdrom);
    platform.afterSizeQuery = [this] { platform.addDrive('D', DriveCdrom); };
    EXPECT_TRUE(ops.driveRoots().empty());
}

TEST_F(VolumeOpsTest, DriveAppearingBetweenTheTwoCallsKeepsOnlyRootsThatFitTheBuffer) {
    platform.addDrive('C', DriveFixed);
    platform.addDrive('E', DriveCdrom);
    platform.afterSizeQuery = [this] { platform.addDrive('D', DriveCdrom); };
    platform.writePartialList = true;  // "C:\ D:\ E:" fills the 10 bytes, E's NUL is cut off
    EXPECT_EQ(ops.driveRoots(), (Calls{"C:\\", "D:\\"}));
}

}  // namespace
}  // namespace ventrix
