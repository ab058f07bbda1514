// The second reference program of the start-up figures: the setup program's
// own start-up code, dialogs and pages, with the payload step alone left out
// (no resource look-up, no decoding; the license box stays empty). Against
// it, the setup's extra time and memory are the payload's.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include "install.h"
#include "paths.h"
#include "resource.h"
#include "setup.h"

// InitSetupPaths without LoadPayload: the stored folder, else the default
// one, and the Start-menu folder.
static bool SetUpFoldersWithoutPayload(SetupState *state)
{
    HKEY key;
    bool accepted = false;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, BuildKeyPath(L"Orbelune"), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD bytes = StoredPathByteLimit;
        LONG read = RegQueryValueExW(key, L"AppPath", nullptr, nullptr, reinterpret_cast<BYTE *>(state->installDir),
                                     &bytes);
        RegCloseKey(key);
        DWORD attributes = GetFileAttributesW(state->installDir);
        accepted = read == ERROR_SUCCESS && attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (accepted) {
        memcpy(state->browseDir, state->installDir, sizeof(state->browseDir));
        AppendSeparator(state->installDir);
    } else {
        memset(state->installDir, 0, sizeof(state->installDir));
        if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, state->installDir) != S_OK)
            return false;
        AppendSeparator(state->installDir);
        memcpy(state->browseDir, state->installDir, sizeof(state->browseDir));
        wcscat(state->installDir, L"Orbelune");
        AppendSeparator(state->installDir);
    }
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, state->shortcutDir) != S_OK)
        return false;
    AppendSeparator(state->shortcutDir);
    wcscat(state->shortcutDir, L"Orbelune");
    AppendSeparator(state->shortcutDir);
    return true;
}

// The entry as the setup's own (app/main.cpp): the DLL search restricted
// first (under Wine that alone adds about 50 ms to the first window, which
// is not the payload's), no C runtime start-up.
static int RunWithoutPayload(HINSTANCE instance)
{
    SetupState state;
    PrepareSetupState(&state, instance);
    MSG message;
    memset(&message, 0, sizeof(message));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 0;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    if (InitCommonControlsEx(&controls) && SetUpFoldersWithoutPayload(&state)) {
        state.mainWindow = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
        if (state.mainWindow) {
            while (message.message != WM_QUIT)
                PumpSetupMessage(&message);
        }
    }
    CoUninitialize();
    return 0;
}

extern "C" void SetupEntry()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ExitProcess(RunWithoutPayload(GetModuleHandleW(nullptr)));
}
