// The decisions both modes share, against fakes: what a change of the
// administrator's policy runs, and what is offered while a pass shows boxes.
#include "control/policy_control.h"

#include <gtest/gtest.h>

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

    void SetUp() override {
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

}  // namespace
}  // namespace ventrix
