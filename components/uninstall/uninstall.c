/* Uninstaller of the Orbelune App Pack (Single User). */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    MessageBoxW(NULL, L"Orbelune App Pack uninstaller.", L"Orbelune App Pack (Single User)",
                MB_OK | MB_ICONINFORMATION);
    return 0;
}
