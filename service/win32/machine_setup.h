// What the service sets up on the PC at every start, since no package can
// write it (wixl writes no access lists and no failure actions): the data
// folder only SYSTEM and Administrators can touch, the key the machine
// package leaves the administrator's verifier in, the restarts after a
// failure, and the event log's source.
#pragma once

#include <windows.h>

#include <string>

namespace ventrix {

inline constexpr const char* SetupKey = "SOFTWARE\\Ventrix\\Setup";
inline constexpr const char* SetupValue = "PasswordVerifier";

// %ProgramData%\Ventrix, made if missing; empty when there is none.
std::string dataFolder();

// SYSTEM and Administrators full control, nobody else anything, inherited by
// everything inside; the folder's or key's own list replaces any inherited one.
// 0, or the system's error.
DWORD protectFolder(const std::string& folder);
DWORD protectSetupKey();

// The verifier the machine package left, taken and removed; false when none
// was there (an empty one means the install was given none).
bool takeSetupVerifier(std::string& line);

// Restart 5 seconds after each of the first three failures; the description.
void setRecovery(const char* description);

// The Application log's source "Ventrix" with this executable's message table.
void registerEventSource();

// The system's text for an error code.
std::string errorText(DWORD error);

}  // namespace ventrix
