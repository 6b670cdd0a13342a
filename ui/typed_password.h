// A password edit's text in both forms a check may need: its 8-bit text (the
// PC's own password is stored so) and UTF-8 (every verifier is made of it).
#pragma once

#include <windows.h>

#include "control/policy_access.h"

namespace ventrix {

// Up to 255 characters, as the prompts have always taken.
TypedPassword readTypedPassword(HWND dialog, int id);

}  // namespace ventrix
