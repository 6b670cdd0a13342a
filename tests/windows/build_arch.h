#pragma once
// What differs between the x86 and the x64 build, as the tests expect it.
#include <windows.h>

namespace ventrix {
#ifdef _WIN64
inline constexpr const char* BuildArchitecture = "amd64";
inline constexpr DWORD TrayRecordSize = 104;  // NOTIFYICONDATAA up to szTip, 8-byte handles
inline constexpr WORD BuildMachine = 0x8664;  // IMAGE_FILE_MACHINE_AMD64
#else
inline constexpr const char* BuildArchitecture = "x86";
inline constexpr DWORD TrayRecordSize = 88;
inline constexpr WORD BuildMachine = 0x014c;  // IMAGE_FILE_MACHINE_I386
#endif
}  // namespace ventrix
