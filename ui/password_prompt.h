// The "Login" prompt: one template, three procedures (unlock, exit, configure).
#pragma once

#include <windows.h>

namespace ventrix {

INT_PTR CALLBACK unlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK exitPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
// Unlock for app().PendingUnlockMinutes, then lock again by itself.
INT_PTR CALLBACK timedUnlockPromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK configurePromptProc(HWND prompt, UINT message, WPARAM wParam, LPARAM lParam);

// An open Unlock or Unlock for prompt closes, unlocking nothing: the
// administrator no longer allows unlocking. Other prompts stay.
void closeUnlockPrompt();

// This process's own top-level window with the title, or null: a window of
// another program with the same title must never be taken for ours.
HWND findOwnWindow(const char* title);

}  // namespace ventrix
