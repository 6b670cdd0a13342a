#include "ui/about_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include "app/app_context.h"
#include "resources/resource.h"

namespace ventrix {
namespace {

constexpr COLORREF LinkColorNormal = RGB(0, 0, 200);
constexpr COLORREF LinkColorHover = RGB(200, 0, 0);

// Shared by every link; the program has one.
WNDPROC LinkPrevProc = nullptr;
bool LinkHover = false;
HFONT LinkFontNormal = nullptr;
HFONT LinkFontHover = nullptr;
HCURSOR LinkCursor = nullptr;

void shellOpen(const char* address) {
    ShellExecuteA(nullptr, "Open", address, nullptr, nullptr, SW_SHOW);
}

LinkOpener openLink = shellOpen;

HFONT createLinkFont(bool underlined) {
    LOGFONTA font{};
    font.lfHeight = -11;
    font.lfWidth = 0;
    font.lfEscapement = 1;
    font.lfOrientation = 1;
    font.lfWeight = FW_NORMAL;
    font.lfItalic = 0;
    font.lfUnderline = underlined ? 1 : 0;
    font.lfStrikeOut = 0;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfOutPrecision = 0;
    font.lfClipPrecision = 0;
    font.lfQuality = 0;
    font.lfPitchAndFamily = FF_ROMAN | DEFAULT_PITCH;
    lstrcpynA(font.lfFaceName, "Microsoft Sans Serif", LF_FACESIZE);
    return CreateFontIndirectA(&font);
}

// Each opening makes its own fonts; those of the previous opening are no
// longer selected anywhere, so they go.
void recreateFonts() {
    if (LinkFontNormal) DeleteObject(LinkFontNormal);
    if (LinkFontHover) DeleteObject(LinkFontHover);
    LinkFontNormal = createLinkFont(false);
    LinkFontHover = createLinkFont(true);
}

void redrawNow(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void trackLeave(HWND window) {
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = window;
    _TrackMouseEvent(&track);
}

LRESULT answerColours(HDC dc) {
    HBRUSH brush = GetSysColorBrush(COLOR_BTNFACE);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    SetTextColor(dc, LinkHover ? LinkColorHover : LinkColorNormal);
    SelectObject(dc, LinkHover ? LinkFontHover : LinkFontNormal);
    return reinterpret_cast<LRESULT>(brush);
}

void onMouseMove(HWND window) {
    LinkHover = true;
    redrawNow(window);
    trackLeave(window);
    SetCursor(LinkCursor);
}

void onMouseLeave(HWND window) {
    LinkHover = false;
    redrawNow(window);
}

LRESULT callPrevious(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsWindowUnicode(window)) return CallWindowProcW(LinkPrevProc, window, message, wParam, lParam);
    return CallWindowProcA(LinkPrevProc, window, message, wParam, lParam);
}

bool isFromLink(const Hyperlink& link, LPARAM lParam) {
    return link.control && reinterpret_cast<HWND>(lParam) == link.control;
}

}  // namespace

void setLinkOpener(LinkOpener opener) { openLink = opener ? opener : shellOpen; }

bool attachHyperlink(Hyperlink& link, HWND control) {
    link.control = control;
    LinkPrevProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control, GWLP_WNDPROC));
    SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(hyperlinkProc));
    SetWindowLongA(control, GWL_STYLE, GetWindowLongA(control, GWL_STYLE) | SS_NOTIFY);
    recreateFonts();
    LinkCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));  // IDC_HAND
    return true;
}

LRESULT CALLBACK hyperlinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_LINK) openLink(LinkAddress);
        break;
    case WM_CTLCOLORSTATIC: return answerColours(reinterpret_cast<HDC>(wParam));
    case WM_MOUSEMOVE: onMouseMove(window); break;
    case WM_MOUSELEAVE: onMouseLeave(window); break;
    }
    return callPrevious(window, message, wParam, lParam);
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    static Hyperlink AboutLink;  // lives for the run, re-attached at each opening
    switch (message) {
    case WM_INITDIALOG: attachHyperlink(AboutLink, GetDlgItem(dialog, IDC_LINK)); break;
    case WM_COMMAND:
        // Click and double click both open the site: the notification code is not read.
        if (LOWORD(wParam) == IDC_LINK && isFromLink(AboutLink, lParam))
            return hyperlinkProc(dialog, message, wParam, lParam);
        break;
    case WM_CTLCOLORSTATIC:
        if (isFromLink(AboutLink, lParam)) return hyperlinkProc(dialog, message, wParam, lParam);
        break;
    case WM_CLOSE:
    case WM_DESTROY: EndDialog(dialog, DialogResult); break;
    }
    return FALSE;
}

}  // namespace ventrix
