/* Uninstaller of the Orbelune App Pack (Single User).
 *
 * Started from the install folder (through the uninstall entry's
 * "UninstallString"), it asks once, then removes exactly what setup wrote:
 * the eight programs in its own folder, their Start-menu links, the file
 * types and context-menu verbs, the recorded folder and the uninstall entry.
 * Its own file cannot be deleted while it runs, so a copy of it in a folder
 * of its own under the user's temp folder waits for it to exit, deletes it and
 * removes the install folder when nothing else is left in it.
 *
 *   uninstall.exe [/S]                    remove the pack (/S: no questions)
 *   uninstall.exe /cleanup HANDLE PATH    the temp copy's part (internal)
 */
#include <windows.h>
#include <shlobj.h>
#include <wchar.h>

enum { PathUnits = 520, ReportUnits = 4096, ComponentCount = 8 };

static const WCHAR Caption[] = L"Orbelune App Pack (Single User) Uninstall";
static const WCHAR *const ComponentNames[ComponentCount] = {
    L"Vantok", L"Brindlecap", L"Ostravelind", L"Zafrin",
    L"Kestrefond", L"Quillmarsh", L"Cryvane", L"Drumlake",
};
static const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

/* Keys that are wholly the pack's: deleted with everything below them. The
 * keys on the way to them (Directory\shell, SystemFileAssociations\audio\shell)
 * may be the user's or another program's, so they stay. */
static const WCHAR *const OwnedKeys[] = {
    L"Software\\Classes\\Directory\\shell\\Kestrefond",
    L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond",
    L"Software\\Classes\\Quillmarsh.Document",
    L"Software\\Classes\\Cryvane.File",
    L"Software\\Classes\\Drumlake.File",
};

struct Extension {
    const WCHAR *key;
    const WCHAR *typeName;
};
static const struct Extension Extensions[] = {
    {L"Software\\Classes\\.qtxt", L"Quillmarsh.Document"},
    {L"Software\\Classes\\.cvx", L"Cryvane.File"},
    {L"Software\\Classes\\.dmk", L"Drumlake.File"},
};

static WCHAR report[ReportUnits];
static int failures;

static void Append(WCHAR *buffer, size_t capacity, const WCHAR *text)
{
    size_t used = wcslen(buffer);
    while (*text && used + 1 < capacity)
        buffer[used++] = *text++;
    buffer[used] = 0;
}

static void ReportLeft(const WCHAR *what)
{
    failures++;
    Append(report, ReportUnits, L"\n");
    Append(report, ReportUnits, what);
}

/* Deletes a file; a file that is already gone is no failure. */
static void RemoveFile(const WCHAR *path)
{
    if (DeleteFileW(path))
        return;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        ReportLeft(path);
}

static BOOL KeyIsEmpty(HKEY key)
{
    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        return FALSE;
    return subkeys == 0 && values == 0;
}

static void DeleteKeyIfEmpty(const WCHAR *path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    BOOL empty = KeyIsEmpty(key);
    RegCloseKey(key);
    if (empty)
        RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

static void DeleteOwnedKey(const WCHAR *path)
{
    LONG result = RegDeleteTreeW(HKEY_CURRENT_USER, path);
    if (result == ERROR_SUCCESS)
        result = RegDeleteKeyW(HKEY_CURRENT_USER, path);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        WCHAR line[300] = L"HKEY_CURRENT_USER\\";
        Append(line, ARRAYSIZE(line), path);
        ReportLeft(line);
    }
}

/* An extension's default value goes only while it still names our type;
 * the key goes only when nothing else is left in it. */
static void RemoveExtension(const struct Extension *extension)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, extension->key, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    WCHAR value[128];
    DWORD type = 0, bytes = sizeof(value) - sizeof(WCHAR);
    memset(value, 0, sizeof(value));
    if (RegQueryValueExW(key, NULL, NULL, &type, (BYTE *)value, &bytes) == ERROR_SUCCESS && type == REG_SZ &&
        wcscmp(value, extension->typeName) == 0)
        RegDeleteValueW(key, NULL);
    BOOL empty = KeyIsEmpty(key);
    RegCloseKey(key);
    if (empty)
        RegDeleteKeyW(HKEY_CURRENT_USER, extension->key);
}

static void RemoveRecordedFolder(void)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbelune", 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"AppPath");
        RegCloseKey(key);
    }
    DeleteKeyIfEmpty(L"Software\\Orbelune");
}

static void RemoveRegistrations(void)
{
    for (int i = 0; i < (int)ARRAYSIZE(OwnedKeys); i++)
        DeleteOwnedKey(OwnedKeys[i]);
    for (int i = 0; i < (int)ARRAYSIZE(Extensions); i++)
        RemoveExtension(&Extensions[i]);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL);
}

static void RemoveShortcuts(void)
{
    WCHAR folder[PathUnits];
    if (SHGetFolderPathW(NULL, CSIDL_PROGRAMS, NULL, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return;
    Append(folder, PathUnits, L"\\Orbelune\\");
    size_t base = wcslen(folder);
    for (int k = 0; k < ComponentCount; k++) {
        folder[base] = 0;
        Append(folder, PathUnits, ComponentNames[k]);
        Append(folder, PathUnits, L".lnk");
        RemoveFile(folder);
    }
    folder[base] = 0;
    RemoveDirectoryW(folder); /* stays when the user keeps something of his own there */
}

static void RemovePrograms(const WCHAR *installFolder)
{
    WCHAR path[PathUnits];
    for (int k = 0; k < ComponentCount; k++) {
        path[0] = 0;
        Append(path, PathUnits, installFolder);
        Append(path, PathUnits, ComponentNames[k]);
        Append(path, PathUnits, L".exe");
        RemoveFile(path);
    }
}

/* Starts the temp copy that deletes this program once it has exited.
 * Returns FALSE when the copy cannot be made or started. */
static BOOL StartSelfRemoval(const WCHAR *selfPath)
{
    WCHAR folder[PathUnits], copy[PathUnits], command[PathUnits * 2 + 64];
    DWORD length = GetTempPathW(PathUnits, folder);
    if (length == 0 || length >= PathUnits - 64)
        return FALSE;
    WCHAR unique[64];
    swprintf(unique, ARRAYSIZE(unique), L"Orbelune-uninstall-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    Append(folder, PathUnits, unique);
    if (!CreateDirectoryW(folder, NULL))
        return FALSE;
    copy[0] = 0;
    Append(copy, PathUnits, folder);
    Append(copy, PathUnits, L"\\uninstall.exe");
    if (!CopyFileW(selfPath, copy, FALSE))
        return FALSE;

    HANDLE self = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, SYNCHRONIZE, TRUE, 0))
        return FALSE;
    /* Kernel handles fit 32 bits. */
    swprintf(command, ARRAYSIZE(command), L"\"%ls\" /cleanup %lu \"%ls\"", copy,
             (unsigned long)(ULONG_PTR)self, selfPath);
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    BOOL started = CreateProcessW(copy, command, NULL, NULL, TRUE, 0, NULL, folder, &startup, &process);
    CloseHandle(self);
    if (!started)
        return FALSE;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}

/* The temp copy: waits for the uninstaller to exit, deletes it, and removes
 * the install folder when it is empty. */
static int FinishSelfRemoval(HANDLE original, const WCHAR *originalPath)
{
    WaitForSingleObject(original, 60000);
    CloseHandle(original);
    for (int attempt = 0; attempt < 50; attempt++) {
        if (DeleteFileW(originalPath) || GetLastError() == ERROR_FILE_NOT_FOUND)
            break;
        Sleep(100);
    }
    WCHAR folder[PathUnits];
    folder[0] = 0;
    Append(folder, PathUnits, originalPath);
    WCHAR *slash = wcsrchr(folder, L'\\');
    if (slash) {
        *slash = 0;
        RemoveDirectoryW(folder);
    }
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    if (argc == 4 && wcscmp(argv[1], L"/cleanup") == 0) {
        HANDLE original = (HANDLE)(ULONG_PTR)wcstoul(argv[2], NULL, 10);
        int code = FinishSelfRemoval(original, argv[3]);
        LocalFree(argv);
        return code;
    }
    BOOL silent = FALSE;
    for (int i = 1; i < argc; i++) {
        if (_wcsicmp(argv[i], L"/S") == 0)
            silent = TRUE;
    }
    LocalFree(argv);

    if (!silent &&
        MessageBoxW(NULL, L"Do you want to remove Orbelune App Pack (Single User) and all of its programs?",
                    Caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return ERROR_CANCELLED;

    WCHAR selfPath[PathUnits], installFolder[PathUnits];
    DWORD length = GetModuleFileNameW(NULL, selfPath, PathUnits);
    if (length == 0 || length >= PathUnits)
        return 1;
    installFolder[0] = 0;
    Append(installFolder, PathUnits, selfPath);
    WCHAR *slash = wcsrchr(installFolder, L'\\');
    if (!slash)
        return 1;
    slash[1] = 0;

    report[0] = 0;
    Append(report, ReportUnits, L"Some parts of Orbelune App Pack (Single User) could not be removed. "
                                L"Close the programs of the pack and run the uninstaller again.\n\nLeft in place:");
    RemovePrograms(installFolder);
    RemoveShortcuts();
    RemoveRegistrations();

    if (failures) {
        /* The uninstall entry stays, so that the user can try again. */
        if (!silent)
            MessageBoxW(NULL, report, Caption, MB_OK | MB_ICONWARNING);
        return 2;
    }
    RemoveRecordedFolder();
    DeleteOwnedKey(UninstallKey);
    StartSelfRemoval(selfPath);
    if (!silent)
        MessageBoxW(NULL, L"Orbelune App Pack (Single User) was removed from your computer.", Caption,
                    MB_OK | MB_ICONINFORMATION);
    return 0;
}
