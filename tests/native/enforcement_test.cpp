// Enforcement procedures against the fake platform: which drives are visited,
// in which order, with exactly which requests and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "policy/config_file.h"
#include "tests/support/fake_system.h"
#include "volume/enforcement.h"

namespace ventrix {
namespace {

using testing::FakeProtector;
using testing::FakeVolumePlatform;
using testing::MemoryFileSystem;
using Calls = std::vector<std::string>;

std::string dev(char d) { return std::string("\\\\.\\") + d + ":"; }
std::string root(char d) { return std::string(1, d) + ":\\"; }

Calls lockReq(char d) { return {"open " + dev(d) + " share=3", "ioctl 0x90018", "close"}; }
Calls ejectReq(char d) { return {"open " + dev(d) + " share=1", "ioctl 0x2D4808", "close"}; }
Calls releaseReq(char d) { return {"open " + dev(d) + " share=3", "ioctl 0x9001C", "ioctl 0x90020", "close"}; }
Calls identify(char d) {
    Calls c = releaseReq(d);
    c.insert(c.end(), {"errormode 1", "query " + root(d) + " size=260"});
    return c;
}
Calls lockMessage(char d) { return {"message Error: The removable media in " + root(d) + " drive is locked"}; }
Calls typeOf(char d) { return {"type " + root(d)}; }
Calls enumerate(int drives) { return {"drives size=0", "drives size=" + std::to_string(drives * 4 + 2)}; }

Calls seq(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A DEV_BROADCAST_VOLUME image placed at an odd address, as a sender may.
class ArrivalRecord {
public:
    explicit ArrivalRecord(std::uint32_t mask, std::uint32_t deviceType = DbtDevtypVolume,
                           std::uint32_t size = sizeof(BroadcastVolume)) {
        BroadcastVolume volume{};
        volume.header = {size, deviceType, 0};
        volume.unitMask = mask;
        std::memcpy(bytes_ + 1, &volume, sizeof volume);
    }
    const void* get() const { return bytes_ + 1; }

private:
    alignas(8) unsigned char bytes_[sizeof(BroadcastVolume) + 1] = {};
};

class EnforcementTest : public ::testing::Test, protected testing::FakeSystem {
protected:
    void TearDown() override {
        EXPECT_EQ(platform.openDevices(), 0u) << "a volume handle was left open";
        for (const auto& message : platform.messages()) {
            EXPECT_EQ(message.owner, nullptr);
            EXPECT_EQ(message.caption, "Error");
            EXPECT_EQ(message.type, MbIconError | MbOk);
        }
    }

    void arrive(std::uint32_t mask, std::uintptr_t event = DbtDeviceArrival) {
        ArrivalRecord record(mask);
        enforcement.onVolumeArrival(event, record.get());
    }

    std::uint32_t flagOf(char d) {
        std::uint32_t locked = 99;
        EXPECT_TRUE(tables.findDrive(root(d), &locked)) << d << ": has no entry";
        return locked;
    }

    std::string letters() const {
        std::string all;
        for (const auto& entry : tables.driveEntries()) all += entry.letter;
        return all;
    }

    // What the last save wrote, read back as a fresh start-up would.
    PolicyTables saved(std::string& password) {
        PolicyTables loaded;
        const auto bytes = files.contents(ConfigFileName);
        parseConfiguration(bytes.data(), bytes.size(), protector, loaded, password);
        return loaded;
    }
};

// ---- onVolumeArrival ---------------------------------------------------------

TEST_F(EnforcementTest, ArrivalInANewDriveOfAnyTypeAppendsItLockedThenLocksEjectsAndReports) {
    const std::pair<char, std::uint32_t> drives[] = {
        {'E', DriveRemovable}, {'D', DriveCdrom}, {'C', DriveFixed}, {'N', DriveRemote}};
    std::string expectedLetters;
    for (const auto& [letter, type] : drives) {
        SCOPED_TRACE(letter);
        platform.addDriveWithMedium(letter, type, "ANY", 5);
        platform.clearCalls();
        arrive(1u << (letter - 'A'));
        EXPECT_EQ(platform.calls(), seq({lockReq(letter), ejectReq(letter), lockMessage(letter)}));
        expectedLetters += letter;
        EXPECT_EQ(letters(), expectedLetters) << "appended at the end";
        EXPECT_EQ(flagOf(letter), 1u);
    }
    EXPECT_FALSE(files.has(ConfigFileName)) << "arrivals save nothing";
}

TEST_F(EnforcementTest, ArrivalInALockedDriveIdentifiesEjectsAndReportsWithoutALockRequest) {
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    arrive(0x10);
    EXPECT_EQ(platform.calls(), seq({identify('E'), ejectReq('E'), lockMessage('E')}));
    EXPECT_EQ(letters(), "E");
    EXPECT_EQ(flagOf('E'), 1u);
}

TEST_F(EnforcementTest, ArrivalOfAnUnreadableMediumInAFlaggedDriveOnlyIdentifies) {
    tables.setDriveLocked("E:\\", true);
    tables.setDriveLocked("F:\\", false);
    platform.addDrive('E', DriveRemovable);
    platform.addDrive('F', DriveCdrom);
    arrive(0x10);
    arrive(0x20);
    EXPECT_EQ(platform.calls(), seq({identify('E'), identify('F')}));
    EXPECT_TRUE(platform.messages().empty());
    EXPECT_EQ(flagOf('E'), 1u);
    EXPECT_EQ(flagOf('F'), 0u);
}

TEST_F(EnforcementTest, ArrivalOfAMediumListedUnderTheUnlockedDrivesOwnTypeIsEjectedAndReported) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0xBEEF, "Backup", DriveRemovable);
    platform.addDriveWithMedium('E', DriveRemovable, "BACKUP", 0xBEEF);
    arrive(0x10);
    EXPECT_EQ(platform.calls(), seq({identify('E'), typeOf('E'), ejectReq('E'), lockMessage('E')}));
    EXPECT_EQ(flagOf('E'), 0u) << "the drive's flag is not changed";
}

TEST_F(EnforcementTest, ArrivalOfAMediumListedOnlyUnderAnotherTypeIsLeftAlone) {
    tables.setDriveLocked("D:\\", false);
    tables.addMedia(0xBEEF, "Backup", DriveRemovable);
    platform.addDriveWithMedium('D', DriveCdrom, "Backup", 0xBEEF);
    arrive(0x8);
    EXPECT_EQ(platform.calls(), seq({identify('D'), typeOf('D')}));
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(EnforcementTest, ArrivalOfAnUnlistedMediumInAnUnlockedDriveIsLeftAlone) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0xBEEF, "Backup", DriveRemovable);
    platform.addDriveWithMedium('E', DriveRemovable, "Backup", 0xBEF0);
    arrive(0x10);
    EXPECT_EQ(platform.calls(), seq({identify('E'), typeOf('E')}));
}

TEST_F(EnforcementTest, ArrivalIsIgnoredWhileProtectionIsOff) {
    tables.ProtectionOn = false;
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('E', DriveRemovable, "X", 1);
    platform.addDriveWithMedium('F', DriveRemovable, "X", 1);
    arrive(0x10);
    arrive(0x20);
    EXPECT_TRUE(platform.calls().empty());
    EXPECT_EQ(letters(), "E") << "no new drive is appended";
}

TEST_F(EnforcementTest, EventsOtherThanArrivalAreIgnored) {
    platform.addDriveWithMedium('F', DriveRemovable, "X", 1);
    for (std::uintptr_t event : {0x8001u, 0x8002u, 0x8003u, 0x8004u, 0x8006u, 0x0007u, 0x0018u}) {
        arrive(0x20, event);
    }
    EXPECT_TRUE(platform.calls().empty());
    EXPECT_TRUE(tables.driveEntries().empty());
}

TEST_F(EnforcementTest, HeadersOfOtherDeviceTypesAreIgnored) {
    platform.addDriveWithMedium('F', DriveRemovable, "X", 1);
    for (std::uint32_t type : {0u, 1u, 3u, 4u, 5u, 6u}) {
        ArrivalRecord record(0x20, type);
        enforcement.onVolumeArrival(DbtDeviceArrival, record.get());
    }
    EXPECT_TRUE(platform.calls().empty());
    EXPECT_TRUE(tables.driveEntries().empty());
}

TEST_F(EnforcementTest, NullOrTooShortHeaderIsIgnoredAndAHeaderReachingTheMaskIsRead) {
    platform.addDriveWithMedium('F', DriveRemovable, "X", 1);
    enforcement.onVolumeArrival(DbtDeviceArrival, nullptr);
    for (std::uint32_t size : {0u, 12u, 15u}) {
        ArrivalRecord record(0x20, DbtDevtypVolume, size);
        enforcement.onVolumeArrival(DbtDeviceArrival, record.get());
    }
    EXPECT_TRUE(platform.calls().empty());

    // A sender's header shorter than a whole header, at the very end of its
    // memory: only its size field may be read (ASan sees any byte past it).
    for (std::size_t length : {std::size_t{4}, std::size_t{8}, std::size_t{11}}) {
        std::unique_ptr<unsigned char[]> shortHeader(new unsigned char[length]());
        const std::uint32_t size = static_cast<std::uint32_t>(length);
        std::memcpy(shortHeader.get(), &size, sizeof size);
        enforcement.onVolumeArrival(DbtDeviceArrival, shortHeader.get());
    }
    EXPECT_TRUE(platform.calls().empty());

    ArrivalRecord justEnough(0x20, DbtDevtypVolume, 16);
    enforcement.onVolumeArrival(DbtDeviceArrival, justEnough.get());
    EXPECT_EQ(platform.calls(), seq({lockReq('F'), ejectReq('F'), lockMessage('F')}));
}

TEST_F(EnforcementTest, MultiDriveArrivalLeftEveryDriveButTheLowestUsable) {
    tables.setDriveLocked("F:\\", true);
    tables.setDriveLocked("G:\\", false);
    platform.addDriveWithMedium('D', DriveCdrom, "X", 1);
    platform.addDriveWithMedium('F', DriveRemovable, "Y", 2);
    platform.addDriveWithMedium('G', DriveRemovable, "Z", 3);
    arrive(0x8 | 0x20 | 0x40);
    EXPECT_EQ(platform.calls(), seq({lockReq('D'), ejectReq('D'), lockMessage('D'),
                                     identify('F'), ejectReq('F'), lockMessage('F'),
                                     identify('G'), typeOf('G')}));
    EXPECT_EQ(letters(), "FGD");

    // Unlocked during the first drive's box: the rest is left, as a later arrival would be.
    platform.clearCalls();
    platform.onMessage = [&](const testing::ShownMessage&) { tables.ProtectionOn = false; };
    arrive(0x8 | 0x20);
    EXPECT_EQ(platform.calls(), seq({identify('D'), ejectReq('D'), lockMessage('D')}));
}

TEST_F(EnforcementTest, MaskNamingNoDriveIsIgnored) {
    arrive(0);
    arrive(1u << 26);
    EXPECT_TRUE(platform.calls().empty());
    EXPECT_TRUE(tables.driveEntries().empty()) << "no entry for '['";
}

// ---- applyPolicy -------------------------------------------------------------

TEST_F(EnforcementTest, ApplyEjectsAndLocksAReadableMediumInALockedDriveAndSaves) {
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('E', DriveCdrom, "DISC", 0x77);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E')}));
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, "The removable media in E:\\ drive is locked");
    EXPECT_TRUE(files.has(ConfigFileName));
}

TEST_F(EnforcementTest, ApplyOnAnEmptyLockedDriveOnlyIdentifies) {
    tables.setDriveLocked("E:\\", true);
    platform.addDrive('E', DriveCdrom);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), identify('E'));
}

TEST_F(EnforcementTest, ApplyOnlyReleasesAnUnlockedDriveEvenWithAListedMedium) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0x77, "DISC", DriveCdrom);
    platform.addDriveWithMedium('E', DriveCdrom, "DISC", 0x77);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), releaseReq('E'));
    EXPECT_EQ(flagOf('E'), 0u);
}

TEST_F(EnforcementTest, ApplyVisitsEveryEntryOnceInTableOrder) {
    tables.setDriveLocked("G:\\", true);
    tables.setDriveLocked("D:\\", false);
    tables.setDriveLocked("F:\\", true);
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('G', DriveRemovable, "G1", 1);
    platform.addDriveWithMedium('D', DriveCdrom, "D1", 2);
    platform.addDrive('F', DriveCdrom);
    platform.addDriveWithMedium('E', DriveCdrom, "E1", 3);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({identify('G'), ejectReq('G'), lockReq('G'), lockMessage('G'),
                                     releaseReq('D'), identify('F'),
                                     identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E')}));
    EXPECT_EQ(letters(), "GDFE");
}

TEST_F(EnforcementTest, ApplyOnAnEmptyTableTouchesNoDriveAndStillSaves) {
    tables.CurrentPassword = "s3cret";
    enforcement.applyPolicy();
    EXPECT_TRUE(platform.calls().empty());
    ASSERT_TRUE(files.has(ConfigFileName));
    std::string password;
    const PolicyTables loaded = saved(password);
    EXPECT_EQ(password, "s3cret");
    EXPECT_TRUE(loaded.driveEntries().empty());
}

TEST_F(EnforcementTest, RefusedEjectOpenShowsOneUnableToOpenBoxBeforeTheLockMessage) {
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 9);
    platform.refuseOpen(dev('E'));
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(),
              seq({{"open " + dev('E') + " share=3 refused", "errormode 1", "query E:\\ size=260",
                    "open " + dev('E') + " share=1 refused", "message Error: Unable to open device",
                    "open " + dev('E') + " share=3 refused"},
                   lockMessage('E')}));
    EXPECT_EQ(flagOf('E'), 1u);
}

TEST_F(EnforcementTest, ArrivalsDuringApplysBoxesAreVisitedAtTheEndOnceEach) {
    tables.setDriveLocked("D:\\", true);
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('D', DriveCdrom, "D1", 1);
    platform.addDriveWithMedium('E', DriveRemovable, "E1", 2);
    platform.addDriveWithMedium('F', DriveRemovable, "F1", 3);
    platform.addDriveWithMedium('G', DriveCdrom, "G1", 4);
    // F arrives while D's box is up, G while the box of the last original entry is up.
    std::vector<std::pair<std::string, std::uint32_t>> pending = {
        {lockMessage('D')[0], 0x20}, {lockMessage('E')[0], 0x40}};
    platform.onMessage = [&](const testing::ShownMessage& message) {
        if (pending.empty() || "message Error: " + message.text != pending.front().first) return;
        const std::uint32_t mask = pending.front().second;
        pending.erase(pending.begin());
        arrive(mask);
    };

    enforcement.applyPolicy();

    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(platform.calls(),
              seq({identify('D'), ejectReq('D'), lockReq('D'), lockMessage('D'),
                   lockReq('F'), ejectReq('F'), lockMessage('F'),  // nested arrival
                   identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E'),
                   lockReq('G'), ejectReq('G'), lockMessage('G'),  // nested arrival
                   identify('F'), ejectReq('F'), lockReq('F'), lockMessage('F'),
                   identify('G'), ejectReq('G'), lockReq('G'), lockMessage('G')}));
    std::string password;
    const PolicyTables loaded = saved(password);
    ASSERT_EQ(loaded.driveEntries().size(), 4u) << "the appended drives are saved too";
    EXPECT_EQ(loaded.driveEntries()[3].letter, 'G');
    EXPECT_EQ(loaded.driveEntries()[3].locked, 1);
}

// ---- lockMediaInDrive --------------------------------------------------------

TEST_F(EnforcementTest, LockMediaInAnUnlockedDriveActsOnAMediumListedUnderEitherLockableType) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0x42, "Photos", DriveCdrom);  // listed from a CD drive, found in a removable one
    platform.addDriveWithMedium('E', DriveRemovable, "PHOTOS", 0x42);
    enforcement.lockMediaInDrive("E:\\");
    EXPECT_EQ(platform.calls(), seq({identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E')}));
    EXPECT_EQ(flagOf('E'), 1u);
}

TEST_F(EnforcementTest, LockMediaLeavesAnUnlistedMediumInAnUnlockedDrive) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0x42, "Photos", 3);  // another drive type never matches here
    platform.addDriveWithMedium('E', DriveRemovable, "Photos", 0x42);
    enforcement.lockMediaInDrive("E:\\");
    EXPECT_EQ(platform.calls(), identify('E'));
    EXPECT_EQ(flagOf('E'), 0u);
}

// ---- startupSweep -------------------------------------------------------------

TEST_F(EnforcementTest, SweepAppendsAMissingLockableDriveLockedWithOnlyALockRequest) {
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 1);
    enforcement.startupSweep();
    EXPECT_EQ(platform.calls(), seq({enumerate(1), typeOf('E'), lockReq('E')}));
    EXPECT_EQ(letters(), "E");
    EXPECT_EQ(flagOf('E'), 1u);
    EXPECT_TRUE(platform.messages().empty());
}

TEST_F(EnforcementTest, SweepEjectsAListedMediumFromAnUnlockedDriveAndFlagsIt) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0xAB, "Exam", DriveRemovable);
    platform.addDriveWithMedium('E', DriveRemovable, "EXAM", 0xAB);
    enforcement.startupSweep();
    EXPECT_EQ(platform.calls(), seq({enumerate(1), typeOf('E'), identify('E'),
                                     identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E')}));
    EXPECT_EQ(flagOf('E'), 1u);
    EXPECT_FALSE(files.has(ConfigFileName)) << "the sweep saves nothing";
}

TEST_F(EnforcementTest, SweepMatchesListedMediaUnderTheDrivesOwnTypeOnly) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0xAB, "Exam", DriveCdrom);
    platform.addDriveWithMedium('E', DriveRemovable, "Exam", 0xAB);
    enforcement.startupSweep();
    EXPECT_EQ(platform.calls(), seq({enumerate(1), typeOf('E'), identify('E')}));
    EXPECT_EQ(flagOf('E'), 0u);
}

TEST_F(EnforcementTest, SweepVisitsLockableDrivesInTheSystemsOrder) {
    tables.setDriveLocked("F:\\", true);
    tables.setDriveLocked("D:\\", false);
    platform.addDrive('D', DriveCdrom);
    platform.addDriveWithMedium('F', DriveRemovable, "F1", 1);
    platform.addDriveWithMedium('G', DriveCdrom, "G1", 2);
    enforcement.startupSweep();
    EXPECT_EQ(platform.calls(), seq({enumerate(3), typeOf('D'), identify('D'), typeOf('F'), lockReq('F'),
                                     typeOf('G'), lockReq('G')}));
    EXPECT_EQ(letters(), "FDG");
}

TEST_F(EnforcementTest, SweepIgnoresRemovableAFixedRemoteAndRamDrivesEvenWithEntries) {
    tables.setDriveLocked("A:\\", true);
    tables.setDriveLocked("C:\\", false);
    tables.setDriveLocked("N:\\", true);
    tables.addMedia(7, "SYS", DriveFixed);
    tables.addMedia(7, "SYS", DriveRemovable);
    platform.addDriveWithMedium('A', DriveRemovable, "SYS", 7);
    platform.addDriveWithMedium('C', DriveFixed, "SYS", 7);
    platform.addDriveWithMedium('N', DriveRemote, "SYS", 7);
    platform.addDriveWithMedium('R', DriveRamdisk, "SYS", 7);
    enforcement.startupSweep();
    EXPECT_EQ(platform.calls(), seq({enumerate(4), typeOf('A'), typeOf('C'), typeOf('N'), typeOf('R')}));
    EXPECT_EQ(letters(), "ACN");
}

// ---- releaseAllLockedDrives --------------------------------------------------

TEST_F(EnforcementTest, ReleaseAllReleasesEveryLockedEntryInTableOrderIncludingAbsentDrives) {
    tables.setDriveLocked("F:\\", true);
    tables.setDriveLocked("D:\\", false);
    tables.setDriveLocked("Q:\\", true);  // no such drive on this machine
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('F', DriveRemovable, "F1", 1);
    platform.addDriveWithMedium('D', DriveCdrom, "D1", 2);
    platform.addDrive('E', DriveCdrom);
    enforcement.releaseAllLockedDrives();
    EXPECT_EQ(platform.calls(), seq({releaseReq('F'), releaseReq('Q'), releaseReq('E')}));
    EXPECT_EQ(flagOf('F'), 1u);
    EXPECT_EQ(flagOf('D'), 0u);
    EXPECT_FALSE(files.has(ConfigFileName));
}

// ---- the audit trail -------------------------------------------------------------

class AuditedEnforcementTest : public EnforcementTest {
protected:
    void SetUp() override { audit.interleaveWith(platform); }
    Calls ejected(char d, const std::string& label, const std::string& serial, const std::string& reason) {
        return {"event 2000 " + root(d) + "|" + label + "|" + serial + "|" + reason};
    }
};

TEST_F(AuditedEnforcementTest, EveryEjectionOnArrivalIsReportedWithItsReasonBeforeItsBox) {
    platform.addDriveWithMedium('F', DriveRemovable, "NEW", 0x1F);
    arrive(0x20);
    EXPECT_EQ(platform.calls(), seq({lockReq('F'), ejectReq('F'), ejected('F', "", "", "new drive"), lockMessage('F')}));

    platform.clearCalls();
    tables.setDriveLocked("E:\\", true);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x0BADF00D);
    arrive(0x10);
    EXPECT_EQ(platform.calls(),
              seq({identify('E'), ejectReq('E'), ejected('E', "STICK", "BADF00D", "drive locked"), lockMessage('E')}));

    platform.clearCalls();
    tables.setDriveLocked("D:\\", false);
    tables.addMedia(0xC0FFEE, "disc", DriveCdrom);
    platform.addDriveWithMedium('D', DriveCdrom, "DISC", 0xC0FFEE);
    arrive(0x8);
    EXPECT_EQ(platform.calls(), seq({identify('D'), typeOf('D'), ejectReq('D'),
                                     ejected('D', "DISC", "C0FFEE", "medium on the locked list"), lockMessage('D')}));
}

TEST_F(AuditedEnforcementTest, SweepAndApplyReportTheirEjectionsAndAFailedSaveWithTheSystemsText) {
    tables.CurrentPassword = "s3cret-pw";
    tables.setDriveLocked("E:\\", true);
    tables.setDriveLocked("D:\\", false);
    tables.addMedia(0x77, "DISC", DriveCdrom);
    platform.addDriveWithMedium('D', DriveCdrom, "DISC", 0x77);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    enforcement.startupSweep();
    files.failWriteCall(1);
    files.setErrorText("There is not enough space on the disk.");
    enforcement.applyPolicy();

    std::vector<std::string> reported;
    for (const std::string& call : platform.calls()) {
        if (call.rfind("event ", 0) == 0 || call.rfind("message ", 0) == 0) reported.push_back(call);
    }
    EXPECT_EQ(reported, seq({ejected('D', "DISC", "77", "medium on the locked list"), lockMessage('D'),
                             ejected('E', "STICK", "11", "drive locked"), lockMessage('E'),
                             ejected('D', "DISC", "77", "drive locked"), lockMessage('D'),
                             {"event 5000 There is not enough space on the disk."}}));
    for (const std::string& event : audit.events()) EXPECT_EQ(event.find("s3cret"), std::string::npos) << event;
}

// ---- trusted media in a drive flagged locked (or new) -----------------------------

enum class Procedure { Sweep, Apply, ArrivalInALockedDrive, ArrivalInANewDrive };
// Who trusts the medium: the PC's own list, or the administrator's alone (the
// PC's list then empty, as it is on most managed PCs).
enum class TrustedBy { ThePC, TheAdministrator };

class TrustedMediumInALockedDrive : public EnforcementTest,
                                    public ::testing::WithParamInterface<std::tuple<Procedure, TrustedBy>> {
protected:
    void SetUp() override {
        if (std::get<1>(GetParam()) == TrustedBy::ThePC)
            tables.addTrustedMedia(0x5AFE, "Backup", DriveRemovable);
        else
            tables.Managed.trustedMedia.push_back({"Backup", 0x5AFE, DriveRemovable});
        if (procedure() != Procedure::ArrivalInANewDrive) tables.setDriveLocked("E:\\", true);
    }
    Procedure procedure() const { return std::get<0>(GetParam()); }
    void run() {
        platform.clearCalls();
        switch (procedure()) {
        case Procedure::Sweep: return enforcement.startupSweep();
        case Procedure::Apply: return enforcement.applyPolicy();
        case Procedure::ArrivalInALockedDrive:
        case Procedure::ArrivalInANewDrive: return arrive(0x10);
        }
    }
    // The identity read without a release, as the trusted check makes it.
    static Calls peek() { return {"errormode 1", "query E:\\ size=260"}; }
    Calls before() const { return procedure() == Procedure::Sweep ? seq({enumerate(1), typeOf('E')}) : Calls{}; }
    // Today's sequence for a medium that is not let through.
    Calls lockedSequence() const {
        switch (procedure()) {
        case Procedure::Sweep: return lockReq('E');
        case Procedure::Apply: return seq({identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E')});
        case Procedure::ArrivalInALockedDrive: return seq({identify('E'), ejectReq('E'), lockMessage('E')});
        case Procedure::ArrivalInANewDrive: return seq({lockReq('E'), ejectReq('E'), lockMessage('E')});
        }
        return {};
    }
};

TEST_P(TrustedMediumInALockedDrive, IsReadWithoutADismountReportedAndLeftAlone) {
    platform.addDriveWithMedium('E', DriveRemovable, "BACKUP", 0x5AFE);
    run();
    EXPECT_EQ(platform.calls(), seq({before(), peek(), typeOf('E')}));
    EXPECT_EQ(audit.events(), Calls{"event 2001 E:\\|BACKUP|5AFE"});
    EXPECT_EQ(letters(), "E");
    EXPECT_EQ(flagOf('E'), 1u) << "the drive keeps its flag";
}

TEST_P(TrustedMediumInALockedDrive, AnotherMediumGoesThroughTodaysSequenceAfterTheRead) {
    platform.addDriveWithMedium('E', DriveRemovable, "OTHER", 0x0123);
    run();
    EXPECT_EQ(platform.calls(), seq({before(), peek(), lockedSequence()}));
    for (const std::string& event : audit.events()) EXPECT_EQ(event.rfind("event 2001", 0), std::string::npos);
    EXPECT_EQ(flagOf('E'), 1u);
}

TEST_P(TrustedMediumInALockedDrive, TrustedOnlyUnderAnotherDriveTypeIsNotLetThrough) {
    tables.addTrustedMedia(0xCD, "Disc", DriveCdrom);
    platform.addDriveWithMedium('E', DriveRemovable, "DISC", 0xCD);
    run();
    EXPECT_EQ(platform.calls(), seq({before(), peek(), typeOf('E'), lockedSequence()}));
}

TEST_P(TrustedMediumInALockedDrive, AMediumOnTheLockedListUnderAnotherTypeIsNotLetThrough) {
    tables.addMedia(0x5AFE, "Backup", DriveCdrom);
    platform.addDriveWithMedium('E', DriveRemovable, "BACKUP", 0x5AFE);
    run();
    EXPECT_EQ(platform.calls(), seq({before(), peek(), lockedSequence()}));
}

std::string procedureAndTrust(const ::testing::TestParamInfo<std::tuple<Procedure, TrustedBy>>& info) {
    static const char* const procedures[] = {"Sweep", "Apply", "ArrivalInALockedDrive", "ArrivalInANewDrive"};
    return std::string(procedures[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) == TrustedBy::ThePC ? "_TrustedByThePC" : "_TrustedByTheAdministrator");
}

INSTANTIATE_TEST_SUITE_P(Procedures, TrustedMediumInALockedDrive,
                         ::testing::Combine(::testing::Values(Procedure::Sweep, Procedure::Apply,
                                                              Procedure::ArrivalInALockedDrive,
                                                              Procedure::ArrivalInANewDrive),
                                            ::testing::Values(TrustedBy::ThePC, TrustedBy::TheAdministrator)),
                         procedureAndTrust);

// ---- a drive flag loaded from the file may be any non-zero byte -----------------

class AnyNonZeroFlagIsLocked : public EnforcementTest, public ::testing::WithParamInterface<std::uint8_t> {
protected:
    void SetUp() override {
        tables.appendLoadedDrive({'E', GetParam()});
        tables.appendLoadedDrive({'D', 0});
        platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
        platform.addDriveWithMedium('D', DriveCdrom, "DISC", 0x22);
    }
};

TEST_P(AnyNonZeroFlagIsLocked, ByArrivalApplyAndReleaseAll) {
    arrive(0x10);
    EXPECT_EQ(platform.calls(), seq({identify('E'), ejectReq('E'), lockMessage('E')}));

    platform.clearCalls();
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({identify('E'), ejectReq('E'), lockReq('E'), lockMessage('E'), releaseReq('D')}));

    tables.appendLoadedDrive({'E', GetParam()});  // the later record's flag wins, as on load
    platform.clearCalls();
    enforcement.releaseAllLockedDrives();
    EXPECT_EQ(platform.calls(), releaseReq('E'));
}

INSTANTIATE_TEST_SUITE_P(Flags, AnyNonZeroFlagIsLocked, ::testing::Values(1, 2, 0x80, 0xFF));

// ---- policy set by the administrator over the local one -------------------------

// Each case: what the administrator set, E:'s local flag, the procedure, and
// whether the stick in E: goes. The local flag is never changed by a policy.
struct ManagedCase {
    const char* name;
    void (*manage)(EffectivePolicy& managed);
    std::uint8_t localFlag;
    bool locallyTrusted;  // the stick also on the PC's own trusted list
    void (*run)(EnforcementTest& test);
    bool ejected;
};

class ManagedOverLocal : public EnforcementTest, public ::testing::WithParamInterface<ManagedCase> {
public:
    void arriveE() { arrive(0x10); }
    Enforcement& procedures() { return enforcement; }
};

const ManagedCase managedCases[] = {
    {"LockAllDrivesEjectsAtApplyInALocallyUnlockedDrive", [](EffectivePolicy& m) { m.lockAllDrives = true; }, 0, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).procedures().applyPolicy(); }, true},
    {"LockAllDrivesEjectsAnArrivalInALocallyUnlockedDrive", [](EffectivePolicy& m) { m.lockAllDrives = true; }, 0, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).arriveE(); }, true},
    {"ManagedLockedMediumIsEjectedOnArrival",
     [](EffectivePolicy& m) { m.lockedMedia.push_back({"STICK", 0x11, DriveRemovable}); }, 0, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).arriveE(); }, true},
    {"ManagedLockedMediumIsEjectedAtStartUp",
     [](EffectivePolicy& m) { m.lockedMedia.push_back({"stick", 0x11, DriveRemovable}); }, 0, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).procedures().startupSweep(); }, true},
    {"ManagedTrustedMediumPassesALockedDrive",
     [](EffectivePolicy& m) { m.trustedMedia.push_back({"STICK", 0x11, DriveRemovable}); }, 1, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).arriveE(); }, false},
    {"ManagedLockedMediumWinsOverALocallyTrustedOne",
     [](EffectivePolicy& m) { m.lockedMedia.push_back({"STICK", 0x11, DriveRemovable}); }, 1, true,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).procedures().applyPolicy(); }, true},
    {"ManagedTrustedMediumPassesLockAllDrivesWithTheLocalListEmpty",
     [](EffectivePolicy& m) {
         m.lockAllDrives = true;
         m.trustedMedia.push_back({"STICK", 0x11, DriveRemovable});
     },
     0, false, [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).procedures().applyPolicy(); }, false},
    {"NothingSetLeavesAnUnlockedDriveAlone", [](EffectivePolicy&) {}, 0, false,
     [](EnforcementTest& t) { static_cast<ManagedOverLocal&>(t).procedures().applyPolicy(); }, false},
};

TEST_P(ManagedOverLocal, EnforcesTheUnionAndLeavesLocalFlagsAsTheyWere) {
    const ManagedCase& c = GetParam();
    tables.appendLoadedDrive({'E', c.localFlag});
    if (c.locallyTrusted) tables.addTrustedMedia(0x11, "STICK", DriveRemovable);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    c.manage(tables.Managed);
    c.run(*this);
    const Calls calls = platform.calls();
    const Calls eject = ejectReq('E');
    EXPECT_EQ(std::search(calls.begin(), calls.end(), eject.begin(), eject.end()) != calls.end(), c.ejected);
    EXPECT_EQ(flagOf('E'), c.localFlag) << "a policy reached the local flag";
    EXPECT_TRUE(std::none_of(tables.mediaRecords().begin(), tables.mediaRecords().end(),
                             [](const LockedMediaRecord& r) { return r.serial == 0x11; }))
        << "a managed medium reached the local list";
}

INSTANTIATE_TEST_SUITE_P(Policy, ManagedOverLocal, ::testing::ValuesIn(managedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- read-only drives and read-only trusted media ------------------------------

Calls peekOf(char d) { return {"errormode 1", "query " + root(d) + " size=260"}; }
Calls onDisk1(const std::string& access, const std::string& request) {
    return {"open \\\\.\\PhysicalDrive1 access=" + access + " share=3", request, "close"};
}
Calls deviceNumberOf(char d) { return {"open " + dev(d) + " access=0x0 share=3", "request 0x2D1080 in=0", "close"}; }
Calls getAttributes() { return onDisk1("0x0", "request 0x700F0 in=0"); }
Calls setAttributes(bool readOnly) {
    return onDisk1("0xC0000000", std::string("request 0x7C0F4 in=40 persist=0 attributes=") +
                                     (readOnly ? "0x2" : "0x0") + " mask=0x2 version=40");
}
// The attribute set or cleared, then every present drive asked for its disk and those on disk 1 dismounted.
Calls setAndRemount(bool readOnly, const std::string& drives) {
    Calls calls = seq({setAttributes(readOnly), enumerate(static_cast<int>(drives.size()))});
    for (char d : drives) calls = seq({calls, deviceNumberOf(d)});
    for (char d : drives) calls = seq({calls, {"open " + dev(d) + " share=3", "ioctl 0x90018", "ioctl 0x90020", "close"}});
    return calls;
}

class ReadOnlyTest : public AuditedEnforcementTest {
protected:
    void SetUp() override {
        AuditedEnforcementTest::SetUp();
        tables.setDriveLocked("E:\\", false);
        platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11).disk = 1;
        platform.disk(1).setError = 0;
        // The file's first save, noted at the next disk request's open.
        platform.beforeOpenFor = [this](const std::string&) {
            if (!saveNoted_ && files.has(ConfigFileName)) platform.note("saved, journal: " + journal());
            saveNoted_ = saveNoted_ || files.has(ConfigFileName);
        };
    }
    std::string journal() const {
        std::string all;
        for (const ReadOnlyDiskEntry& entry : tables.readOnlyDisks()) all += std::to_string(entry.disk) + entry.letter;
        return all;
    }
    Calls madeReadOnly() {
        return seq({deviceNumberOf('E'), getAttributes(), {"saved, journal: 1E"}, setAndRemount(true, "E"),
                    {"flags E:\\", "event 2002 E:\\|STICK|11|1"}});
    }
    bool saveNoted_ = false;
};

TEST_F(ReadOnlyTest, ADriveMadeReadOnlyAtApplyJournalsTheDiskBeforeTheRequestThenRemountsAndVerifies) {
    tables.setDriveReadOnly("E:\\", true);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({peekOf('E'), typeOf('E'), madeReadOnly()}));
    platform.clearCalls();
    enforcement.applyPolicy();  // already read-only by this journal: nothing sent again
    EXPECT_EQ(platform.calls(), seq({peekOf('E'), typeOf('E'), deviceNumberOf('E'), getAttributes()}));
}

TEST_F(ReadOnlyTest, AReadOnlyTrustedMediumInALockedDriveIsMadeReadOnlyAtApplyAndOnArrival) {
    tables.setDriveLocked("E:\\", true);
    tables.addTrustedMedia(0x11, "Stick", DriveRemovable, true);
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({peekOf('E'), typeOf('E'), madeReadOnly()}));
    platform.disk(1).readOnly = false;  // re-plugged: the attribute did not outlive it
    arrive(0x10);
    EXPECT_TRUE(platform.disk(1).readOnly);
}

TEST_F(ReadOnlyTest, AReadOnlyTrustedMediumRefusedAtStartIsBoxedAndReportedOnce) {
    platform.disk(1).setError = 50;
    tables.setDriveLocked("E:\\", true);
    tables.addTrustedMedia(0x11, "STICK", DriveRemovable, true);
    enforcement.startupSweep();
    enforcement.applyPolicy();
    EXPECT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(std::count_if(audit.events().begin(), audit.events().end(), [](auto& e) { return e.find("2003") != e.npos; }), 1);
}

TEST_F(ReadOnlyTest, AFullyTrustedMediumInAReadOnlyDriveGetsFullAccessAndWhatWasDoneBeforeIsUndone) {
    tables.setDriveReadOnly("E:\\", true);
    tables.addTrustedMedia(0x11, "STICK", DriveRemovable);
    tables.journalReadOnly(1, 'E');  // for the medium in it before
    platform.disk(1).readOnly = true;
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(),
              seq({peekOf('E'), typeOf('E'), deviceNumberOf('E'), setAndRemount(false, "E"), {"event 2001 E:\\|STICK|11"}}));
    EXPECT_EQ(journal(), "");
}

TEST_F(ReadOnlyTest, TheJournalIsUndoneWhenTheDriveBecomesUnlockedOrLockedAndAtReleaseAll) {
    tables.setDriveReadOnly("E:\\", true);
    enforcement.applyPolicy();
    tables.setDriveReadOnly("E:\\", false);
    enforcement.applyPolicy();
    EXPECT_FALSE(platform.disk(1).readOnly);

    tables.setDriveReadOnly("E:\\", true);
    enforcement.applyPolicy();
    tables.setDriveLocked("E:\\", true);
    enforcement.applyPolicy();
    EXPECT_FALSE(platform.disk(1).readOnly);
    EXPECT_EQ(platform.calls().back(), lockMessage('E')[0]);

    // Unlock, Unlock for and the exit; then the service's stop.
    tables.setDriveLocked("E:\\", false);
    for (void (Enforcement::*release)() : {&Enforcement::releaseAllLockedDrives, &Enforcement::releaseReadOnly}) {
        enforcement.applyPolicy();
        platform.clearCalls();
        (enforcement.*release)();
        EXPECT_EQ(platform.calls(), seq({deviceNumberOf('E'), setAndRemount(false, "E")}));
        EXPECT_EQ(journal(), "");
    }
    std::string password;
    EXPECT_TRUE(saved(password).readOnlyDisks().empty()) << "the undone journal is saved";
}

// Windows gives a pulled stick's number to the next disk: only a disk still at
// its drive is cleared, so another one under that number is never touched.
TEST_F(ReadOnlyTest, AStickSwappedOrPulledLeavesItsOldDiskNumberAlone) {
    tables.setDriveReadOnly("E:\\", true);
    enforcement.applyPolicy();
    platform.addDriveWithMedium('E', DriveRemovable, "OTHER", 0x22).disk = 2;
    platform.disk(2).setError = 0;
    enforcement.applyPolicy();
    EXPECT_TRUE(platform.disk(1).readOnly) << "number 1 is no longer E:'s to clear";
    EXPECT_EQ(journal(), "2E");
    platform.removeDrive('E');
    enforcement.releaseReadOnly();
    EXPECT_TRUE(platform.disk(2).readOnly) << "nothing is sent for a stick that is gone";
    EXPECT_EQ(journal(), "");
}

TEST_F(ReadOnlyTest, TwoDrivesOfOneDiskClearItOnlyWhenNeitherNeedsIt) {
    platform.addDriveWithMedium('F', DriveRemovable, "STICK", 0x11).disk = 1;
    tables.setDriveLocked("F:\\", false);
    tables.setDriveReadOnly("E:\\", true);
    tables.setDriveReadOnly("F:\\", true);
    enforcement.applyPolicy();
    EXPECT_EQ(std::count(platform.calls().begin(), platform.calls().end(), setAttributes(true)[1]), 1);
    tables.setDriveReadOnly("E:\\", false);
    enforcement.applyPolicy();
    EXPECT_TRUE(platform.disk(1).readOnly) << "F: still needs it";
    tables.setDriveReadOnly("F:\\", false);
    enforcement.applyPolicy();
    EXPECT_FALSE(platform.disk(1).readOnly);
}

TEST_F(ReadOnlyTest, ReadOnlyAllDrivesMakesAnUnlockedDriveReadOnlyAndLockAllDrivesWins) {
    tables.Managed.readOnlyAllDrives = true;
    enforcement.applyPolicy();
    EXPECT_EQ(platform.calls(), seq({typeOf('E'), peekOf('E'), typeOf('E'), madeReadOnly()}));
    EXPECT_FALSE(tables.isDriveReadOnly("E:\\")) << "the policy never reaches the local flag";
    tables.Managed.lockAllDrives = true;
    enforcement.applyPolicy();
    EXPECT_FALSE(platform.disk(1).readOnly);
    EXPECT_EQ(platform.calls().back(), lockMessage('E')[0]);
}

// ---- never left writable: locked instead ------------------------------------------

struct RefusedCase {
    const char* name;
    void (*arrange)(testing::FakeVolumePlatform& platform, MemoryFileSystem& files);
    const char* why;
};

class ReadOnlyRefused : public ReadOnlyTest, public ::testing::WithParamInterface<RefusedCase> {};

using Fakes = testing::FakeVolumePlatform;
const RefusedCase refusedCases[] = {
    {"SetRefusedAsUnderWine", [](Fakes& p, MemoryFileSystem&) { p.disk(1).setError = 50; },
     "the disk could not be made read-only: the request is not supported (error 50)"},
    {"DiskNotFound", [](Fakes& p, MemoryFileSystem&) { p.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11); },
     "its disk could not be found: the request is not valid for this device (error 1)"},
    {"PerUserProgramRefusedTheDisk", [](Fakes& p, MemoryFileSystem&) { p.refuseOpen("\\\\.\\PhysicalDrive1"); },
     "the disk could not be made read-only: access is denied (error 5)"},
    {"CdDriveHasNoDiskToMakeReadOnly",
     [](Fakes& p, MemoryFileSystem&) { p.addDriveWithMedium('E', DriveCdrom, "STICK", 0x11).disk = 1; },
     "it is not on a disk that can be made read-only"},
    {"VerificationFails", [](Fakes& p, MemoryFileSystem&) { p.disk(1).showsReadOnly = false; },
     "the disk still accepts writes"},
    {"JournalNotSaved", [](Fakes&, MemoryFileSystem& files) { files.failWriteCall(1); },
     "the journal could not be saved"},
};

TEST_P(ReadOnlyRefused, EndsLockedWithTheBoxAndTheEventAndNothingJournaled) {
    tables.setDriveReadOnly("E:\\", true);
    GetParam().arrange(platform, files);
    enforcement.applyPolicy();
    const Calls calls = platform.calls();
    const Calls lockedInstead = seq({ejectReq('E'), lockReq('E'),
                                     {"event 2003 E:\\|STICK|11|" + std::string(GetParam().why),
                                      "message Error: The removable media in E:\\ drive could not be made read-only "
                                      "and is locked"}});
    EXPECT_NE(std::search(calls.begin(), calls.end(), lockedInstead.begin(), lockedInstead.end()), calls.end())
        << ::testing::PrintToString(calls);
    EXPECT_FALSE(platform.disk(1).readOnly) << "what was set is cleared";
    std::string password;
    EXPECT_TRUE(saved(password).readOnlyDisks().empty() && journal().empty());
    EXPECT_TRUE(std::string(GetParam().name) != "JournalNotSaved" ||
                std::find(calls.begin(), calls.end(), setAttributes(true)[0]) == calls.end()) << "sent unjournaled";
}

INSTANTIATE_TEST_SUITE_P(Causes, ReadOnlyRefused, ::testing::ValuesIn(refusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ventrix
