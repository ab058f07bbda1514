// Start-up and teardown of the run, the stored install folder and the
// message loop.
#include "setup.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include "install.h"
#include "paths.h"
#include "payload.h"
#include "resource.h"

SetupState *setupState;

static const char InitFailedText[] = "Setup initialization failed.";
static const char InitFailedCaption[] = "Error";

void PrepareSetupState(SetupState *state, HINSTANCE instance)
{
    memset(state, 0, sizeof(*state));
    state->instance = instance;
    for (int i = 0; i < ComponentNameCount; i++)
        state->componentNames[i] = ComponentNameTable[i];
    setupState = state;
}

void ShowInitFailure()
{
    // mainWindow is still null whenever this is shown: the box has no owner.
    MessageBoxA(setupState->mainWindow, InitFailedText, InitFailedCaption, MB_ICONERROR);
}

// Appends text to a path buffer of PathBufferUnits units, within its bound.
static void AppendToPath(WCHAR *path, const WCHAR *text)
{
    size_t used = wcslen(path);
    while (*text && used < PathBufferUnits - 1)
        path[used++] = *text++;
    path[used] = 0;
}

static bool IsExistingFolder(const WCHAR *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool InitSetupPaths()
{
    SetupState *state = setupState;
    if (LoadPayload(state) != 0)
        return false;

    const WCHAR *keyPath = BuildKeyPath(L"Orbelune");
    bool accepted = false;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        // The bytes are taken as a UTF-16 path whatever their type; the units
        // after the StoredPathByteLimit bytes read stay zero, so the path is
        // always terminated, and a backslash and the longest file name still
        // fit behind it.
        DWORD bytes = StoredPathByteLimit;
        LONG read = RegQueryValueExW(key, L"AppPath", nullptr, nullptr,
                                     reinterpret_cast<BYTE *>(state->installDir), &bytes);
        RegCloseKey(key);
        accepted = read == ERROR_SUCCESS && IsExistingFolder(state->installDir);
    }

    if (accepted) {
        memcpy(state->browseDir, state->installDir, sizeof(state->browseDir));
        AppendSeparator(state->installDir);
    } else {
        // A failed read may have left part of a value behind.
        memset(state->installDir, 0, sizeof(state->installDir));
        if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, state->installDir) != S_OK)
            return false;
        AppendSeparator(state->installDir);
        memcpy(state->browseDir, state->installDir, sizeof(state->browseDir));
        AppendToPath(state->installDir, L"Orbelune");
        AppendSeparator(state->installDir);
    }

    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, state->shortcutDir) != S_OK)
        return false;
    AppendSeparator(state->shortcutDir);
    AppendToPath(state->shortcutDir, L"Orbelune");
    AppendSeparator(state->shortcutDir);
    return true;
}

BOOL PumpSetupMessage(MSG *message)
{
    BOOL result = GetMessageW(message, nullptr, 0, 0);
    if (result > 0) {
        HWND page = setupState->pages[setupState->currentPage];
        if (!IsDialogMessageW(page, message)) {
            TranslateMessage(message);
            DispatchMessageW(message);
        }
    }
    return result;
}

int WINAPI RunSetup(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetupState state;
    PrepareSetupState(&state, instance);

    MSG message;
    memset(&message, 0, sizeof(message));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        FreePayloadBuffer(&state.payload);
        return 0;
    }

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    if (InitCommonControlsEx(&controls)) {
        if (!InitSetupPaths()) {
            ShowInitFailure();
        } else {
            state.mainWindow = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                                  MainDialogProc, 0);
            if (!state.mainWindow) {
                ShowInitFailure();
            } else {
                // GetMessageW's -1 dispatches nothing; only WM_QUIT ends the loop.
                while (message.message != WM_QUIT)
                    PumpSetupMessage(&message);
            }
        }
    }

    CoUninitialize();
    int exitCode = message.message == WM_QUIT ? static_cast<int>(static_cast<UINT32>(message.wParam)) : 0;
    FreePayloadBuffer(&state.payload);
    return exitCode;
}
