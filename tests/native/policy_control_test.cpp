// The decisions both modes share, against fakes: the passwords and the wait,
// Lock, Unlock and the timed unlock, the administrator's policy, the
// configuration session and the start. The agent window and the prompts
// that ask these are tested under Wine.
#include "control/policy_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "policy/password_verifier.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_policy_source.h"
#include "tests/support/fake_system.h"

namespace ventrix {
namespace {

constexpr const char* PolicyKey = "SOFTWARE\\Policies\\Ventrix";

class PolicyControlTest : public ::testing::Test, protected testing::FakeSystem {
protected:
    testing::FakePolicySource source;
    const TypedPassword right{"owner-pw", "owner-pw"};

    void SetUp() override {
        audit.interleaveWith(platform);
        control.ManagedSource = &source;
        tables.CurrentPassword = "owner-pw";
        for (char letter : {'D', 'E'}) {
            tables.setDriveLocked(std::string{letter, ':', '\\'}, true);
            platform.addDriveWithMedium(letter, DriveRemovable, "STICK", 0x10u + static_cast<std::uint32_t>(letter));
        }
    }
    // The drive each lock box named, in the order shown.
    std::string boxedDrives() const {
        std::string drives;
        for (const testing::ShownMessage& box : platform.messages()) drives += box.text.substr(23, 1);
        return drives;
    }
    // The drive each volume request was opened on, in order ("open \\.\D: ...").
    std::string openedDrives() const {
        std::string drives;
        for (const std::string& call : platform.calls())
            if (call.rfind("open \\\\.\\", 0) == 0) drives += call[9];
        return drives;
    }
    bool hasCall(const std::string& wanted) const {
        const std::vector<std::string>& calls = platform.calls();
        return std::find(calls.begin(), calls.end(), wanted) != calls.end();
    }
    bool hasEntry(char letter) const {
        const auto& entries = tables.driveEntries();
        return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return entry.letter == letter; });
    }
    std::string savedPassword() {
        PolicyTables loaded;
        std::string password;
        const testing::Bytes bytes = files.contents(ConfigFileName);
        parseConfiguration(bytes.data(), bytes.size(), protector, loaded, password);
        return password;
    }
    void setVerifier(std::string_view password) {
        PortableKeyDeriver keys;
        const std::uint8_t salt[16] = {1, 2, 3};
        PasswordVerifier verifier;
        ASSERT_TRUE(makeVerifier(password, salt, sizeof salt, MinVerifierIterations, keys, verifier));
        tables.Managed.verifier = verifier;
    }
};

TEST_F(PolicyControlTest, AVerifierOrUnlockLimitChangeRunsNoApplyPass) {
    PortableKeyDeriver keys;
    const std::uint8_t salt[16] = {7};
    PasswordVerifier verifier;
    ASSERT_TRUE(makeVerifier("admin-pass", salt, sizeof salt, MinVerifierIterations, keys, verifier));
    source.setString(PolicyScope::Machine, PolicyKey, "PasswordVerifier", formatVerifier(verifier));
    source.setDword(PolicyScope::Machine, PolicyKey, "UnlockMinutes", 30);
    control.policyChanged();
    EXPECT_TRUE(tables.Managed.verifier.has_value());
    EXPECT_EQ(boxedDrives(), "");
    for (const std::string& call : platform.calls()) EXPECT_EQ(call.rfind("open", 0), std::string::npos) << call;
    EXPECT_FALSE(files.exists(ConfigFileName)) << "nothing to save";

    source.setDword(PolicyScope::Machine, PolicyKey, "LockAllDrives", 1);
    control.policyChanged();
    EXPECT_EQ(boxedDrives(), "DE");
}

// Lock and Apply alike: a change heard inside the pass's first box is taken
// up in a pass of its own once the first ends, and no unlock is taken meanwhile.
class PassBoxTest : public PolicyControlTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PassBoxTest, APolicyChangeOrAnUnlockInsideAPassBoxWaitsForThePass) {
    const bool lock = std::string(GetParam()) == "lock";
    tables.ProtectionOn = !lock;
    PolicyStatus during;
    PasswordAnswer unlocked;
    platform.onMessage = [&](const testing::ShownMessage&) {
        platform.onMessage = nullptr;
        source.setDword(PolicyScope::Machine, PolicyKey, "LockAllDrives", 1);
        control.policyChanged();
        during = control.status();
        unlocked = control.unlock({"owner-pw", "owner-pw"}, 0);
    };
    lock ? control.lock() : control.apply();
    EXPECT_EQ(boxedDrives(), "DEDE") << "the change's pass ran inside the first one's box";
    EXPECT_FALSE(during.unlockOffered);
    EXPECT_EQ(unlocked.outcome, PasswordOutcome::NotOffered);
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_TRUE(control.status().unlockOffered);
}

INSTANTIATE_TEST_SUITE_P(Passes, PassBoxTest, ::testing::Values("lock", "apply"));


// Passwords ------------------------------------------------------------------

TEST_F(PolicyControlTest, PasswordComparisonIsExact) {
    for (const auto& [typed, accepted] : {std::pair{"owner-pw", true}, std::pair{"Owner-pw", false},
                                          std::pair{"owner-pw ", false}, std::pair{"owner-p", false},
                                          std::pair{"", false}})
        EXPECT_EQ(control.passwordAccepts({typed, typed}), accepted) << '"' << typed << '"';
    tables.CurrentPassword = "";
    EXPECT_TRUE(control.passwordAccepts({"", ""}));
}

// Each prompt's try, answered as the prompt sees it.
PasswordOutcome tryAt(PolicyControl& control, Prompt prompt, const TypedPassword& typed) {
    switch (prompt) {
    case Prompt::Unlock: return control.unlock(typed, 0).outcome;
    case Prompt::Exit: return control.checkExit(typed).outcome;
    case Prompt::Configuration: return control.openConfiguration(typed).outcome;
    case Prompt::ChangePassword: break;
    }
    switch (control.changePassword(typed, {"n3w", "n3w"}, {"n3w", "n3w"}).outcome) {
    case ChangeOutcome::Changed: return PasswordOutcome::Right;
    case ChangeOutcome::Wrong: return PasswordOutcome::Wrong;
    case ChangeOutcome::Wait: return PasswordOutcome::Wait;
    default: return PasswordOutcome::NoAnswer;
    }
}

class PromptTest : public PolicyControlTest, public ::testing::WithParamInterface<Prompt> {};

TEST_P(PromptTest, AWrongPasswordNamesItsPromptNeverThePasswordAndChangesNothing) {
    EXPECT_EQ(tryAt(control, GetParam(), {"owner-pw-typo", "owner-pw-typo"}), PasswordOutcome::Wrong);
    EXPECT_EQ(platform.calls(), std::vector<std::string>{std::string("event 3100 ") + promptName(GetParam())})
        << "a drive was touched, or the event said more";
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_EQ(tables.CurrentPassword, "owner-pw");
    EXPECT_FALSE(files.exists(ConfigFileName));
}

// Every wrong try is counted when it is answered, so tries sent while the
// answer's box is still open meet the wait; a try during it is not taken,
// not even a right one, at any prompt.
TEST_P(PromptTest, WrongTriesPastTheFreeOnesStartAWaitNoPromptTakesATryDuring) {
    const TypedPassword wrong{"guess", "guess"};
    for (int i = 0; i < 11; ++i) tryAt(control, GetParam(), wrong);
    EXPECT_EQ(std::count(audit.events().begin(), audit.events().end(),
                         std::string("event 3100 ") + promptName(GetParam())),
              FreeWrongPasswords + 1)
        << "tries past the fourth were taken without a wait";
    EXPECT_EQ(control.status().retryWaitMs, FirstRetryDelayMs);
    clock.now += FirstRetryDelayMs - 1;
    for (Prompt prompt : {Prompt::Unlock, Prompt::Exit, Prompt::Configuration, Prompt::ChangePassword})
        EXPECT_EQ(tryAt(control, prompt, right), PasswordOutcome::Wait) << promptName(prompt);
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_EQ(audit.events().size(), FreeWrongPasswords + 1u);

    clock.now += 1;
    EXPECT_EQ(tryAt(control, GetParam(), right), PasswordOutcome::Right);
    EXPECT_EQ(control.checkExit(wrong).waitMs, 0u) << "a right password did not start the count again";
}

INSTANTIATE_TEST_SUITE_P(Prompts, PromptTest,
                         ::testing::Values(Prompt::Unlock, Prompt::Exit, Prompt::Configuration, Prompt::ChangePassword),
                         [](const ::testing::TestParamInfo<Prompt>& info) {
                             std::string name = promptName(info.param);
                             name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                             return name;
                         });

TEST_F(PolicyControlTest, TheAdministratorsVerifierAloneDecidesOnTheUtf8Text) {
    setVerifier("admin-pass");
    EXPECT_TRUE(control.passwordAccepts({"admin-pass", "admin-pass"}));
    EXPECT_FALSE(control.passwordAccepts(right)) << "the local password still opened";
    EXPECT_FALSE(control.passwordAccepts({"Admin-pass", "Admin-pass"}));
    EXPECT_FALSE(control.status().defaultPassword);
    EXPECT_TRUE(control.status().verifierSet);
    EXPECT_EQ(control.changePassword({"admin-pass", "admin-pass"}, {"x", "x"}, {"x", "x"}).outcome,
              ChangeOutcome::SetByAdministrator);

    setVerifier("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln");
    EXPECT_EQ(control.unlock({"Gr\xFC\xDF" "e aus K\xF6ln", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"}, 0).outcome,
              PasswordOutcome::Right);
    EXPECT_FALSE(tables.ProtectionOn);
}

// Checked in order: the current password, then the new one, then its confirmation.
struct Refusal {
    const char* name;
    const char* current;
    const char* fresh;
    const char* confirm;
    ChangeOutcome outcome;
};

class ChangeRefusalTest : public PolicyControlTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ChangeRefusalTest, ARefusedChangeKeepsThePasswordAndSavesNothing) {
    const Refusal& want = GetParam();
    EXPECT_EQ(control.changePassword({want.current, want.current}, {want.fresh, want.fresh},
                                     {want.confirm, want.confirm}).outcome,
              want.outcome);
    EXPECT_EQ(tables.CurrentPassword, "owner-pw");
    EXPECT_FALSE(files.exists(ConfigFileName));
    EXPECT_EQ(audit.events(), want.outcome == ChangeOutcome::Wrong
                                  ? std::vector<std::string>{"event 3100 Change Password"}
                                  : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ChangeRefusalTest,
    ::testing::Values(Refusal{"WrongCase", "OWNER-PW", "new", "new", ChangeOutcome::Wrong},
                      Refusal{"WrongBeforeEmpty", "wrong", "", "other", ChangeOutcome::Wrong},
                      Refusal{"Empty", "owner-pw", "", "", ChangeOutcome::Empty},
                      Refusal{"EmptyBeforeMismatch", "owner-pw", "", "x", ChangeOutcome::Empty},
                      Refusal{"CaseMismatch", "owner-pw", "abc", "abC", ChangeOutcome::Mismatch},
                      Refusal{"TrailingSpace", "owner-pw", "abc", "abc ", ChangeOutcome::Mismatch}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(PolicyControlTest, AChangedPasswordIsSavedAndAloneOpensThePrompts) {
    const std::string fresh(255, 'p');
    EXPECT_EQ(control.changePassword(right, {fresh, fresh}, {fresh, fresh}).outcome, ChangeOutcome::Changed);
    EXPECT_EQ(savedPassword(), fresh);
    EXPECT_TRUE(control.passwordAccepts({fresh, fresh}));
    EXPECT_FALSE(control.passwordAccepts(right));
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3201"});
}

TEST_F(PolicyControlTest, AChangeThatCannotBeSavedIsKeptInMemory) {
    protector.failEveryProtect(true);
    EXPECT_EQ(control.changePassword(right, {"n3w", "n3w"}, {"n3w", "n3w"}).outcome, ChangeOutcome::NotSaved);
    EXPECT_EQ(tables.CurrentPassword, "n3w");
    EXPECT_FALSE(files.exists(ConfigFileName));
    ASSERT_EQ(audit.events().size(), 2u);
    EXPECT_EQ(audit.events()[0], "event 3201");
    EXPECT_EQ(audit.events()[1].rfind("event 5000 ", 0), 0u) << "the failed save, with the system's text";
}

// Lock, Unlock and the timed unlock -----------------------------------------

TEST_F(PolicyControlTest, LockNeedsNoPasswordAppliesThePolicyAndTurnsProtectionOn) {
    tables.ProtectionOn = false;
    control.lock();
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_TRUE(files.exists(ConfigFileName)) << "the apply pass saved";
    EXPECT_TRUE(hasCall("ioctl 0x2D4808")) << "and ejected the stick";
    EXPECT_EQ(audit.events().back(), "event 3001");
    const std::size_t events = audit.events().size();
    control.lock();
    EXPECT_EQ(audit.events().size(), events) << "Lock while locked did something";
}

TEST_F(PolicyControlTest, ARightUnlockPasswordReleasesOnlyTheLockedDrives) {
    tables.setDriveLocked("E:\\", false);
    EXPECT_EQ(control.unlock(right, 0).outcome, PasswordOutcome::Right);
    EXPECT_FALSE(tables.ProtectionOn);
    EXPECT_EQ(openedDrives(), "D");
    EXPECT_TRUE(platform.messages().empty());
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3000"});
    EXPECT_FALSE(control.relockPending());
    EXPECT_FALSE(relock.running);
}

TEST_F(PolicyControlTest, TheExitReleasesEveryLockedDrive) {
    EXPECT_EQ(control.checkExit(right).outcome, PasswordOutcome::Right);
    EXPECT_FALSE(control.protectionOutlivesExit());
    control.releaseForExit();
    EXPECT_EQ(openedDrives(), "DE");
    EXPECT_TRUE(hasCall("ioctl 0x9001C"));
    EXPECT_TRUE(hasCall("ioctl 0x90020"));
}

TEST_F(PolicyControlTest, ArrivalsAreHandledOnlyWhileProtectionIsOn) {
    platform.addDriveWithMedium('F', DriveRemovable, "NEW", 0x99);
    tables.ProtectionOn = false;
    control.drivesArrived(1u << 5);
    EXPECT_FALSE(hasEntry('F'));
    EXPECT_TRUE(platform.calls().empty());
    tables.ProtectionOn = true;
    control.drivesArrived(1u << 5);
    EXPECT_TRUE(hasEntry('F'));
    EXPECT_EQ(boxedDrives(), "F");
}

class TimedUnlockTest : public PolicyControlTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(TimedUnlockTest, UnlocksAsUnlockDoesAndTheTimerLocksAsLockDoesOnce) {
    const std::uint32_t minutes = GetParam();
    EXPECT_EQ(control.unlock(right, minutes).outcome, PasswordOutcome::Right);
    EXPECT_FALSE(tables.ProtectionOn);
    EXPECT_EQ(openedDrives(), "DE");
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3002 " + std::to_string(minutes)});
    EXPECT_TRUE(relock.running);
    EXPECT_EQ(relock.setMs, minutes * 60000u);
    EXPECT_EQ(control.relockDueTick(), clock.now + minutes * 60000u);
    EXPECT_EQ(control.status().relockInMs, minutes * 60000u);

    clock.now += minutes * 60000u;
    platform.clearCalls();
    control.relockDue();
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_FALSE(control.relockPending());
    EXPECT_EQ(control.status().relockInMs, 0u);
    EXPECT_TRUE(hasCall("ioctl 0x2D4808")) << "the apply pass ejected the sticks";
    EXPECT_TRUE(files.exists(ConfigFileName)) << "and saved";
    EXPECT_EQ(audit.events().back(), "event 3003");

    const std::size_t events = audit.events().size();
    control.relockDue();  // late, or from anyone: nothing more happens
    control.unlock(right, 0);
    control.relockDue();  // nor after a plain Unlock
    EXPECT_FALSE(tables.ProtectionOn);
    EXPECT_EQ(audit.events().size(), events + 1);
}

INSTANTIATE_TEST_SUITE_P(Durations, TimedUnlockTest, ::testing::Values(5u, 15u, 60u));

TEST_F(PolicyControlTest, LockBeforeTheEndCancelsTheTimedUnlock) {
    control.unlock(right, 15);
    control.lock();
    EXPECT_EQ(audit.events().back(), "event 3001");
    EXPECT_FALSE(relock.running);
    EXPECT_FALSE(control.relockPending());
    control.unlock(right, 0);
    control.relockDue();
    EXPECT_FALSE(tables.ProtectionOn);
    EXPECT_EQ(audit.events().back(), "event 3000");
}

// The end of a timed unlock and Lock turn protection on, and say so, before
// their pass: a stick arriving while the pass's first box is open is ejected
// at once, and the tray already shows protection on.
class RelockBoxTest : public PolicyControlTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RelockBoxTest, AnArrivalInsideTheFirstBoxOfARelockIsHandledAsLocked) {
    struct Seen final : ControlListener {
        PolicyControl* control = nullptr;
        bool protectionOn = false;
        void stateChanged() override { protectionOn = control->status().protectionOn; }
    } seen;
    seen.control = &control;
    control.Listener = &seen;
    platform.addDriveWithMedium('F', DriveRemovable, "NEW", 0x99);
    control.unlock(right, 5);
    bool toldOnBeforeBox = false;
    platform.onMessage = [&](const testing::ShownMessage&) {
        platform.onMessage = nullptr;
        toldOnBeforeBox = tables.ProtectionOn && seen.protectionOn;
        control.drivesArrived(1u << 5);
    };
    std::string(GetParam()) == "timer" ? control.relockDue() : control.lock();
    EXPECT_TRUE(toldOnBeforeBox);
    EXPECT_TRUE(hasCall("message Error: The removable media in F:\\ drive is locked"));
}

INSTANTIATE_TEST_SUITE_P(Relocks, RelockBoxTest, ::testing::Values("timer", "lock"));

// The administrator's policy ------------------------------------------------

TEST_F(PolicyControlTest, TheAdministratorsPolicyTakesEffectWithoutARestart) {
    tables.setDriveLocked("E:\\", false);
    source.setDword(PolicyScope::Machine, PolicyKey, "LockAllDrives", 1);
    source.setDword(PolicyScope::User, PolicyKey, "UnlockMinutes", 5);
    control.policyChanged();
    EXPECT_EQ(audit.events().front(), "event 1002 LockAllDrives, UnlockMinutes");
    EXPECT_EQ(boxedDrives(), "DE") << "the apply pass ejects in the locally unlocked E: too";
    EXPECT_EQ(tables.driveEntries()[1].locked, 0) << "the policy reached the local flag";

    // Every unlock now ends by itself, after at most the administrator's minutes.
    audit.clear();
    EXPECT_EQ(control.unlock(right, 0).outcome, PasswordOutcome::Right);
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 3002 5"});
    EXPECT_EQ(relock.setMs, 5u * 60000u);
    control.lock();
    control.unlock(right, 60);
    EXPECT_EQ(audit.events().back(), "event 3002 5") << "an unlock outlasted the limit";

    // A lower limit shortens the unlock already running; a higher one does not lengthen it.
    clock.now += 1000;
    source.setDword(PolicyScope::User, PolicyKey, "UnlockMinutes", 2);
    control.policyChanged();
    EXPECT_EQ(control.relockDueTick(), clock.now + 2u * 60000u);
    source.setDword(PolicyScope::User, PolicyKey, "UnlockMinutes", 10);
    control.policyChanged();
    EXPECT_EQ(control.relockDueTick(), clock.now + 2u * 60000u);

    // Unlock no longer offered: the running unlock ends, and none is taken.
    source.setDword(PolicyScope::User, PolicyKey, "UnlockMinutes", 0);
    control.policyChanged();
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_FALSE(control.relockPending());
    EXPECT_FALSE(control.status().unlockOffered);
    audit.clear();
    EXPECT_EQ(control.unlock(right, 0).outcome, PasswordOutcome::NotOffered);
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_TRUE(audit.events().empty()) << "a try was counted, or something unlocked";
}

// Windows broadcasts a refresh for the machine and one for the user, and
// any program may send one: only a change of effect runs a pass, and a
// broadcast arriving inside a pass's box never starts one of its own.
TEST_F(PolicyControlTest, PolicyBroadcastsThatChangeNothingTouchNoDriveNorTheFileAndNoneNests) {
    control.apply();
    const testing::Bytes saved = files.contents(ConfigFileName);
    platform.clearCalls();
    source.setDword(PolicyScope::Machine, PolicyKey, "UnlockMinutes", 30);
    control.policyChanged();
    control.policyChanged();
    control.policyChanged();
    source.failReads(PolicyScope::Machine, PolicyKey);  // Group Policy rewriting the key
    control.policyChanged();
    EXPECT_EQ(tables.Managed.unlockMinutes, 30u) << "a failed read dropped the policy";
    EXPECT_EQ(platform.calls(),
              (std::vector<std::string>{
                  "event 1002 UnlockMinutes",
                  "event 5100 PasswordVerifier|could not be read; the value read before stays in force",
                  "event 5100 LockAllDrives|could not be read; the value read before stays in force",
                  "event 5100 UnlockMinutes|could not be read; the value read before stays in force",
                  "event 5100 ReadOnlyAllDrives|could not be read; the value read before stays in force"}));
    EXPECT_EQ(files.contents(ConfigFileName), saved);

    source.clearFailures();
    source.setDword(PolicyScope::Machine, PolicyKey, "LockAllDrives", 1);
    platform.onMessage = [&](const testing::ShownMessage&) { control.policyChanged(); };
    platform.clearCalls();
    const std::size_t boxes = platform.messages().size();
    control.policyChanged();
    EXPECT_EQ(platform.messages().size() - boxes, 2u) << "one pass: D: and E: once each";
    EXPECT_EQ(source.openReadings(), 0);
}

// The configuration session ---------------------------------------------------

TEST_F(PolicyControlTest, ADriveTheAdministratorLocksIsShownSoAndNotToggled) {
    tables.setDriveLocked("E:\\", false);
    control.toggleDrive("D:\\");
    EXPECT_EQ(control.drives(), (std::vector<DriveRow>{{"D:\\", false, false}, {"E:\\", false, false}}));
    source.setDword(PolicyScope::Machine, PolicyKey, "LockAllDrives", 1);
    control.policyChanged();
    control.toggleDrive("E:\\");
    EXPECT_EQ(control.drives(), (std::vector<DriveRow>{{"D:\\", false, true}, {"E:\\", false, true}}));
}

TEST_F(PolicyControlTest, MediaListTheOwnRowsFirstAndOnlyThoseAreDeleted) {
    control.addMedium(MediaList::Locked, "D:\\", false);
    control.addMedium(MediaList::Trusted, "E:\\", true);
    control.addMedium(MediaList::Locked, "F:\\", false);  // no drive there: nothing added
    tables.Managed.lockedMedia.push_back({"ADMIN", 0x42, ManagedRemovable});
    const MediumRow own{"STICK", 0x54, DriveRemovable, false};
    const MediumRow managed{"ADMIN", 0x42, ManagedRemovable, true};
    EXPECT_EQ(control.media(MediaList::Locked), (std::vector<MediumRow>{own, managed}));
    EXPECT_EQ(control.media(MediaList::Trusted), (std::vector<MediumRow>{{"STICK", 0x55, DriveRemovable, false, true}}));

    EXPECT_EQ(control.deleteMedium(MediaList::Locked, managed), DeleteOutcome::Managed);
    EXPECT_EQ(control.deleteMedium(MediaList::Locked, {"STICK", 0x55, DriveRemovable, false}), DeleteOutcome::NotFound);
    EXPECT_EQ(control.deleteMedium(MediaList::Locked, own), DeleteOutcome::Deleted);
    EXPECT_EQ(control.media(MediaList::Locked), (std::vector<MediumRow>{managed}));
}

TEST_F(PolicyControlTest, DriveRowsCarryTheReadOnlyFlagsAndADriveTheAdministratorDecidesKeepsItsOwn) {
    tables.setDriveLocked("E:\\", false);
    control.setDriveReadOnly("E:\\", true);
    control.setDriveReadOnly("F:\\", true);  // not listed: nothing recorded
    EXPECT_FALSE(tables.isDriveReadOnly("F:\\"));
    EXPECT_TRUE(platform.calls().empty()) << "the flag waits for Apply";
    tables.Managed.readOnlyAllDrives = true;  // not over a drive its own flag locks
    control.setDriveReadOnly("E:\\", false);
    EXPECT_EQ(control.drives(), (std::vector<DriveRow>{{"D:\\", true, false, false, false},
                                                       {"E:\\", false, false, true, true}}));
}

TEST_F(PolicyControlTest, ApplyEnforcesSavesAndReportsTheCounts) {
    tables.setDriveLocked("E:\\", false);
    tables.addMedia(0x77, "DISC", DriveCdrom);
    control.apply();
    EXPECT_EQ(boxedDrives(), "D");
    EXPECT_EQ(savedPassword(), "owner-pw");
    EXPECT_EQ(audit.events().back(), "event 3200 1|1|1");
}

// Start-up --------------------------------------------------------------------

// A PC of its own: no drive in the tables and no file yet.
class StartTest : public PolicyControlTest {
protected:
    void SetUp() override {
        audit.interleaveWith(platform);
        control.ManagedSource = &source;
    }
    void start() { control.reportAndEnforce("1.1", control.loadOrSeed()); }
};

TEST_F(StartTest, FirstRunSeedsLockableDrivesAndSavesTheDefaultPassword) {
    platform.addDrive('A', DriveRemovable);
    platform.addDrive('C', DriveFixed);
    platform.addDriveWithMedium('D', DriveCdrom, "MOVIES", 0x1234ABCD);
    platform.addDrive('E', DriveRemovable);
    start();
    ASSERT_EQ(tables.driveEntries().size(), 2u);
    EXPECT_EQ(tables.driveEntries()[0].letter, 'D');
    EXPECT_EQ(tables.driveEntries()[1].letter, 'E');
    EXPECT_EQ(savedPassword(), DefaultPassword);
    EXPECT_TRUE(files.isHeld(ConfigFileName));
    ASSERT_EQ(platform.messages().size(), 1u);
    EXPECT_EQ(platform.messages()[0].text, "The removable media in D:\\ drive is locked");
    EXPECT_EQ(audit.events(), (std::vector<std::string>{"event 1000 1.1|2|0|first run", "event 1001",
                                                        "event 2000 D:\\|MOVIES|1234ABCD|drive locked"}));
}

TEST_F(StartTest, WhatACrashLeftReadOnlyIsUndoneBeforeTheSweep) {
    platform.addDriveWithMedium('F', DriveRemovable, "STICK", 0x11).disk = 1;
    platform.disk(1) = {true, 0, true};
    PolicyTables stored;
    stored.setDriveLocked("F:\\", false);
    stored.journalReadOnly(1, 'F');  // as the crashed run's file left it
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(buildConfiguration(stored, "owner-secret", protector, image));
    files.put(ConfigFileName, image);
    control.reportAndEnforce("1.1", control.loadOrSeed());
    const std::vector<std::string>& calls = platform.calls();
    const auto clear = std::find(calls.begin(), calls.end(),
                                 "request 0x7C0F4 in=40 persist=0 attributes=0x0 mask=0x2 version=40");
    EXPECT_LT(clear - calls.begin(), std::find(calls.begin(), calls.end(), "type F:\\") - calls.begin());
    EXPECT_TRUE(tables.readOnlyDisks().empty());
}

TEST_F(StartTest, AChangedPasswordIsNoDefaultPasswordWarning) {
    PolicyTables stored;
    stored.setDriveLocked("D:\\", false);
    stored.setDriveLocked("E:\\", true);
    stored.addMedia(0x77, "DISC", DriveCdrom);
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(buildConfiguration(stored, "owner-secret", protector, image));
    files.put(ConfigFileName, image);
    start();
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 1000 1.1|1|1|"});
}

// The administrator's verifier is read before the start is reported: the
// PC's default password is then no warning, as it opens nothing.
TEST_F(StartTest, TheDefaultPasswordIsNoWarningWhereTheAdministratorsVerifierIsInForce) {
    source.setString(PolicyScope::Machine, PolicyKey, "PasswordVerifier",
                     "$pbkdf2-sha256$i=600000$TWFjaGluZVNhbHQxMjM0NQ$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs");
    start();
    EXPECT_EQ(audit.events(), (std::vector<std::string>{"event 1000 1.1|0|0|first run", "event 1002 PasswordVerifier"}));
}

TEST_F(StartTest, AFileHeldByAnotherCopyCountsAsFirstRunAndIsNotDestroyed) {
    PolicyTables other;
    other.setDriveLocked("F:\\", false);
    std::vector<std::uint8_t> original;
    ASSERT_TRUE(buildConfiguration(other, "secret", protector, original));
    files.put(ConfigFileName, original);
    files.refuseOpens(ConfigFileName);
    files.setErrorText("The process cannot access the file because it is being used by another process.");
    platform.addDrive('D', DriveCdrom);
    start();
    EXPECT_EQ(files.contents(ConfigFileName), original);
    EXPECT_EQ(tables.CurrentPassword, DefaultPassword);
    ASSERT_EQ(tables.driveEntries().size(), 1u);
    EXPECT_EQ(tables.driveEntries()[0].letter, 'D');
    ASSERT_EQ(audit.events().size(), 3u);
    EXPECT_EQ(audit.events()[0].rfind("event 5000 The process cannot access the file", 0), 0u) << audit.events()[0];
    EXPECT_EQ(audit.events()[1], "event 1000 1.1|1|0|") << "no file was seeded";
}

}  // namespace
}  // namespace ventrix
