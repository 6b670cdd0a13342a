// What the service sets up on the PC at every start, since no package can
// write it (wixl writes no access lists and no failure actions): the data
// folder only SYSTEM and Administrators can touch, the key the machine
// package leaves the administrator's verifier in, the restarts after a
// failure, and the event log's source.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "service/machine_start.h"

namespace ventrix {

inline constexpr const char* SetupKey = "SOFTWARE\\Ventrix\\Setup";
inline constexpr const char* SetupValue = "PasswordVerifier";
// The verifier the service keeps after a failed save; no package writes it.
inline constexpr const char* KeptSetupValue = "KeptPasswordVerifier";

// %ProgramData%\Ventrix (not made here); empty when there is none.
std::string dataFolder();

// The data folder's calls. The machine as owner is the account the service
// runs as (LocalSystem: SYSTEM); the list is SYSTEM and Administrators full
// control, nobody else anything, inherited by everything inside, and
// protected (it replaces any inherited one). Nothing here takes ownership of
// what someone else made: such a thing is moved aside whole.
class Win32DataFolder final : public DataFolderPlatform {
public:
    Win32DataFolder();
    ~Win32DataFolder() override;
    Win32DataFolder(const Win32DataFolder&) = delete;
    Win32DataFolder& operator=(const Win32DataFolder&) = delete;

    EntryKind kind(const std::string& path) override;
    bool ownedByMachine(const std::string& path) override;
    bool create(const std::string& folder) override;
    Protection protect(const std::string& folder) override;
    bool moveAside(const std::string& path, std::string& aside) override;
    bool move(const std::string& from, const std::string& to) override;
    bool list(const std::string& folder, std::vector<std::string>& names) override;
    bool remove(const std::string& path) override;
    std::string lastErrorText() override;

private:
    bool failed(DWORD error);
    bool machineSid(PSID owner) const;

    std::vector<BYTE> self_;  // the service's own account (TOKEN_USER)
    PSECURITY_DESCRIPTOR list_ = nullptr;
    PACL acl_ = nullptr;
    DWORD error_ = 0;
};

// SYSTEM and Administrators only on the setup key; 0, or the system's error.
DWORD protectSetupKey();

// HKLM\SOFTWARE\Ventrix\Setup, value PasswordVerifier.
class RegistrySetupValue final : public SetupVerifierValue {
public:
    bool read(std::string& line) override;
    void keep(const std::string& line) override;
    void remove() override;
    std::string name() const override;
};

// Restart 5 seconds after each of the first three failures; the description.
void setRecovery(const char* description);

// The Application log's source "Ventrix" with this executable's message table.
void registerEventSource();

// The system's text for an error code.
std::string errorText(DWORD error);

}  // namespace ventrix
