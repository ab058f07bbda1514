/* A DLL to plant beside copies of the shipped programs. Whenever a process
 * loads it, it leaves a marker file beside itself: its own path followed by
 * ".loaded". It exports nothing and does nothing else. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR marker[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcpyW(marker + length, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
