// Saves interrupted for real: a child process saves to a real directory and
// is killed with SIGKILL part-way; afterwards "Tamrel.conf" must load to the
// complete old policy or the complete new one, never to anything less.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "policy/config_file.h"
#include "policy/posix/posix_file_system.h"
#include "tests/support/fake_protector.h"

namespace ventrix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::FakeProtector;

struct Policy {
    PolicyTables tables;
    std::string password;
};

Policy oldPolicy() {
    Policy p;
    p.tables.addMedia(0xA1B2C3D4, "HOLIDAY", 2);
    p.tables.setDriveLocked("D:\\", true);
    p.tables.setDriveLocked("E:\\", false);
    p.password = "old-password";
    return p;
}

Policy newPolicy() {
    Policy p;
    p.tables.addMedia(0x0BADF00D, "PAYROLL", 5);
    p.tables.setDriveLocked("E:\\", true);
    p.tables.setDriveLocked("F:\\", true);
    p.tables.setDriveLocked("G:\\", false);
    p.password = "new-password";
    return p;
}

template <typename T>
Bytes imagesOf(const std::vector<T>& items) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(items.data());
    return {bytes, bytes + items.size() * sizeof(T)};
}

bool samePolicy(const PolicyTables& tables, const std::string& password, const Policy& expected) {
    return password == expected.password &&
           imagesOf(tables.driveEntries()) == imagesOf(expected.tables.driveEntries()) &&
           imagesOf(tables.mediaRecords()) == imagesOf(expected.tables.mediaRecords());
}

// The real POSIX file system, with the process killed after a given number
// of steps: every call is a step, and so is every byte written (a write that
// crosses the mark writes its first bytes, then the process dies).
class KillingFileSystem final : public FileSystem {
public:
    explicit KillingFileSystem(long budget) : budget_(budget) {}

    long stepsTaken() const { return taken_; }

    bool exists(const char* name) override { return spend(), disk_.exists(name); }
    Handle openRead(const char* name) override { return spend(), disk_.openRead(name); }
    Handle openWrite(const char* name) override { return spend(), disk_.openWrite(name); }
    Handle create(const char* name) override { return spend(), disk_.create(name); }
    bool size(Handle file, std::uint64_t& bytes) override { return spend(), disk_.size(file, bytes); }
    std::size_t read(Handle file, void* buffer, std::size_t count) override {
        return spend(), disk_.read(file, buffer, count);
    }
    bool write(Handle file, const void* data, std::size_t count) override {
        spend();
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        for (std::size_t done = 0; done < count; ++done) {
            spend();
            if (!disk_.write(file, bytes + done, 1)) return false;
        }
        return true;
    }
    bool flush(Handle file) override { return spend(), disk_.flush(file); }
    void close(Handle file) override { spend(), disk_.close(file); }
    bool replace(const char* from, const char* to) override { return spend(), disk_.replace(from, to); }
    void remove(const char* name) override { spend(), disk_.remove(name); }
    bool keepCopy(const char* from, const char* to) override { return spend(), disk_.keepCopy(from, to); }
    void pause(unsigned milliseconds) override { spend(), disk_.pause(milliseconds); }
    std::string lastErrorText() override { return disk_.lastErrorText(); }

private:
    void spend() {
        if (budget_ >= 0 && taken_ == budget_) std::raise(SIGKILL);
        ++taken_;
    }

    PosixFileSystem disk_;
    long budget_;
    long taken_ = 0;
};

class InterruptedSave : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ventrix-kill-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        path = directory + "/" + ConfigFileName;
        old = oldPolicy();
        next = newPolicy();
        FakeProtector protector;
        ASSERT_TRUE(buildConfiguration(old.tables, old.password, protector, oldImage));
        ASSERT_TRUE(buildConfiguration(next.tables, next.password, protector, newImage));
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    // Puts the old policy in place, as a completed earlier save left it.
    void restoreOld() {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(oldImage.data()), static_cast<std::streamsize>(oldImage.size()));
    }

    // Which whole policy the file holds now: 'O', 'N', or '?' for anything else.
    char loadedPolicy() {
        PosixFileSystem files;
        FakeProtector protector;
        PolicyTables tables;
        std::string password = "none";
        ConfigFile reader(tables, files, protector);
        if (reader.loadConfiguration(path.c_str(), password) != 1) return '?';
        if (samePolicy(tables, password, old)) return 'O';
        if (samePolicy(tables, password, next)) return 'N';
        return '?';
    }

    // Forks a child that saves the new policy and dies after `budget` steps
    // (never, if negative). Returns true if the child was killed.
    bool saveInChildKilledAfter(long budget) {
        std::fflush(nullptr);  // the child must not write our buffered output again
        const pid_t child = ::fork();
        if (child == 0) {
            KillingFileSystem files(budget);
            FakeProtector protector;
            ConfigFile config(next.tables, files, protector);
            const int saved = config.saveConfiguration(path.c_str(), next.password);
            ::_exit(saved == 1 ? 0 : 3);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), SIGKILL);
            return true;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save itself failed";
        return false;
    }

    Policy old, next;
    Bytes oldImage, newImage;
    std::string directory, path;
};

TEST_F(InterruptedSave, KilledAtEveryStepOfASaveLeavesTheWholeOldOrTheWholeNewPolicy) {
    long killPoints = 0;
    long firstNew = -1;
    bool completed = false;
    for (long budget = 0; !completed; ++budget) {
        ASSERT_LT(budget, 100000) << "the save never completed";
        restoreOld();
        completed = !saveInChildKilledAfter(budget);
        if (!completed) ++killPoints;
        const char found = loadedPolicy();
        ASSERT_NE(found, '?') << "killed after " << budget << " steps";
        if (found == 'N' && firstNew < 0) firstNew = budget;
        if (firstNew >= 0) {
            EXPECT_EQ(found, 'N') << "after " << budget << " steps the old policy came back";
        }
        if (completed) {
            EXPECT_EQ(found, 'N');
        }
    }
    // Every byte of the new copy is written before the switch, which is one point.
    EXPECT_GT(firstNew, static_cast<long>(newImage.size()));
    std::printf("[ interrupted save ] %ld kill points, the new policy from step %ld on\n", killPoints, firstNew);
}

TEST_F(InterruptedSave, ProcessSavingInALoopKilledAtRandomMomentsLeavesAWholePolicy) {
    // The quickest of a few saves, to spread the kills over the first saves
    // of the loop (fsync times vary a lot on a busy disk).
    auto oneSave = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 3; ++i) {
        const auto started = std::chrono::steady_clock::now();
        restoreOld();
        ASSERT_FALSE(saveInChildKilledAfter(-1));
        oneSave = std::min(oneSave, std::chrono::steady_clock::now() - started);
    }

    std::mt19937 random(20261207);
    int rounds = 0, midSave = 0;
    for (; rounds < 80; ++rounds) {
        restoreOld();
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        std::fflush(nullptr);  // the child must not write our buffered output again
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            PosixFileSystem files;
            FakeProtector protector;
            Policy policies[2] = {newPolicy(), oldPolicy()};
            const char go = 'S';
            if (::write(ready[1], &go, 1) != 1) ::_exit(4);
            for (unsigned i = 0;; ++i) {
                Policy& p = policies[i % 2];
                ConfigFile config(p.tables, files, protector);
                if (config.saveConfiguration(path.c_str(), p.password) != 1) ::_exit(3);
            }
        }
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 10000), 1) << "the saving child never started";
        char go = 0;
        ASSERT_EQ(::read(ready[0], &go, 1), 1);
        ::close(ready[0]);

        // The kill point: a random moment within about two saves. Nothing
        // waits on it; it only picks where the child is when it dies.
        const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(oneSave) * 2 *
                           std::uniform_real_distribution<double>(0.0, 1.0)(random);
        const auto killAt = std::chrono::steady_clock::now() + delay;
        while (std::chrono::steady_clock::now() < killAt) {
        }
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended on its own";
        if (std::filesystem::exists(path + ".new")) ++midSave;

        const char found = loadedPolicy();
        ASSERT_NE(found, '?') << "round " << rounds;
    }
    std::printf("[ interrupted save ] %d random kills, %d with a half-written copy beside the file\n", rounds,
                midSave);
}

}  // namespace
}  // namespace ventrix
