#include "control/policy_control.h"

#include <algorithm>
#include <string>

#include "policy/password_verifier.h"

namespace ventrix {
namespace {

// The second insertion of event 5100: why the value is not taken as it stands.
constexpr const char* MalformedNote = "is malformed and is ignored";
constexpr const char* UnreadableNote = "could not be read; the value read before stays in force";
constexpr std::size_t NewVerifierSaltSize = MinVerifierSaltSize;
constexpr const char* HandsOffNote =
    " The file is there but could not be opened at start-up; it is left as it is, and every drive is locked"
    " until Ventrix is started again.";

template <typename Next>
std::vector<MediumRow> localRows(Next next) {
    std::vector<MediumRow> rows;
    MediumRow row;
    while (next(row)) rows.push_back(row);
    return rows;
}

}  // namespace

const char* promptName(Prompt prompt) {
    switch (prompt) {
    case Prompt::Unlock: return "Unlock";
    case Prompt::Exit: return "Exit";
    case Prompt::Configuration: return "Configuration";
    case Prompt::ChangePassword: return "Change Password";
    }
    return "";
}

KeyDeriver& PolicyControl::keys() { return Keys ? *Keys : portable_; }

// While the administrator has set a verifier, it alone decides (on the UTF-8
// text, as the verifier tool made it): the PC's own password opens nothing.
bool PolicyControl::passwordAccepts(const TypedPassword& typed) {
    if (const auto& verifier = tables_.Managed.verifier) return verifierAccepts(*verifier, typed.utf8, keys());
    if (form_ == PasswordForm::Plain) return typed.ansi == tables_.CurrentPassword;
    PasswordVerifier own;
    return parseVerifier(tables_.CurrentPassword, own) && verifierAccepts(own, typed.utf8, keys());
}

bool PolicyControl::defaultPasswordInForce() {
    if (tables_.Managed.verifier) return false;
    if (form_ == PasswordForm::Plain) return tables_.CurrentPassword == DefaultPassword;
    if (defaultCheckedFor_ != tables_.CurrentPassword) {
        defaultCheckedFor_ = tables_.CurrentPassword;
        defaultInForce_ = passwordAccepts({DefaultPassword, DefaultPassword});
    }
    return defaultInForce_;
}

std::string PolicyControl::makePasswordRecord(std::string_view password) {
    std::uint8_t salt[NewVerifierSaltSize];
    PasswordVerifier verifier;
    if (!RandomBytes || !RandomBytes(salt, sizeof salt) ||
        !makeVerifier(password, salt, sizeof salt, DefaultVerifierIterations, keys(), verifier))
        return {};
    std::string record = formatVerifier(verifier);
    defaultCheckedFor_ = record;  // known without deriving it again
    defaultInForce_ = password == DefaultPassword;
    return record;
}

// A wrong password is counted (and its wait started) before anyone is told,
// so a try sent while the answer's box is open meets the wait too.
PasswordAnswer PolicyControl::check(const TypedPassword& typed, Prompt prompt) {
    const std::uint32_t now = clock_.nowMs();
    if (const std::uint32_t wait = Guard.remaining(now)) return {PasswordOutcome::Wait, wait};
    if (passwordAccepts(typed)) {
        Guard.recordRight();
        return {PasswordOutcome::Right, 0};
    }
    Guard.recordWrong(now);
    audit().report(AuditEvent::WrongPassword, {promptName(prompt)});
    return {PasswordOutcome::Wrong, Guard.remaining(now)};
}

PolicyStatus PolicyControl::status() {
    const std::uint32_t now = clock_.nowMs();
    PolicyStatus status;
    status.protectionOn = tables_.ProtectionOn;
    if (relockPending_) status.relockInMs = std::max<std::int32_t>(static_cast<std::int32_t>(relockDue_ - now), 1);
    status.verifierSet = tables_.Managed.verifier.has_value();
    status.defaultPassword = defaultPasswordInForce();
    status.unlockOffered = tables_.Managed.unlockOffered() && passes_ == 0;
    status.unlockLimit = tables_.Managed.unlockMinutes.value_or(0);
    status.retryWaitMs = Guard.remaining(now);
    return status;
}

template <typename Run>
void PolicyControl::pass(Run run) {
    ++passes_;
    notify();
    run();
    if (--passes_ != 0) return;
    notify();
    if (refreshAgain_ && !refreshRunning_) policyChanged();
}

// Protection is on before the pass: a medium arriving while one of its boxes
// is open is then handled as any arrival in a locked drive.
void PolicyControl::lockNow(AuditEvent event) {
    relockPending_ = false;
    relock_.cancel();
    tables_.ProtectionOn = true;
    pass([this] { enforcement_.applyPolicy(); });
    audit().report(event);
}

void PolicyControl::lock() {
    if (!tables_.ProtectionOn) lockNow(AuditEvent::ProtectionOn);
}

void PolicyControl::relockDue() {
    relock_.cancel();
    if (!relockPending_ || tables_.ProtectionOn) return;
    lockNow(AuditEvent::TimedUnlockEnded);
}

void PolicyControl::startRelock(std::uint32_t minutes) {
    relockPending_ = true;
    relockDue_ = clock_.nowMs() + minutes * 60000u;
    relock_.start(minutes * 60000u);
    notify();
}

// True when the running timed unlock ends later than `minutes` from now.
bool PolicyControl::relockDueAfter(std::uint32_t minutes) {
    const std::uint32_t left = relockDue_ - clock_.nowMs();
    return static_cast<std::int32_t>(left) > 0 && left > minutes * 60000u;
}

PasswordAnswer PolicyControl::unlock(const TypedPassword& typed, std::uint32_t minutes) {
    // The administrator may have withdrawn unlocking while the prompt was open;
    // and an unlock inside a pass's box would leave the pass locking drives.
    if (!tables_.Managed.unlockOffered() || passes_ > 0) return {PasswordOutcome::NotOffered, 0};
    const PasswordAnswer answer = check(typed, Prompt::Unlock);
    if (answer.outcome != PasswordOutcome::Right || !tables_.ProtectionOn) return answer;
    // The administrator allows no unlock without an end, nor one longer than the limit.
    if (const std::uint32_t limit = tables_.Managed.unlockMinutes.value_or(0); limit > 0)
        minutes = minutes == 0 ? limit : std::min(minutes, limit);
    tables_.ProtectionOn = false;
    if (minutes == 0)
        audit().report(AuditEvent::ProtectionOff);
    else
        audit().report(AuditEvent::ProtectionOffTimed, {std::to_string(minutes)});
    notify();
    enforcement_.releaseAllLockedDrives();
    if (minutes != 0) startRelock(minutes);
    return answer;
}

PasswordAnswer PolicyControl::checkExit(const TypedPassword& typed) { return check(typed, Prompt::Exit); }

PasswordAnswer PolicyControl::openConfiguration(const TypedPassword& typed) {
    return check(typed, Prompt::Configuration);
}

std::vector<DriveRow> PolicyControl::drives() {
    std::vector<DriveRow> rows;
    std::string root;
    std::uint32_t locked = 0;
    tables_.resetDriveCursor();
    while (tables_.nextDrive(root, &locked)) {
        // The administrator's read-only does not reach a drive its own flag locks.
        rows.push_back({root, locked != 0, enforcement_.lockedByPolicy(root), tables_.isDriveReadOnly(root),
                        locked == 0 && enforcement_.readOnlyByPolicy(root)});
    }
    return rows;
}

// The PC's own media first, then the administrator's, marked.
std::vector<MediumRow> PolicyControl::media(MediaList list) {
    const bool trusted = list == MediaList::Trusted;
    std::vector<MediumRow> rows;
    if (trusted) {
        tables_.resetTrustedCursor();
        rows = localRows([&](MediumRow& row) {
            return tables_.nextTrustedMedia(row.serial, row.label, row.driveType, &row.readOnly);
        });
    } else {
        tables_.resetMediaCursor();
        rows = localRows([&](MediumRow& row) { return tables_.nextMedia(row.serial, row.label, row.driveType); });
    }
    for (const ManagedMedium& medium : trusted ? tables_.Managed.trustedMedia : tables_.Managed.lockedMedia)
        rows.push_back({medium.label, medium.serial, medium.driveType, true, medium.readOnly});
    return rows;
}

// A drive the administrator locks stays so.
void PolicyControl::toggleDrive(const std::string& root) {
    if (enforcement_.lockedByPolicy(root)) return;
    const std::string state = tables_.driveStateText(root);
    if (state == "Locked")
        tables_.setDriveLocked(root, false);
    else if (state == "Unlocked")
        tables_.setDriveLocked(root, true);
}

std::vector<PresentMedium> PolicyControl::presentMedia() {
    std::vector<PresentMedium> present;
    for (const std::string& root : volumes_.driveRoots()) {
        const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
        if (!isLockableDrive(root, type)) continue;
        PresentMedium medium{root, {}, 0, type};
        if (volumes_.queryVolumeIdentity(root, medium.label, medium.serial)) present.push_back(std::move(medium));
    }
    return present;
}

// Only a listed drive, and not one the administrator locks or makes
// read-only: that drive stays as the administrator has it.
void PolicyControl::setDriveReadOnly(const std::string& root, bool readOnly) {
    if (!tables_.findDrive(root) || enforcement_.lockedByPolicy(root) || enforcement_.readOnlyByPolicy(root)) return;
    tables_.setDriveReadOnly(root, readOnly);
}

void PolicyControl::addMedium(MediaList list, const std::string& root, bool readOnly) {
    std::string label;
    std::uint32_t serial = 0;
    if (!volumes_.queryVolumeIdentity(root, label, serial)) return;
    const std::uint32_t type = volumes_.platform().getDriveType(root.c_str());
    if (list == MediaList::Trusted)
        tables_.addTrustedMedia(serial, label, type, readOnly);
    else
        tables_.addMedia(serial, label, type);
}

// The row's label and serial pick the record exactly; the removal then applies its own rule.
DeleteOutcome PolicyControl::deleteMedium(MediaList list, const MediumRow& row) {
    if (row.managed) return DeleteOutcome::Managed;
    const bool trusted = list == MediaList::Trusted;
    for (const MediumRow& own : media(list)) {
        if (own.managed || own.label != row.label || own.serial != row.serial) continue;
        trusted ? tables_.removeTrustedMedia(own.serial, own.label) : tables_.removeMedia(own.serial, own.label);
        trusted ? tables_.resetTrustedCursor() : tables_.resetMediaCursor();
        return DeleteOutcome::Deleted;
    }
    return DeleteOutcome::NotFound;
}

void PolicyControl::apply() {
    pass([this] { enforcement_.applyPolicy(); });
    const std::size_t locked = tables_.lockedDriveCount();
    const std::size_t unlocked = tables_.driveEntries().size() - locked;
    audit().report(AuditEvent::ConfigurationApplied,
                   {std::to_string(locked), std::to_string(unlocked), std::to_string(tables_.mediaRecords().size())});
}

ChangeAnswer PolicyControl::changePassword(const TypedPassword& current, const TypedPassword& fresh,
                                           const TypedPassword& confirm) {
    if (tables_.Managed.verifier) return {ChangeOutcome::SetByAdministrator, 0};
    const PasswordAnswer known = check(current, Prompt::ChangePassword);
    if (known.outcome == PasswordOutcome::Wait) return {ChangeOutcome::Wait, known.waitMs};
    if (known.outcome != PasswordOutcome::Right) return {ChangeOutcome::Wrong, known.waitMs};
    const bool plain = form_ == PasswordForm::Plain;
    const std::string& text = plain ? fresh.ansi : fresh.utf8;
    if (text.empty()) return {ChangeOutcome::Empty, 0};
    if (text != (plain ? confirm.ansi : confirm.utf8)) return {ChangeOutcome::Mismatch, 0};
    std::string record = plain ? text : makePasswordRecord(text);
    if (record.empty()) return {ChangeOutcome::NotSaved, 0};
    tables_.CurrentPassword = std::move(record);
    audit().report(AuditEvent::PasswordChanged);
    notify();
    // Kept in memory even when the save fails: the next save writes it.
    const bool saved = config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword) != 0;
    return {saved ? ChangeOutcome::Changed : ChangeOutcome::NotSaved, 0};
}

void PolicyControl::drivesArrived(std::uint32_t mask) { enforcement_.onDrivesArrived(mask); }

bool PolicyControl::loadOrSeed() {
    if (config_.loadConfiguration(ConfigFileName, tables_.CurrentPassword)) return false;
    volumes_.seedDriveTable();
    if (config_.handsOff()) {
        // Someone else has the owner's file: every drive is locked as on a
        // first run, and nothing this run knows may replace that file.
        if (!config_.folderRefused()) audit().report(AuditEvent::SaveFailed, {config_.failureText() + HandsOffNote});
        return false;
    }
    if (form_ == PasswordForm::Verifier) tables_.CurrentPassword = makePasswordRecord(DefaultPassword);
    config_.saveConfiguration(ConfigFileName, tables_.CurrentPassword);
    return true;
}

void PolicyControl::reportAndEnforce(const char* version, bool firstRun) {
    // Read before anything is reported, so that the start's events tell the
    // truth about what is in force (no default-password warning under a verifier).
    const bool managed = readManaged();
    audit().report(AuditEvent::Started, {version, std::to_string(tables_.lockedDriveCount()),
                                         std::to_string(tables_.mediaRecords().size()), firstRun ? "first run" : ""});
    if (defaultPasswordInForce()) audit().report(AuditEvent::DefaultPasswordInUse);
    reportManaged(managed, true);
    pass([this] {
        enforcement_.releaseReadOnly();  // what a crash left journaled, undone before anything is decided
        enforcement_.startupSweep();
        enforcement_.applyPolicy();
    });
}

bool PolicyControl::readManaged() {
    if (!ManagedSource) return false;
    EffectivePolicy fresh = readManagedPolicy(*ManagedSource, tables_.Managed);
    const bool changed = !fresh.sameEffectAs(tables_.Managed);
    managedDrivesChanged_ = !fresh.sameDrivesAs(tables_.Managed);
    tables_.Managed = std::move(fresh);
    return changed;
}

void PolicyControl::reportManaged(bool changed, bool atStart) {
    const EffectivePolicy& managed = tables_.Managed;
    for (const MalformedPolicyValue& value : managed.malformed)
        audit().report(AuditEvent::ManagedValueMalformed, {value.name, MalformedNote});
    for (const std::string& name : managed.unreadable)
        audit().report(AuditEvent::ManagedValueMalformed, {name, UnreadableNote});
    std::string names;
    for (const std::string& name : managed.inForce) names += (names.empty() ? "" : ", ") + name;
    // At start-up only a policy in force is worth a line; later every change is.
    if (changed || (atStart && !names.empty()))
        audit().report(AuditEvent::ManagedPolicyInForce, {names.empty() ? "none" : names});
}

// What a changed administrator's policy does at once: applied while
// protection is on, when it changed what decides a drive (a new verifier or
// unlock limit touches none); while off, an unlock it no longer allows ends.
void PolicyControl::takeUpManaged() {
    notify();
    const auto& limit = tables_.Managed.unlockMinutes;
    if (tables_.ProtectionOn) {
        if (managedDrivesChanged_) pass([this] { enforcement_.applyPolicy(); });
    } else if (!tables_.Managed.unlockOffered()) {
        lockNow(AuditEvent::ProtectionOn);  // unlocking is no longer allowed at all
    } else if (limit && (!relockPending_ || relockDueAfter(*limit))) {
        startRelock(*limit);  // no unlock outlasts the new limit
    }
}

// Group Policy's refresh broadcast (one for the machine, one for the user,
// and any program may send it): the administrator's values are read again
// and taken up only when their effect changed, so a refresh that changes
// nothing touches no drive and no file. One arriving during any pass's box
// (Lock, a relock, Apply, a refresh) is taken up once that pass is done,
// never in a pass of its own inside it.
void PolicyControl::policyChanged() {
    if (!ManagedSource) return;
    if (refreshRunning_ || passes_ > 0) {
        refreshAgain_ = true;
        return;
    }
    refreshRunning_ = true;
    do {
        refreshAgain_ = false;
        const bool changed = readManaged();
        reportManaged(changed, false);
        if (changed) takeUpManaged();
    } while (refreshAgain_);
    refreshRunning_ = false;
}

}  // namespace ventrix
