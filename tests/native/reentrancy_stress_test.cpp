// Arrivals nested inside the message boxes of the enforcement procedures, in
// large numbers and across all drive letters. A box keeps dispatching
// messages, so each arrival runs inside the procedure that showed the box;
// the walk around it must carry on exactly as if nothing had happened.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "tests/support/fake_system.h"
#include "volume/enforcement.h"

namespace ventrix {
namespace {

using testing::FakeProtector;
using testing::FakeVolumePlatform;
using testing::MemoryFileSystem;
using testing::ShownMessage;

std::string root(char d) { return std::string(1, d) + ":\\"; }
std::string device(char d) { return std::string("\\\\.\\") + d + ":"; }
// Two thirds of the media are on the list; every fifth drive is empty.
bool listed(char d) { return d % 3 != 1; }
bool readable(char d) { return d >= 'D' && d <= 'Z' && d % 5 != 0; }

class ReentrancyStress : public ::testing::Test, protected testing::FakeSystem {
protected:
    // The machine: every letter but A-C holds a drive; most hold a medium,
    // some of them listed, so that boxes open all over the place.
    void SetUp() override {
        for (char d = 'D'; d <= 'Z'; ++d) {
            const std::uint32_t type = (d % 2 == 0) ? DriveCdrom : DriveRemovable;
            if (!readable(d)) {
                platform.addDrive(d, type);
            } else {
                platform.addDriveWithMedium(d, type, std::string("VOL_") + d, 0x1000u + d);
            }
            if (listed(d)) tables.addMedia(0x1000u + d, std::string("vol_") + d, type);
        }
        platform.onMessage = [this](const ShownMessage&) { deliverNestedArrivals(); };
    }

    void TearDown() override {
        EXPECT_EQ(platform.openDevices(), 0u) << "a volume handle was left open";
        std::printf("[ reentrancy ] %s: %zu nested arrivals delivered, deepest nesting %d\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), delivered, deepest);
    }

    // Runs inside a box: a random handful of arrivals across all letters
    // (sometimes several drives in one mask, sometimes none), each of which
    // may open a box of its own and nest further.
    void deliverNestedArrivals() {
        if (depth >= MaxDepth || delivered >= budget) return;
        ++depth;
        deepest = std::max(deepest, depth);
        const std::size_t start = platform.calls().size();
        const int count = std::uniform_int_distribution<int>(1, 3)(random);
        for (int i = 0; i < count && delivered < budget; ++i) {
            std::uint32_t mask = 1u << std::uniform_int_distribution<int>(0, 25)(random);
            if (std::uniform_int_distribution<int>(0, 9)(random) == 0) mask |= 1u << 25;
            BroadcastVolume volume{};
            volume.header = {sizeof volume, DbtDevtypVolume, 0};
            volume.unitMask = mask;
            enforcement.onVolumeArrival(DbtDeviceArrival, &volume);
            ++delivered;
            expectOneEntryPerLetter();
        }
        markNested(start, platform.calls().size());
        --depth;
    }

    void markNested(std::size_t from, std::size_t to) {
        if (nested.size() < to) nested.resize(to, false);
        for (std::size_t i = from; i < to; ++i) nested[i] = true;
    }

    // The calls made by the procedure itself, with everything done by the
    // nested arrivals taken out.
    std::vector<std::string> outerCalls() const {
        std::vector<std::string> outer;
        for (std::size_t i = 0; i < platform.calls().size(); ++i) {
            if (i >= nested.size() || !nested[i]) outer.push_back(platform.calls()[i]);
        }
        return outer;
    }

    void expectOneEntryPerLetter() {
        const auto& drives = tables.driveEntries();
        for (std::size_t i = 0; i < drives.size(); ++i) {
            for (std::size_t j = i + 1; j < drives.size(); ++j) {
                ASSERT_NE(drives[i].letter, drives[j].letter) << "two entries for one letter";
            }
        }
    }

    std::string letters() const {
        std::string all;
        for (const auto& entry : tables.driveEntries()) all += entry.letter;
        return all;
    }

    // What applyPolicy itself must do for one entry it visits.
    std::vector<std::string> expectedVisit(char d, bool locked) const {
        const std::string dev = device(d);
        std::vector<std::string> calls = {"open " + dev + " share=3", "ioctl 0x9001C", "ioctl 0x90020", "close"};
        if (!locked) return calls;
        calls.insert(calls.end(), {"errormode 1", "query " + root(d) + " size=260"});
        if (!readable(d)) return calls;
        calls.insert(calls.end(), {"open " + dev + " share=1", "ioctl 0x2D4808", "close", "open " + dev + " share=3",
                                   "ioctl 0x90018", "close",
                                   "message Error: The removable media in " + root(d) + " drive is locked"});
        return calls;
    }

    static constexpr int MaxDepth = 3;
    std::mt19937 random{12345};
    std::size_t budget = 600;
    std::size_t delivered = 0;
    int depth = 0;
    int deepest = 0;
    std::vector<bool> nested;
};

TEST_F(ReentrancyStress, ApplyVisitsEveryEntryOnceInTableOrderWithAppendedDrivesAtTheEnd) {
    std::size_t appended = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        // A fresh table each round: some letters, in scrambled order, mixed flags.
        PolicyTables fresh;
        for (const LockedMediaRecord& record : tables.mediaRecords()) fresh.appendLoadedMedia(record);
        tables = fresh;
        random.seed(seed);
        for (int i = 0; i < 12; ++i) {
            const char d = static_cast<char>('D' + std::uniform_int_distribution<int>(0, 22)(random));
            tables.setDriveLocked(root(d), std::uniform_int_distribution<int>(0, 2)(random) != 0);
        }
        std::map<char, bool> lockedBefore;
        for (const auto& entry : tables.driveEntries()) lockedBefore[entry.letter] = entry.locked != 0;
        const std::string before = letters();
        platform.clearCalls();
        nested.clear();
        budget = delivered + 150;

        enforcement.applyPolicy();

        const std::string after = letters();
        ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the original entries kept their order";
        expectOneEntryPerLetter();
        // Exactly one visit per entry of the final table, in its order: the
        // original entries first, then every drive appended during the walk.
        std::vector<std::string> expected;
        for (char d : after) {
            const bool locked = lockedBefore.count(d) == 0 || lockedBefore[d];
            const auto visit = expectedVisit(d, locked);
            expected.insert(expected.end(), visit.begin(), visit.end());
        }
        EXPECT_EQ(outerCalls(), expected);
        appended += after.size() - before.size();
    }
    EXPECT_GE(appended, 40u) << "too few drives appended during the walks to show where they are visited";
    EXPECT_GE(delivered, 500u);
}

TEST_F(ReentrancyStress, StartupSweepVisitsEveryLockableDriveOnceInTheSystemsOrder) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        PolicyTables fresh;
        for (const LockedMediaRecord& record : tables.mediaRecords()) fresh.appendLoadedMedia(record);
        tables = fresh;
        random.seed(seed);
        // Mostly unlocked entries, so that listed media are ejected with a box.
        for (char d = 'Z'; d >= 'D'; --d) {
            if (std::uniform_int_distribution<int>(0, 3)(random) != 0) tables.setDriveLocked(root(d), d % 7 == 0);
        }
        const std::string before = letters();
        platform.clearCalls();
        nested.clear();
        budget = delivered + 150;

        enforcement.startupSweep();

        const std::string after = letters();
        ASSERT_EQ(after.compare(0, before.size(), before), 0);
        expectOneEntryPerLetter();
        // The sweep asks each drive's type exactly once, in the system's order.
        std::vector<std::string> typeQueries, expectedQueries;
        for (const std::string& call : outerCalls()) {
            if (call.rfind("type ", 0) == 0) typeQueries.push_back(call);
        }
        for (char d = 'D'; d <= 'Z'; ++d) expectedQueries.push_back("type " + root(d));
        EXPECT_EQ(typeQueries, expectedQueries);
        // Every lockable drive has an entry afterwards, whoever appended it.
        for (char d = 'D'; d <= 'Z'; ++d) EXPECT_TRUE(tables.findDrive(root(d))) << d;
    }
    EXPECT_GE(delivered, 300u);
}

TEST_F(ReentrancyStress, ArrivalsNestedInArrivalBoxesLeaveEachOuterArrivalWhole) {
    random.seed(99);
    budget = 800;
    for (int round = 0; round < 120 && delivered < budget; ++round) {
        const char d = static_cast<char>('A' + std::uniform_int_distribution<int>(0, 25)(random));
        // What this arrival must do itself, decided by the state it finds.
        std::uint32_t locked = 0;
        const bool known = tables.findDrive(root(d), &locked);
        const std::string dev = device(d);
        const std::string message = "message Error: The removable media in " + root(d) + " drive is locked";
        const std::vector<std::string> identify = {"open " + dev + " share=3", "ioctl 0x9001C", "ioctl 0x90020",
                                                   "close", "errormode 1", "query " + root(d) + " size=260"};
        const std::vector<std::string> eject = {"open " + dev + " share=1", "ioctl 0x2D4808", "close"};
        std::vector<std::string> expected;
        if (!known) {
            expected = {"open " + dev + " share=3", "ioctl 0x90018", "close"};
            expected.insert(expected.end(), eject.begin(), eject.end());
            expected.push_back(message);
        } else {
            expected = identify;
            if (readable(d) && locked == 0) expected.push_back("type " + root(d));
            if (readable(d) && (locked != 0 || listed(d))) {
                expected.insert(expected.end(), eject.begin(), eject.end());
                expected.push_back(message);
            }
        }
        platform.clearCalls();
        nested.clear();
        BroadcastVolume volume{};
        volume.header = {sizeof volume, DbtDevtypVolume, 0};
        volume.unitMask = 1u << (d - 'A');
        enforcement.onVolumeArrival(DbtDeviceArrival, &volume);
        EXPECT_EQ(outerCalls(), expected) << "arrival in " << d;
        expectOneEntryPerLetter();
        if (round % 10 == 9) tables.setDriveLocked(root(d), false);  // so later arrivals take every branch
    }
    EXPECT_GE(delivered, 300u);
}

}  // namespace
}  // namespace ventrix
