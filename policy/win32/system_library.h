// Functions of Windows' own DLLs that not every Windows (or Wine) has: the
// DLL is loaded when first needed and the function looked up, so the program
// still starts where either is missing and does without it.
#pragma once

#include <windows.h>

namespace ventrix {

// GetProcAddress's result as the function's own type (through the generic
// function pointer type, which converts to any other without a warning).
template <typename Function>
Function entry(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A DLL from the system folder only, never one planted beside the program.
inline HMODULE loadSystemLibrary(const char* name) {
    char path[MAX_PATH + 32] = {};
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    lstrcatA(path, "\\");
    lstrcatA(path, name);
    return LoadLibraryA(path);
}

}  // namespace ventrix
