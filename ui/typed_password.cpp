#include "ui/typed_password.h"

#include <string>

#include "policy/win32/wide_text.h"

namespace ventrix {

TypedPassword readTypedPassword(HWND dialog, int id) {
    char ansi[256] = {};
    wchar_t wide[256] = {};
    GetDlgItemTextA(dialog, id, ansi, sizeof ansi);
    GetDlgItemTextW(dialog, id, wide, 256);
    TypedPassword typed;
    typed.ansi = ansi;
    std::wstring text(wide);
    if (!utf8FromWide(text, typed.utf8)) typed.utf8.clear();  // no verifier is made of broken text
    SecureZeroMemory(ansi, sizeof ansi);
    SecureZeroMemory(wide, sizeof wide);
    SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    return typed;
}

}  // namespace ventrix
