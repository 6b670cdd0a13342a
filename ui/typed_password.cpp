#include "ui/typed_password.h"

#include <string>

#include "app/app_context.h"
#include "policy/win32/wide_text.h"

namespace ventrix {
namespace {

constexpr int MaxPasswordChars = 255;

// As the system turns wide text into an ANSI window's: the code page's best
// fit, '?' for a letter it lacks, cut to the 255 bytes a prompt ever gave.
std::string ansiFromWide(const std::wstring& wide) {
    std::string out;
    if (wide.empty()) return out;
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return out;
    out.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_ACP, 0, wide.data(), length, out.data(), size, nullptr, nullptr);
    if (out.size() > MaxPasswordChars) {
        SecureZeroMemory(out.data() + MaxPasswordChars, out.size() - MaxPasswordChars);
        out.resize(MaxPasswordChars);
    }
    return out;
}

}  // namespace

TypedPassword readTypedPassword(HWND dialog, int id) {
    wchar_t wide[MaxPasswordChars + 1] = {};
    GetDlgItemTextW(dialog, id, wide, MaxPasswordChars + 1);
    TypedPassword typed;
    std::wstring text(wide);
    typed.ansi = ansiFromWide(text);
    if (!utf8FromWide(text, typed.utf8)) typed.utf8.clear();  // no verifier is made of broken text
    SecureZeroMemory(wide, sizeof wide);
    SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    return typed;
}

void openPasswordDialog(int templateId, DLGPROC procedure, HWND owner) {
    DialogBoxParamW(app().module, MAKEINTRESOURCEW(templateId), owner, procedure, 0);
}

}  // namespace ventrix
