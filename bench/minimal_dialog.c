/* The yardstick for start-up and memory: the least a Win32 dialog program
   does, a modal dialog on an empty template. WM_CLOSE ends it.
   Built a second time with SAME_DLLS: then it also carries ventrix.exe's
   common-controls manifest, initialises the list-view classes and imports
   crypt32 and shell32 (never calling them), which shows how much of the
   difference is the system DLLs alone. */
#include <windows.h>
#ifdef SAME_DLLS
#include <commctrl.h>
#include <shellapi.h>
#include <wincrypt.h>
#endif

static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    if (message == WM_CLOSE) EndDialog(dialog, 0);
    return FALSE;
}

#ifdef SAME_DLLS
/* Taken by address so the imports stay; a non-zero argc never calls them. */
static volatile FARPROC keepImports[2];
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)commandLine;
    (void)show;
#ifdef SAME_DLLS
    keepImports[0] = (FARPROC)CryptProtectData;
    keepImports[1] = (FARPROC)Shell_NotifyIconA;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
#endif
    DialogBoxParamA(instance, MAKEINTRESOURCEA(1), NULL, dialogProc, 0);
    return 0;
}
