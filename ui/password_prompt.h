// The "Login" prompt: one template, three procedures (unlock, exit, configure).
#pragma once

#include <windows.h>

namespace ventrix {

bool checkPassword(const char* text);
INT_PTR CALLBACK unlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK exitPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
// Unlock for app().PendingUnlockMinutes, then lock again by itself.
INT_PTR CALLBACK timedUnlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK configurePromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);

// This process's own top-level window with the title, or null: a window of
// another program with the same title must never be taken for ours.
HWND findOwnWindow(const char* title);

}  // namespace ventrix
