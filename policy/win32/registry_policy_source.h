// Managed policy from the registry: HKLM for the machine scope, read in the
// 64-bit view (where Group Policy writes, also for the 32-bit build on 64-bit
// Windows), HKCU for the user scope. A whole reading holds the system's
// critical policy sections, so Group Policy never rewrites a key under it.
#pragma once

#include <windows.h>

#include <memory>

#include "policy/managed_policy.h"
#include "policy/policy_record.h"

namespace ventrix {

// The entry points of the critical policy sections (userenv.dll's), behind a
// seam so that a test can see the order in which they are entered.
struct PolicySections {
    HANDLE(WINAPI* enter)(BOOL machine) = nullptr;
    BOOL(WINAPI* leave)(HANDLE section) = nullptr;
};

class RegistryPolicySource final : public PolicySource {
public:
    enum class Sections { System, None };
    // machineOnly: the user scope reads as absent (a PC-wide enforcer is
    // governed by the machine's policy alone). Sections::None reads without
    // entering the sections at all, for a thread that must not wait on them.
    explicit RegistryPolicySource(bool machineOnly = false, Sections sections = Sections::System)
        : machineOnly_(machineOnly), useSections_(sections == Sections::System) {}
    // Enters and leaves through the given entry points in place of the system's.
    RegistryPolicySource(bool machineOnly, const PolicySections& sections)
        : machineOnly_(machineOnly), sections_(sections), resolved_(true) {}
    ~RegistryPolicySource() override;
    RegistryPolicySource(const RegistryPolicySource&) = delete;
    RegistryPolicySource& operator=(const RegistryPolicySource&) = delete;

    PolicyRead readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) override;
    PolicyRead readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) override;
    void beginRead() override;
    void endRead() override;

private:
    bool machineOnly_;
    bool useSections_ = true;
    PolicySections sections_{};
    bool resolved_ = false;  // sections_ holds the entry points to use
    HMODULE userenv_ = nullptr;
    HANDLE machineSection_ = nullptr;
    HANDLE userSection_ = nullptr;
};

// The administrator's policy read on a thread of its own, each reading kept
// as a PolicyRecord for the window's thread to take. Group Policy may hold
// its sections for minutes (software installation at logon); a window that
// waited on them would hear no arrival meanwhile.
class PolicyReadingThread {
public:
    // `live` is read on the thread only, and lives as long as the thread;
    // `direct` is read by readHere, on the caller's thread, and must never
    // wait (the registry without the sections).
    PolicyReadingThread(std::unique_ptr<PolicySource> live, std::unique_ptr<PolicySource> direct);
    ~PolicyReadingThread() { stop(); }
    PolicyReadingThread(const PolicyReadingThread&) = delete;
    PolicyReadingThread& operator=(const PolicyReadingThread&) = delete;

    // Starts the thread with a first reading; false when no thread could start.
    bool start();
    bool running() const { return thread_ != nullptr; }
    // Another reading once the one under way is done (requests meanwhile make one).
    void request();
    // Each finished reading is announced by posting `message` to `window`;
    // one finished before is announced at once.
    void announceTo(HWND window, UINT message);
    // The latest finished reading not taken yet, waiting for one up to waitMs; null if none.
    std::unique_ptr<PolicyRecord> take(DWORD waitMs = 0);
    // A reading of `direct` here and now, for when the thread's is not to be had.
    void readHere(PolicyRecord& into) { into.take(*direct_); }
    // Ends the thread if it ends within a moment; one still waiting on a
    // section is left to the process's end, with everything it uses.
    void stop();

private:
    struct Shared;
    static DWORD WINAPI run(void* shared);
    Shared* shared_;
    std::unique_ptr<PolicySource> direct_;
    HANDLE thread_ = nullptr;
};

}  // namespace ventrix
