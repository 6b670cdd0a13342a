// The policy as the tray and the dialogs see it, decided in one place: the
// passwords and the wait after wrong ones, Lock, Unlock and the timed unlock,
// the administrator's policy taken up, and the configuration. The per-user
// program asks it in its own process; the service asks the same for each of
// its clients. Only the seams below reach the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "policy/audit_trail.h"
#include "policy/config_file.h"
#include "policy/key_derivation.h"
#include "policy/managed_policy.h"
#include "control/password_guard.h"
#include "control/policy_access.h"
#include "policy/policy_tables.h"
#include "volume/enforcement.h"
#include "volume/volume_ops.h"

namespace ventrix {

// A millisecond tick that may wrap (GetTickCount).
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint32_t nowMs() = 0;
};

// The one timer that ends a timed unlock: relockDue() when it fires.
class RelockTimer {
public:
    virtual ~RelockTimer() = default;
    virtual void start(std::uint32_t ms) = 0;
    virtual void cancel() = 0;
};

// Told whenever what status() answers may have changed.
class ControlListener {
public:
    virtual ~ControlListener() = default;
    virtual void stateChanged() = 0;
};

// How the PC's own password is kept in the policy file: as typed (the
// per-user program, whose file only its user can read), or as a verifier of
// its UTF-8 (the service's, so no password is stored anywhere).
enum class PasswordForm { Plain, Verifier };

// The name of a prompt in the audit trail.
const char* promptName(Prompt prompt);

class PolicyControl final : public PolicyAccess {
public:
    PolicyControl(PolicyTables& tables, VolumeOps& volumes, Enforcement& enforcement, ConfigFile& config, Clock& clock,
                  RelockTimer& relock, PasswordForm form = PasswordForm::Plain)
        : tables_(tables), volumes_(volumes), enforcement_(enforcement), config_(config), clock_(clock),
          relock_(relock), form_(form) {}
    PolicyControl(const PolicyControl&) = delete;
    PolicyControl& operator=(const PolicyControl&) = delete;

    // Wiring, set before use.
    PolicySource* ManagedSource = nullptr;  // the administrator's policy, when read at all
    KeyDeriver* Keys = nullptr;             // verifier checks; the portable derivation when null
    ControlListener* Listener = nullptr;
    bool (*RandomBytes)(std::uint8_t* out, std::size_t size) = nullptr;  // salts of new verifiers
    PasswordGuard Guard{};                  // wrong passwords in a row, at any prompt, for everyone

    PolicyStatus status() override;
    void lock() override;
    PasswordAnswer unlock(const TypedPassword& typed, std::uint32_t minutes) override;
    PasswordAnswer checkExit(const TypedPassword& typed) override;
    bool protectionOutlivesExit() override { return false; }
    void releaseForExit() override { enforcement_.releaseAllLockedDrives(); }
    PasswordAnswer openConfiguration(const TypedPassword& typed) override;
    void closeConfiguration() override {}
    std::vector<DriveRow> drives() override;
    std::vector<MediumRow> media(MediaList list) override;
    void toggleDrive(const std::string& root) override;
    std::vector<PresentMedium> presentMedia() override;
    void setDriveReadOnly(const std::string& root, bool readOnly) override;
    void addMedium(MediaList list, const std::string& root, bool readOnly) override;
    DeleteOutcome deleteMedium(MediaList list, const MediumRow& row) override;
    void apply() override;
    ChangeAnswer changePassword(const TypedPassword& current, const TypedPassword& fresh,
                                const TypedPassword& confirm) override;
    void drivesArrived(std::uint32_t mask) override;
    void policyChanged() override;

    // The relock timer fired: only a running timed unlock ends here.
    void relockDue();
    bool relockPending() const { return relockPending_; }
    std::uint32_t relockDueTick() const { return relockDue_; }

    // Start-up, in two steps around whatever the caller takes in between:
    // the policy file loaded (on a first run the drives seeded and the
    // default password saved; true then), then the start reported with the
    // administrator's policy and enforced (the sweep, then an apply pass).
    bool loadOrSeed();
    void reportAndEnforce(const char* version, bool firstRun);

    // The administrator's policy read quietly (true when its effect
    // changed), then reported.
    bool readManaged();
    void reportManaged(bool changed, bool atStart);

    // Whether the password is right, without counting a try.
    bool passwordAccepts(const TypedPassword& typed);
    // The default password opens the prompts (no administrator's verifier
    // decides, and the PC's own password is still the default one).
    bool defaultPasswordInForce();
    // Verifier form: a verifier of `password` with a fresh salt, as the
    // password record holds it; empty when no salt could be drawn.
    std::string makePasswordRecord(std::string_view password);

private:
    PasswordAnswer check(const TypedPassword& typed, Prompt prompt);
    void lockNow(AuditEvent event);
    void startRelock(std::uint32_t minutes);
    bool relockDueAfter(std::uint32_t minutes);
    void takeUpManaged();
    // An apply pass, a start-up's sweep and pass: Unlock is not offered while
    // one runs, and a policy change heard during one of its boxes waits for it.
    template <typename Run>
    void pass(Run run);
    void notify() {
        if (Listener) Listener->stateChanged();
    }
    KeyDeriver& keys();
    AuditTrail& audit() { return enforcement_.audit(); }

    PolicyTables& tables_;
    VolumeOps& volumes_;
    Enforcement& enforcement_;
    ConfigFile& config_;
    Clock& clock_;
    RelockTimer& relock_;
    PasswordForm form_;
    PortableKeyDeriver portable_;
    bool relockPending_ = false;
    std::uint32_t relockDue_ = 0;
    bool refreshRunning_ = false;
    bool refreshAgain_ = false;
    int passes_ = 0;                 // passes running, nested in one another's boxes
    bool managedDrivesChanged_ = false;  // the last read changed what decides a drive
    // The verifier form cannot compare its record with the default password
    // for nothing: the answer is kept, and known again after a change.
    std::string defaultCheckedFor_;
    bool defaultInForce_ = false;
};

}  // namespace ventrix
