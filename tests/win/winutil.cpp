#include "winutil.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <objidl.h>

#include <gtest/gtest.h>

#include "resource.h"

bool BuildOutputPath(const WCHAR *name, WCHAR *path, DWORD capacity)
{
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    if (length == 0 || length >= capacity)
        return false;
    // strip "\<test>.exe" and "\tests"
    for (int cut = 0; cut < 2; cut++) {
        WCHAR *slash = wcsrchr(path, L'\\');
        if (!slash)
            return false;
        *slash = 0;
    }
    size_t used = wcslen(path);
    if (used + 1 + wcslen(name) + 1 > capacity)
        return false;
    path[used] = L'\\';
    wcscpy(path + used + 1, name);
    return true;
}

void DeleteUserKey(const WCHAR *path)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, path);
    RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

void DeleteTree(const WCHAR *path)
{
    WCHAR pattern[MAX_PATH * 2];
    swprintf(pattern, ARRAYSIZE(pattern), L"%ls\\*", path);
    size_t length = wcslen(pattern);
    if (length > 2 && pattern[length - 3] == L'\\' && pattern[length - 2] == L'\\')
        wcscpy(pattern + length - 3, L"\\*");  // the path already ended in a backslash
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
                continue;
            WCHAR child[MAX_PATH * 2];
            wcscpy(child, pattern);
            child[wcslen(child) - 1] = 0;
            wcscat(child, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path);
}

void CleanUserState()
{
    static const WCHAR *const keys[] = {
        L"Software\\Orbelune",
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune",
        L"Software\\Classes\\Directory\\shell\\Kestrefond",
        L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond",
        L"Software\\Classes\\.qtxt",
        L"Software\\Classes\\Quillmarsh.Document",
        L"Software\\Classes\\.cvx",
        L"Software\\Classes\\Cryvane.File",
        L"Software\\Classes\\.dmk",
        L"Software\\Classes\\Drumlake.File",
    };
    for (const WCHAR *key : keys)
        DeleteUserKey(key);

    WCHAR folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK) {
        wcscat(folder, L"\\Orbelune");
        DeleteTree(folder);
    }
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK) {
        wcscat(folder, L"\\Orbelune");
        DeleteTree(folder);
    }
}

bool MakeTempFolder(WCHAR *path, DWORD capacity)
{
    static LONG counter;
    WCHAR given[MAX_PATH], base[MAX_PATH];
    path[0] = 0;
    DWORD length = GetTempPathW(ARRAYSIZE(given), given);
    if (length == 0 || length >= ARRAYSIZE(given)) {
        ADD_FAILURE() << "no temp folder: GetTempPathW failed with " << GetLastError();
        return false;
    }
    // TMP may name the folder by its short (8.3) names; the shell answers
    // with long ones, against which the tests compare their paths.
    length = GetLongPathNameW(given, base, ARRAYSIZE(base));
    if (length == 0 || length >= ARRAYSIZE(base))
        wcscpy(base, given);
    if (swprintf(path, capacity, L"%lsorbelune-test-%lu-%ld\\", base, GetCurrentProcessId(),
                 InterlockedIncrement(&counter)) < 0) {
        ADD_FAILURE() << "temp folder path too long for " << capacity << " units";
        path[0] = 0;
        return false;
    }
    DeleteTree(path);
    if (!CreateDirectoryW(path, nullptr)) {
        ADD_FAILURE() << "temp folder " << std::string(path, path + wcslen(path)) << " not made: error "
                      << GetLastError();
        return false;
    }
    return true;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool WriteText(const std::wstring &path, const char *text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
    return ok && written == strlen(text);
}

bool ReadWholeFile(const WCHAR *path, BYTE **data, DWORD *size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD length = GetFileSize(file, nullptr);
    BYTE *bytes = static_cast<BYTE *>(malloc(length ? length : 1));
    DWORD got = 0;
    bool ok = bytes && ReadFile(file, bytes, length, &got, nullptr) && got == length;
    CloseHandle(file);
    if (!ok) {
        free(bytes);
        return false;
    }
    *data = bytes;
    *size = length;
    return true;
}

InProcessSetup::InProcessSetup() : comReady_(false)
{
    PrepareSetupState(&state_, GetModuleHandleW(nullptr));
}

InProcessSetup::~InProcessSetup()
{
    if (state_.mainWindow && IsWindow(state_.mainWindow)) {
        KillTimer(state_.mainWindow, StepTimerId);
        state_.phase = Closing;
        DestroyWindow(state_.mainWindow);
    }
    // Drop the quit message and anything else still queued for this run.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    FreePayloadBuffer(&state_.payload);
    setupState = nullptr;
    if (comReady_)
        CoUninitialize();
}

bool InProcessSetup::Prepare()
{
    comReady_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    return comReady_ && InitSetupPaths();
}

bool InProcessSetup::Start()
{
    if (!Prepare())
        return false;
    state_.mainWindow = CreateDialogParamW(state_.instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (!state_.mainWindow)
        return false;
    PumpFor(50);
    return true;
}

// Takes one waiting message and dispatches it as the setup's loop does; false
// when none was waiting or it was the quit message (*quit then set).
static bool DispatchWaiting(bool *quit, bool *stepRan = nullptr)
{
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (message.message == WM_QUIT) {
        *quit = true;
        return false;
    }
    bool stepDue = setupState && message.message == WM_TIMER && message.hwnd == setupState->mainWindow &&
                   setupState->pendingStep != 0;
    HWND page = setupState ? setupState->pages[setupState->currentPage] : nullptr;
    if (!page || !IsDialogMessageW(page, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // A tick that found a held file leaves its step due, to be tried again.
    if (stepRan)
        *stepRan = stepDue && setupState->heldPart == 0;
    return true;
}

bool PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    bool quit = false;
    do {
        while (DispatchWaiting(&quit)) {
        }
        if (quit)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
    return true;
}

int PumpInstallSteps(DWORD timeoutMs, const std::function<void(int step)> &afterStep)
{
    DWORD start = GetTickCount();
    bool quit = false;
    int steps = 0;
    while (setupState->phase != Finished && !quit && GetTickCount() - start < timeoutMs) {
        bool stepRan = false;
        if (!DispatchWaiting(&quit, &stepRan))
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        else if (stepRan)
            afterStep(steps++);
    }
    return steps;
}

void Click(HWND button)
{
    SendMessageW(button, BM_CLICK, 0, 0);
    PumpFor(30);
}

bool UserKeyExists(const WCHAR *path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool AppDataFolderExists()
{
    WCHAR folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return false;
    wcscat(folder, L"\\Orbelune");
    return GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
}

std::wstring LinkTarget(const std::wstring &link)
{
    IShellLinkW *shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void **>(&shellLink))))
        return L"<no shell link object>";
    std::wstring target = L"<not loaded>";
    IPersistFile *file = nullptr;
    if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        if (SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
            WCHAR path[MAX_PATH] = L"";
            if (SUCCEEDED(shellLink->GetPath(path, ARRAYSIZE(path), nullptr, 0)))
                target = path;
        }
        file->Release();
    }
    shellLink->Release();
    return target;
}

std::string StatusText(InProcessSetup &setup)
{
    char text[128] = "";
    GetDlgItemTextA(setup.Page(ProgressPage), IDC_STATUS, text, sizeof(text));
    return text;
}

int BarPosition(InProcessSetup &setup)
{
    return static_cast<int>(SendMessageW(setup.Control(ProgressPage, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
}

std::vector<std::wstring> DetailLines(InProcessSetup &setup)
{
    std::vector<std::wstring> lines;
    HWND list = setup.State().detailsList;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        WCHAR line[512] = L"";
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < LRESULT(ARRAYSIZE(line)))
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        lines.push_back(line);
    }
    return lines;
}

void ExpectLines(const std::vector<std::wstring> &actual, const std::vector<std::wstring> &expected)
{
    EXPECT_EQ(actual.size(), expected.size()) << "number of details lines";
    for (size_t i = 0; i < actual.size() && i < expected.size(); i++)
        EXPECT_EQ(actual[i], expected[i]) << "details line " << i << ": " << std::string(actual[i].begin(), actual[i].end());
}

void ExpectEntryFile(InProcessSetup &setup, const std::wstring &path, UINT32 entry, bool stamped)
{
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    const SetupState &state = setup.State();
    BYTE *data = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(ReadWholeFile(path.c_str(), &data, &size)) << "file missing";
    EXPECT_EQ(size, state.entries[entry].size) << "size of entry " << entry;
    if (size == state.entries[entry].size)
        EXPECT_EQ(memcmp(data, state.payload.data + state.entries[entry].offset, size), 0)
            << "bytes of entry " << entry;
    free(data);
    if (!stamped)
        return;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes));
    const PayloadFileTime &recorded = state.entries[entry].lastWriteTime;
    EXPECT_EQ(attributes.ftLastWriteTime.dwLowDateTime, recorded.dwLowDateTime) << "recorded time of entry " << entry;
    EXPECT_EQ(attributes.ftLastWriteTime.dwHighDateTime, recorded.dwHighDateTime) << "recorded time of entry " << entry;
}

void *PatchImport(const char *name, void *replacement)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    const IMAGE_NT_HEADERS *headers =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    void *previous = nullptr;
    IMAGE_IMPORT_DESCRIPTOR *module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
    for (; module->Name; module++) {
        if (_stricmp(reinterpret_cast<const char *>(base + module->Name), "kernel32.dll") != 0)
            continue;
        IMAGE_THUNK_DATA *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME *import =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char *>(import->Name), name) != 0)
                continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection);
            if (!previous)
                previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
        }
    }
    return previous;
}
