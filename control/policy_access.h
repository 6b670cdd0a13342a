// What the tray and the dialogs show and change, behind one interface: the
// per-user program answers in its own process, the service's client asks the
// service over its pipe. The dialogs never know which; every decision (is the
// password right, may this unlock, how long is the wait) is made behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ventrix {

// A password as typed: the prompt's 8-bit text (what the PC's own password is
// stored as) and its UTF-8 form (what every verifier is made of). Both are
// wiped when it goes.
struct TypedPassword {
    std::string ansi;
    std::string utf8;

    TypedPassword() = default;
    TypedPassword(std::string ansiText, std::string utf8Text) : ansi(std::move(ansiText)), utf8(std::move(utf8Text)) {}
    TypedPassword(const TypedPassword&) = default;
    TypedPassword& operator=(const TypedPassword&) = default;
    ~TypedPassword() {
        wipe(ansi);
        wipe(utf8);
    }

private:
    static void wipe(std::string& text) {
        volatile char* bytes = text.data();
        for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    }
};

// The answer to a typed password. Wait: a wait after wrong passwords still
// runs (waitMs left), so the try was not taken. NotOffered: the administrator
// allows no unlock. NoAnswer: the service could not be asked.
enum class PasswordOutcome : std::uint8_t { Right, Wrong, Wait, NotOffered, NoAnswer };

struct PasswordAnswer {
    PasswordOutcome outcome = PasswordOutcome::NoAnswer;
    std::uint32_t waitMs = 0;  // after Wrong or Wait: the wait that now runs
};

// The prompt a password was typed into, as the audit trail names it.
enum class Prompt : std::uint8_t { Unlock, Exit, Configuration, ChangePassword };

struct PolicyStatus {
    bool connected = true;         // false: the service this tray serves is not there
    bool protectionOn = true;
    std::uint32_t relockInMs = 0;  // a timed unlock runs and ends in this many ms; 0: none runs
    bool verifierSet = false;      // the administrator's verifier decides every prompt
    bool defaultPassword = true;   // the default password is in force (the prompt's hint shows)
    bool unlockOffered = true;     // false: the administrator allows no unlock (UnlockMinutes 0)
    std::uint32_t unlockLimit = 0; // UnlockMinutes N > 0: no unlock lasts longer; 0: no limit
    std::uint32_t retryWaitMs = 0; // the wait after wrong passwords still to run

    bool operator==(const PolicyStatus&) const = default;
};

enum class MediaList : std::uint8_t { Locked, Trusted };

struct DriveRow {
    std::string root;  // "E:\"
    bool locked = false;
    bool byPolicy = false;  // locked by the administrator (LockAllDrives), whatever its flag
    bool readOnly = false;  // the drive's own read-only flag (it counts while the drive is unlocked)
    bool readOnlyByPolicy = false;  // read-only by the administrator (ReadOnlyAllDrives), not locked

    bool operator==(const DriveRow&) const = default;
};

struct MediumRow {
    std::string label;
    std::uint32_t serial = 0;
    std::uint32_t driveType = 0;
    bool managed = false;  // set by the administrator: shown, never deleted here
    bool readOnly = false;  // a trusted medium let through for reading only

    bool operator==(const MediumRow&) const = default;
};

struct PresentMedium {
    std::string root;
    std::string label;
    std::uint32_t serial = 0;
    std::uint32_t driveType = 0;

    bool operator==(const PresentMedium&) const = default;
};

enum class DeleteOutcome : std::uint8_t { Deleted, Managed, NotFound };

// Checked in this order: the current password, then the new one and its confirmation.
enum class ChangeOutcome : std::uint8_t { Changed, Wrong, Wait, Empty, Mismatch, SetByAdministrator, NotSaved, NoAnswer };

struct ChangeAnswer {
    ChangeOutcome outcome = ChangeOutcome::NoAnswer;
    std::uint32_t waitMs = 0;
};

// What the tray shows and the protection itself: nothing here needs a password.
class StatusAccess {
public:
    virtual ~StatusAccess() = default;
    virtual PolicyStatus status() = 0;
    // Protection on; needs no password.
    virtual void lock() = 0;
    // What ending this program leaves behind: true when protection stays on
    // without it (the service keeps it); else the locked drives are released.
    virtual bool protectionOutlivesExit() = 0;
    virtual void releaseForExit() = 0;
};

// Whatever weakens protection: each call is a try at the password, and
// counts toward the wait after wrong ones.
class PasswordAccess {
public:
    virtual ~PasswordAccess() = default;
    // minutes 0: a plain Unlock (still timed where the administrator limits unlocking).
    virtual PasswordAnswer unlock(const TypedPassword& typed, std::uint32_t minutes) = 0;
    // The Exit prompt's check; a right answer lets the program end.
    virtual PasswordAnswer checkExit(const TypedPassword& typed) = 0;
    // A right password opens the configuration session until closeConfiguration().
    virtual PasswordAnswer openConfiguration(const TypedPassword& typed) = 0;
};

// The configuration session a right password opened: every call needs it open.
class ConfigurationAccess {
public:
    virtual ~ConfigurationAccess() = default;
    virtual void closeConfiguration() = 0;
    virtual std::vector<DriveRow> drives() = 0;
    virtual std::vector<MediumRow> media(MediaList list) = 0;  // the PC's own rows first, then the managed ones
    virtual void toggleDrive(const std::string& root) = 0;
    // The drive's read-only flag; it takes effect, as a toggle does, at Apply.
    virtual void setDriveReadOnly(const std::string& root, bool readOnly) = 0;
    virtual std::vector<PresentMedium> presentMedia() = 0;
    // The medium now in the drive, read again (it may have been swapped);
    // `readOnly` lets a trusted one through for reading only.
    virtual void addMedium(MediaList list, const std::string& root, bool readOnly) = 0;
    virtual DeleteOutcome deleteMedium(MediaList list, const MediumRow& row) = 0;
    virtual void apply() = 0;
    virtual ChangeAnswer changePassword(const TypedPassword& current, const TypedPassword& fresh,
                                        const TypedPassword& confirm) = 0;
};

// What the agent window hears, reported on: volumes arrived at these drives
// (bit 0 is A:; handled only while protection is on), and the system's
// policy broadcast. A report decides nothing by itself.
class ReportAccess {
public:
    virtual ~ReportAccess() = default;
    virtual void drivesArrived(std::uint32_t mask) = 0;
    virtual void policyChanged() = 0;
};

// The one interface the tray and the dialogs use, in both modes.
class PolicyAccess : public StatusAccess, public PasswordAccess, public ConfigurationAccess, public ReportAccess {};

}  // namespace ventrix
