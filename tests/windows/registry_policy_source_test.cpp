// The registry source against values written with the registry API into the
// test prefix's HKLM (64-bit view) and HKCU, merged as the program merges them.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // RegDeleteTreeA, for the clean-up only
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/managed_policy.h"
#include "policy/win32/registry_policy_source.h"

namespace ventrix {
namespace {

constexpr const char* Verifier =
    "$pbkdf2-sha256$i=600000$TWFjaGluZVNhbHQxMjM0NQ$CQEF03iMraucElCfobodRqkaFY16F3mxFDIvP9WoJcs";

class RegistryPolicySourceTest : public ::testing::Test {
protected:
    void SetUp() override { removeAll(); }
    void TearDown() override { removeAll(); }

    static void removeAll() {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            HKEY policies = nullptr;
            if (RegOpenKeyExA(root, "SOFTWARE\\Policies", 0, KEY_ALL_ACCESS | view(root), &policies) == ERROR_SUCCESS) {
                RegDeleteTreeA(policies, "Ventrix");
                RegCloseKey(policies);
            }
        }
    }

    static REGSAM view(HKEY root) { return root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0; }

    static void write(HKEY root, const char* key, const char* name, DWORD type, const void* data, DWORD size) {
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS | view(root), nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(handle);
    }
    static void text(HKEY root, const char* key, const char* name, const std::string& value) {
        write(root, key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }
    static void number(HKEY root, const char* name, DWORD value) {
        write(root, "SOFTWARE\\Policies\\Ventrix", name, REG_DWORD, &value, sizeof value);
    }
};

TEST_F(RegistryPolicySourceTest, ReadsAndMergesBothScopes) {
    text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\Ventrix", "PasswordVerifier", Verifier);
    text(HKEY_CURRENT_USER, "SOFTWARE\\Policies\\Ventrix", "PasswordVerifier", "not a verifier");
    number(HKEY_CURRENT_USER, "LockAllDrives", 1);
    number(HKEY_LOCAL_MACHINE, "UnlockMinutes", 20);
    number(HKEY_CURRENT_USER, "UnlockMinutes", 0);
    text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\Ventrix\\LockedMedia", "2", "SECOND|0000BEEF|cdrom");
    text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\Ventrix\\LockedMedia", "1", "FIRST|5EA1BEEF|removable");
    text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\Ventrix\\LockedMedia", "3", "BROKEN|XYZ|removable");
    text(HKEY_CURRENT_USER, "SOFTWARE\\Policies\\Ventrix\\TrustedMedia", "1", "BACKUP|00000001|removable");

    RegistryPolicySource source;
    const EffectivePolicy policy = readManagedPolicy(source);
    ASSERT_TRUE(policy.verifier);
    EXPECT_EQ(formatVerifier(*policy.verifier), Verifier);
    EXPECT_TRUE(policy.lockAllDrives);
    EXPECT_EQ(policy.unlockMinutes, 20u);
    ASSERT_EQ(policy.lockedMedia.size(), 2u);
    EXPECT_EQ(policy.lockedMedia[0], (ManagedMedium{"FIRST", 0x5EA1BEEF, ManagedRemovable}));
    EXPECT_EQ(policy.lockedMedia[1], (ManagedMedium{"SECOND", 0xBEEF, ManagedCdrom}));
    ASSERT_EQ(policy.trustedMedia.size(), 1u);
    EXPECT_EQ(policy.trustedMedia[0].label, "BACKUP");
    EXPECT_EQ(policy.inForce,
              (std::vector<std::string>{"PasswordVerifier", "LockAllDrives", "LockedMedia", "TrustedMedia",
                                        "UnlockMinutes"}));
    // The user's bad verifier is masked by the machine's and never read.
    EXPECT_EQ(policy.malformed, (std::vector<MalformedPolicyValue>{{PolicyScope::Machine, "LockedMedia\\3"}}));
}

// A value longer than any policy value is there and malformed, never absent;
// the service's source reads the machine alone.
TEST_F(RegistryPolicySourceTest, OversizedValueIsMalformedAndTheMachineOnlySourceSkipsTheUser) {
    text(HKEY_CURRENT_USER, "SOFTWARE\\Policies\\Ventrix", "PasswordVerifier", std::string(70000, 'x'));
    number(HKEY_CURRENT_USER, "LockAllDrives", 1);
    RegistryPolicySource source;
    const EffectivePolicy policy = readManagedPolicy(source);
    EXPECT_EQ(policy.malformed, (std::vector<MalformedPolicyValue>{{PolicyScope::User, "PasswordVerifier"}}));
    EXPECT_TRUE(policy.lockAllDrives);
    RegistryPolicySource machineOnly(true);
    EXPECT_TRUE(readManagedPolicy(machineOnly).inForce.empty());
}

// The sections as the fakes of their entry points saw them: handle 1 is
// the user's, 2 the machine's.
std::vector<std::string> sectionCalls;
HANDLE WINAPI fakeEnter(BOOL machine) {
    sectionCalls.push_back(machine ? "enter machine" : "enter user");
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(machine ? 2 : 1));
}
BOOL WINAPI fakeLeave(HANDLE section) {
    sectionCalls.push_back(section == reinterpret_cast<HANDLE>(2) ? "leave machine" : "leave user");
    return TRUE;
}

// Windows documents the user's section first: a reader holding the machine's
// while it waits for the user's can deadlock with one taking them in order.
TEST_F(RegistryPolicySourceTest, TheUsersSectionIsEnteredBeforeTheMachines) {
    sectionCalls.clear();
    RegistryPolicySource source(false, PolicySections{fakeEnter, fakeLeave});
    readManagedPolicy(source);
    EXPECT_EQ(sectionCalls, (std::vector<std::string>{"enter user", "enter machine", "leave machine", "leave user"}));
    sectionCalls.clear();
    RegistryPolicySource machineOnly(true, PolicySections{fakeEnter, fakeLeave});
    readManagedPolicy(machineOnly);
    EXPECT_EQ(sectionCalls, (std::vector<std::string>{"enter machine", "leave machine"}));
    sectionCalls.clear();
    RegistryPolicySource unsectioned(false, RegistryPolicySource::Sections::None);
    number(HKEY_CURRENT_USER, "UnlockMinutes", 7);
    EXPECT_EQ(readManagedPolicy(unsectioned).unlockMinutes, 7u) << "read without the sections all the same";
}

}  // namespace
}  // namespace ventrix
