// A password edit's text in both forms a check may need: its 8-bit text (the
// PC's own password is stored so) and UTF-8 (every verifier is made of it).
#pragma once

#include <windows.h>

#include "control/policy_access.h"

namespace ventrix {

// Up to 255 characters, as the prompts have always taken: read as wide text,
// then the ANSI code page's bytes (what an ANSI edit gave) and UTF-8.
TypedPassword readTypedPassword(HWND dialog, int id);

// Opens a dialog with password edits as a Unicode window, modal to `owner`:
// an ANSI edit on Windows keeps only the letters of the PC's code page, so a
// passphrase in another script could not be typed at all.
void openPasswordDialog(int templateId, DLGPROC procedure, HWND owner);

}  // namespace ventrix
