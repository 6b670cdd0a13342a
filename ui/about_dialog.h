// The about box with its hover-underlined web link.
#pragma once

#include <windows.h>

namespace ventrix {

// The project's web address: the link's text names it, a click opens it.
inline constexpr const char* LinkAddress = "http://ventrix.example";

// A static text control turned into a web link by replacing its procedure.
struct Hyperlink {
    HWND control = nullptr;
};

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

bool attachHyperlink(Hyperlink& link, HWND control);
LRESULT CALLBACK hyperlinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// How a click opens the address; tests record it instead of starting a browser.
using LinkOpener = void (*)(const char* address);
void setLinkOpener(LinkOpener opener);  // null restores the shell's "Open"

}  // namespace ventrix
