#include "policy/managed_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "policy/policy_record.h"
#include "policy/policy_tables.h"
#include "tests/support/fake_policy_source.h"

namespace ventrix {
namespace {

using testing::FakePolicySource;

constexpr PolicyScope M = PolicyScope::Machine;
constexpr PolicyScope U = PolicyScope::User;
constexpr const char* Root = "SOFTWARE\\Policies\\Ventrix";
constexpr const char* Locked = "SOFTWARE\\Policies\\Ventrix\\LockedMedia";
constexpr const char* Trusted = "SOFTWARE\\Policies\\Ventrix\\TrustedMedia";

// Two well-formed lines told apart by their salts (the merge never derives).
const std::string MachineVerifier =
    "$pbkdf2-sha256$i=600000$TWFjaGluZVNhbHQxMjM0NQ$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs";
const std::string UserVerifier =
    "$pbkdf2-sha256$i=100000$VXNlclNhbHRBYmNkZWZnaA$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs";

struct Write {
    PolicyScope scope;
    const char* key;
    std::string name;
    std::uint32_t type;
    std::string text;
    std::uint32_t number = 0;
};

Write sz(PolicyScope s, const char* key, std::string name, std::string text) { return {s, key, name, RegSz, text}; }
Write dword(PolicyScope s, std::string name, std::uint32_t n) { return {s, Root, name, RegDword, "", n}; }

struct MergeCase {
    const char* name;
    std::vector<Write> writes;
    std::string verifier;  // "" when none is in force
    bool lockAllDrives;
    std::vector<std::string> locked, trusted;  // labels in order
    std::optional<std::uint32_t> minutes;
    std::vector<std::string> inForce;
    std::vector<std::string> malformed;  // "M:name" or "U:name"
    bool readOnlyAllDrives = false;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

// A medium let through read-only shows as "label (read-only)".
std::vector<std::string> labelsOf(const std::vector<ManagedMedium>& media) {
    std::vector<std::string> labels;
    for (const ManagedMedium& m : media) labels.push_back(m.label + (m.readOnly ? " (read-only)" : ""));
    return labels;
}

class ManagedPolicyMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(ManagedPolicyMerge, GivesTheEffectivePolicy) {
    const MergeCase& c = GetParam();
    FakePolicySource source;
    for (const Write& w : c.writes) {
        if (w.type == RegDword) source.setDword(w.scope, w.key, w.name, w.number);
        else if (w.type == RegSz) source.setString(w.scope, w.key, w.name, w.text);
        else source.set(w.scope, w.key, w.name, {w.type, {w.text.begin(), w.text.end()}});
    }
    const EffectivePolicy policy = readManagedPolicy(source);
    EXPECT_EQ(policy.verifier ? formatVerifier(*policy.verifier) : "", c.verifier);
    EXPECT_EQ(policy.lockAllDrives, c.lockAllDrives);
    EXPECT_EQ(policy.readOnlyAllDrives, c.readOnlyAllDrives);
    EXPECT_EQ(labelsOf(policy.lockedMedia), c.locked);
    EXPECT_EQ(labelsOf(policy.trustedMedia), c.trusted);
    EXPECT_EQ(policy.unlockMinutes, c.minutes);
    EXPECT_EQ(policy.inForce, c.inForce);
    std::vector<std::string> malformed;
    for (const MalformedPolicyValue& m : policy.malformed)
        malformed.push_back((m.scope == M ? "M:" : "U:") + m.name);
    EXPECT_EQ(malformed, c.malformed);
    // The tray decides on a copy of a reading taken on another thread: the same policy.
    PolicyRecord record;
    record.take(source);
    EXPECT_EQ(readManagedPolicy(record), policy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManagedPolicyMerge,
    ::testing::Values(
        MergeCase{"nothing set", {}, "", false, {}, {}, std::nullopt, {}, {}},
        MergeCase{"machine only",
                  {sz(M, Root, "PasswordVerifier", MachineVerifier), dword(M, "LockAllDrives", 1),
                   sz(M, Locked, "1", "STICK|1A2B3C4D|removable"), dword(M, "UnlockMinutes", 30)},
                  MachineVerifier, true, {"STICK"}, {}, 30u,
                  {"PasswordVerifier", "LockAllDrives", "LockedMedia", "UnlockMinutes"}, {}},
        MergeCase{"user only, Unlock not offered",
                  {sz(U, Root, "PasswordVerifier", UserVerifier), dword(U, "UnlockMinutes", 0),
                   sz(U, Trusted, "1", "BACKUP|00000001|removable")},
                  UserVerifier, false, {}, {"BACKUP"}, 0u, {"PasswordVerifier", "TrustedMedia", "UnlockMinutes"}, {}},
        MergeCase{"machine wins value by value",
                  {sz(M, Root, "PasswordVerifier", MachineVerifier), sz(U, Root, "PasswordVerifier", UserVerifier),
                   dword(M, "UnlockMinutes", 10), dword(U, "UnlockMinutes", 0), dword(U, "LockAllDrives", 1)},
                  MachineVerifier, true, {}, {}, 10u, {"PasswordVerifier", "LockAllDrives", "UnlockMinutes"}, {}},
        MergeCase{"machine LockAllDrives 0 leaves the user's",
                  {dword(M, "LockAllDrives", 0), dword(U, "LockAllDrives", 1)},
                  "", true, {}, {}, std::nullopt, {"LockAllDrives"}, {}},
        MergeCase{"both LockAllDrives 0", {dword(M, "LockAllDrives", 0), dword(U, "LockAllDrives", 0)},
                  "", false, {}, {}, std::nullopt, {}, {}},
        MergeCase{"malformed machine verifier leaves the user's",
                  {sz(M, Root, "PasswordVerifier", "secret"), sz(U, Root, "PasswordVerifier", UserVerifier)},
                  UserVerifier, false, {}, {}, std::nullopt, {"PasswordVerifier"}, {"M:PasswordVerifier"}},
        MergeCase{"malformed verifier alone leaves the local password",
                  {sz(M, Root, "PasswordVerifier", MachineVerifier.substr(0, 60))},
                  "", false, {}, {}, std::nullopt, {}, {"M:PasswordVerifier"}},
        MergeCase{"machine list wins as a whole",
                  {sz(M, Locked, "1", "A|1|removable"), sz(U, Locked, "1", "B|2|removable"),
                   sz(U, Locked, "2", "C|3|cdrom"), sz(U, Trusted, "1", "D|4|cdrom")},
                  "", false, {"A"}, {"D"}, std::nullopt, {"LockedMedia", "TrustedMedia"}, {}},
        MergeCase{"machine list without a good entry leaves the user's",
                  {sz(M, Locked, "1", "A|1|floppy"), sz(U, Locked, "1", "B|2|removable")},
                  "", false, {"B"}, {}, std::nullopt, {"LockedMedia"}, {"M:LockedMedia\\1"}},
        MergeCase{"list entries in number order, bad ones named",
                  {sz(M, Locked, "10", "J|A|removable"), sz(M, Locked, "2", "B|B|cdrom"),
                   sz(M, Locked, "1", "A|C|removable"), sz(M, Locked, "x", "X|D|removable"),
                   sz(M, Locked, "01", "Z|E|removable"), Write{M, Locked, "3", RegDword, "", 7},
                   sz(M, Locked, "4", "Q|12345678|usb")},
                  "", false, {"A", "B", "J"}, {}, std::nullopt, {"LockedMedia"},
                  {"M:LockedMedia\\01", "M:LockedMedia\\3", "M:LockedMedia\\4", "M:LockedMedia\\x"}},
        MergeCase{"malformed switches and limits",
                  {dword(M, "LockAllDrives", 2), sz(U, Root, "LockAllDrives", "1"), dword(M, "UnlockMinutes", 1441),
                   Write{U, Root, "UnlockMinutes", RegDword + 7, "\x05\0\0\0"},
                   Write{U, Root, "PasswordVerifier", RegSz + 1, UserVerifier}},
                  "", false, {}, {}, std::nullopt, {},
                  {"U:PasswordVerifier", "M:LockAllDrives", "U:LockAllDrives", "M:UnlockMinutes", "U:UnlockMinutes"}},
        MergeCase{"largest limit", {dword(U, "UnlockMinutes", MaxUnlockMinutes)},
                  "", false, {}, {}, MaxUnlockMinutes, {"UnlockMinutes"}, {}},
        MergeCase{"ReadOnlyAllDrives 2 is malformed and leaves the user's",
                  {dword(M, "ReadOnlyAllDrives", 2), dword(U, "ReadOnlyAllDrives", 1)},
                  "", false, {}, {}, std::nullopt, {"ReadOnlyAllDrives"}, {"M:ReadOnlyAllDrives"}, true},
        MergeCase{"a trusted entry may end in |readonly, a locked one may not",
                  {sz(M, Trusted, "1", "Supplier|B0|removable|readonly"), sz(M, Trusted, "2", "Own|B1|cdrom"),
                   sz(M, Locked, "1", "Bad|B3|removable|readonly")},
                  "", false, {}, {"Supplier (read-only)", "Own"}, std::nullopt, {"TrustedMedia"}, {"M:LockedMedia\\1"}}));

TEST(ManagedPolicyMerge, EmptyMachineListKeyLeavesTheUsersList) {
    FakePolicySource source;
    source.createKey(M, Locked);
    source.setString(U, Locked, "1", "B|2|removable");
    EXPECT_EQ(labelsOf(readManagedPolicy(source).lockedMedia), std::vector<std::string>{"B"});
}

TEST(ManagedPolicyMerge, MatchesMediaByTheLabelRuleAndSerial) {
    FakePolicySource source;
    source.setString(M, Locked, "1", "Stick|5EA1BEEF|removable");
    source.setString(M, Trusted, "1", "Backup|00000010|cdrom");
    const EffectivePolicy policy = readManagedPolicy(source);
    EXPECT_FALSE(policy.listsTrusted(0x5EA1BEEF, "Stick"));
    EXPECT_TRUE(policy.listsTrusted(0x10, "backup"));
    EXPECT_TRUE(policy.unlockOffered());
}

TEST(ManagedPolicyMerge, ReportsAChangeOnlyWhenTheEffectChanges) {
    FakePolicySource source;
    source.setDword(M, Root, "UnlockMinutes", 15);
    const EffectivePolicy before = readManagedPolicy(source);
    source.setString(U, Root, "LockAllDrives", "yes");
    EXPECT_TRUE(readManagedPolicy(source).sameEffectAs(before));
    source.setDword(M, Root, "UnlockMinutes", 0);
    const EffectivePolicy after = readManagedPolicy(source);
    EXPECT_FALSE(after.sameEffectAs(before));
    EXPECT_FALSE(after.unlockOffered());
}

TEST(ManagedPolicyMerge, ReadOnlyChangesAreChangesOfEffectAndOfDrives) {
    FakePolicySource source;
    source.setString(M, Trusted, "1", "Supplier|B0|removable");
    const EffectivePolicy before = readManagedPolicy(source);
    source.setString(M, Trusted, "1", "Supplier|B0|removable|readonly");
    const EffectivePolicy readOnlyMedium = readManagedPolicy(source);
    EXPECT_FALSE(readOnlyMedium.sameEffectAs(before) || readOnlyMedium.sameDrivesAs(before));
    source.setDword(U, Root, "ReadOnlyAllDrives", 1);
    const EffectivePolicy allDrives = readManagedPolicy(source);
    EXPECT_FALSE(allDrives.sameEffectAs(readOnlyMedium) || allDrives.sameDrivesAs(readOnlyMedium));
}

// Group Policy rewrites its keys while it refreshes: a read that fails then
// must not be taken for a policy removed (the administrator's verifier would
// drop out and the PC's own password take over until the next refresh).
TEST(ManagedPolicyMerge, KeyThatCannotBeReadKeepsWhatWasReadBeforeInsideOneHeldReading) {
    FakePolicySource source;
    source.setString(M, Root, "PasswordVerifier", MachineVerifier);
    source.setDword(U, Root, "UnlockMinutes", 15);
    source.setString(M, Trusted, "1", "Backup|10|cdrom");
    const EffectivePolicy before = readManagedPolicy(source);
    source.failReads(M, Root);
    source.failReads(M, Trusted);
    const EffectivePolicy during = readManagedPolicy(source, before);
    EXPECT_TRUE(during.sameEffectAs(before));
    EXPECT_EQ(during.inForce, before.inForce);
    EXPECT_EQ(during.unreadable, (std::vector<std::string>{"PasswordVerifier", "LockAllDrives", "TrustedMedia",
                                                           "UnlockMinutes", "ReadOnlyAllDrives"}));
    source.clearFailures();
    source.setDword(U, Root, "UnlockMinutes", 5);
    const EffectivePolicy after = readManagedPolicy(source, during);
    EXPECT_EQ(after.unlockMinutes, 5u);
    EXPECT_TRUE(after.unreadable.empty());
    EXPECT_EQ(source.readings(), 3);
    EXPECT_EQ(source.openReadings(), 0) << "a reading left the policy section held";
}

// The copy is one whole reading, held as one: what changes after it, or
// fails in it, reads as it did then.
TEST(ManagedPolicyMerge, ARecordAnswersAsItsOneReadingDid) {
    FakePolicySource source;
    source.setString(M, Root, "PasswordVerifier", MachineVerifier);
    source.setDword(U, Root, "UnlockMinutes", 15);
    source.failReads(M, Trusted);
    PolicyRecord record;
    EXPECT_FALSE(record.taken());
    record.take(source);
    EXPECT_TRUE(record.taken());
    EXPECT_EQ(source.readings(), 1);
    EXPECT_EQ(source.openReadings(), 0);
    source.clearFailures();
    source.setDword(U, Root, "UnlockMinutes", 5);
    EffectivePolicy before;
    before.trustedMedia = {{"Backup", 0x10, ManagedCdrom}};
    const EffectivePolicy copy = readManagedPolicy(record, before);
    EXPECT_EQ(copy.unlockMinutes, 15u);
    EXPECT_EQ(copy.trustedMedia, before.trustedMedia) << "a read that failed then keeps what was read before";
    EXPECT_EQ(copy.unreadable, std::vector<std::string>{"TrustedMedia"});
    RegistryData data;
    EXPECT_EQ(record.readValue(U, Root, "NeverAsked", data), PolicyRead::Failed);
    record.take(source);
    EXPECT_EQ(readManagedPolicy(record).unlockMinutes, 5u);
}

struct MediumCase {
    std::string text;
    bool ok;
    std::string label;
    std::uint32_t serial;
    std::uint32_t driveType;
    bool trustedList = false;  // parsed as the trusted list's, where |readonly may end it
    bool readOnly = false;
};

void PrintTo(const MediumCase& c, std::ostream* os) {
    if (c.text.size() > 40) *os << c.text.size() << " characters";
    else *os << '"' << c.text << '"';
}

class ManagedMediumEntry : public ::testing::TestWithParam<MediumCase> {};

TEST_P(ManagedMediumEntry, ParsesOrRefuses) {
    const MediumCase& c = GetParam();
    ManagedMedium medium;
    ASSERT_EQ(parseManagedMedium(c.text, medium, c.trustedList), c.ok);
    if (c.ok) {
        EXPECT_EQ(medium, (ManagedMedium{c.label, c.serial, c.driveType, c.readOnly}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ManagedMediumEntry,
    ::testing::Values(MediumCase{"USB STICK|5EA1BEEF|removable", true, "USB STICK", 0x5EA1BEEF, 2},
                      MediumCase{"disc|5ea1beef|CDROM", true, "disc", 0x5EA1BEEF, 5},
                      MediumCase{"|0|removable", true, "", 0, 2},
                      MediumCase{"a|b|1|cdrom", true, "a|b", 1, 5},
                      MediumCase{std::string(MaxLabelLength, 'L') + "|FFFFFFFF|removable", true,
                                 std::string(MaxLabelLength, 'L'), 0xFFFFFFFF, 2},
                      MediumCase{std::string(MaxLabelLength + 1, 'L') + "|1|removable", false, "", 0, 0},
                      MediumCase{"", false, "", 0, 0}, MediumCase{"STICK|1234", false, "", 0, 0},
                      MediumCase{"STICK||removable", false, "", 0, 0},
                      MediumCase{"STICK|123456789|removable", false, "", 0, 0},
                      MediumCase{"STICK|12G4|removable", false, "", 0, 0},
                      MediumCase{"STICK|1|floppy", false, "", 0, 0},
                      MediumCase{"STICK|1|removable ", false, "", 0, 0},
                      MediumCase{"STICK|1|CDROM|READONLY", true, "STICK", 1, 5, true, true},
                      MediumCase{"a|b|1|cdrom", true, "a|b", 1, 5, true, false},
                      MediumCase{"STICK|1|removable|readonly", false, "", 0, 0, false},  // the locked list's
                      MediumCase{"STICK|1|removable|read-only", false, "", 0, 0, true}));

}  // namespace
}  // namespace ventrix
