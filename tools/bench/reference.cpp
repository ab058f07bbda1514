// The reference program of the start-up figures: what the setup program
// does before its window appears, without the payload and without the four
// wizard pages. The same manifest, COM and common-controls start, the
// stored-folder look-up, the two shell-folder look-ups, one dialog of the
// setup's template size and title shown the same way (icon, centred,
// SW_SHOWNORMAL), and the same message loop, entered as the setup is (its
// own entry, the DLL search restricted to the system folder first).
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <string.h>

#include "reference.h"

static HWND mainWindow;
static HICON appIcon;
static WCHAR installDir[300];
static WCHAR shortcutDir[300];

static INT_PTR CALLBACK ReferenceDialogProc(HWND window, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowTextW(window, L"Orbelune App Pack (Single User)");
        appIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_REFERENCE_ICON));
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon));
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon));
        SetTimer(window, 1, 125, nullptr);
        RECT work = {}, rect = {};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        GetWindowRect(window, &rect);
        int left = work.left + ((work.right - work.left) - (rect.right - rect.left)) / 2;
        int top = work.top + ((work.bottom - work.top) - (rect.bottom - rect.top)) / 2;
        SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(window, SW_SHOWNORMAL);
        return TRUE;
    }
    case WM_CLOSE:
        KillTimer(window, 1);
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

// The setup's folder look-ups: the stored install folder, else the roaming
// application-data folder, then the Start-menu programs folder.
static bool LookUpFolders()
{
    bool stored = false;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbelune", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD bytes = 472;
        LONG read = RegQueryValueExW(key, L"AppPath", nullptr, nullptr, reinterpret_cast<BYTE *>(installDir), &bytes);
        RegCloseKey(key);
        DWORD attributes = GetFileAttributesW(installDir);
        stored = read == ERROR_SUCCESS && attributes != INVALID_FILE_ATTRIBUTES &&
                 (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (!stored && SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, installDir) != S_OK)
        return false;
    return SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, shortcutDir) == S_OK;
}

static int RunReference(HINSTANCE instance)
{
    MSG message;
    memset(&message, 0, sizeof(message));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 0;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    if (InitCommonControlsEx(&controls) && LookUpFolders()) {
        mainWindow = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_REFERENCE), nullptr, ReferenceDialogProc, 0);
        if (mainWindow) {
            while (message.message != WM_QUIT) {
                if (GetMessageW(&message, nullptr, 0, 0) > 0 && !IsDialogMessageW(mainWindow, &message)) {
                    TranslateMessage(&message);
                    DispatchMessageW(&message);
                }
            }
        }
    }
    CoUninitialize();
    return 0;
}

extern "C" void SetupEntry()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ExitProcess(RunReference(GetModuleHandleW(nullptr)));
}
