/* Holds the Wine prefix's services up between test programs. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)instance; (void)previous; (void)commandLine; (void)show;
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
