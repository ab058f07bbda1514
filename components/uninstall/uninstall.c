/* Uninstaller of the Orbelune App Pack (Single User).
 *
 * Started from the install folder (through the uninstall entry's
 * "UninstallString"), it asks once, then removes exactly what setup wrote:
 * the eight programs in its own folder, their Start-menu links, the file
 * types and context-menu verbs, the recorded folder and the uninstall entry.
 * The pack may have been installed again in another folder since: a link, a
 * registration, the recorded folder or the entry that names that folder is
 * the other installation's, and stays.
 * Its own file cannot be deleted while it runs: it renames it to its
 * set-aside name, and the command processor of the system folder deletes
 * that, and the install folder when nothing else is left in it, once this
 * program has ended (StartSelfRemoval).
 *
 *   uninstall.exe [/S]                    remove the pack (/S: no questions)
 *
 * Any other argument is refused: no mode of this program, which is also
 * built to run elevated, deletes a path that its command line names.
 */
#include <windows.h>
#include <shlobj.h>
#include <wchar.h>

#include "dll_search.h"

enum { PathUnits = 520, ReportUnits = 4096, ComponentCount = 8, HeldLimit = 48, HeldWindowMs = 2000 };

static const WCHAR Caption[] = L"Orbelune App Pack (Single User) Uninstall";
static const WCHAR *const ComponentNames[ComponentCount] = {
    L"Vantok", L"Brindlecap", L"Ostravelind", L"Zafrin",
    L"Kestrefond", L"Quillmarsh", L"Cryvane", L"Drumlake",
};
static const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

#define CLASSES L"Software\\Classes\\"

/* Keys that are wholly the pack's, deleted with everything below them, and
 * the values that tell which installation wrote them: the command that they
 * run and, for a file type, its icon, which setup writes first, for a type
 * whose command a cut-off run did not write. A type goes with its
 * extension's value. */
struct Registration {
    const WCHAR *key;
    const WCHAR *command;
    const WCHAR *icon;      /* NULL: none */
    const WCHAR *extension; /* NULL: none; the type name is the key's last name */
};
static const struct Registration Registrations[] = {
    {CLASSES L"Directory\\shell\\Kestrefond", CLASSES L"Directory\\shell\\Kestrefond\\command", NULL, NULL},
    {CLASSES L"SystemFileAssociations\\audio\\shell\\Kestrefond",
     CLASSES L"SystemFileAssociations\\audio\\shell\\Kestrefond\\command", NULL, NULL},
    {CLASSES L"Quillmarsh.Document", CLASSES L"Quillmarsh.Document\\shell\\open\\command",
     CLASSES L"Quillmarsh.Document\\DefaultIcon", CLASSES L".qtxt"},
    {CLASSES L"Cryvane.File", CLASSES L"Cryvane.File\\shell\\open\\command", CLASSES L"Cryvane.File\\DefaultIcon",
     CLASSES L".cvx"},
    {CLASSES L"Drumlake.File", CLASSES L"Drumlake.File\\shell\\open\\command",
     CLASSES L"Drumlake.File\\DefaultIcon", CLASSES L".dmk"},
};

/* Keys on the way to the pack's own, deepest first. They may be the user's
 * or another program's: each goes only when it is empty afterwards, as an
 * empty key there carries nothing. */
static const WCHAR *const PathKeys[] = {
    CLASSES L"SystemFileAssociations\\audio\\shell",
    CLASSES L"SystemFileAssociations\\audio",
    CLASSES L"SystemFileAssociations",
    CLASSES L"Directory\\shell",
    CLASSES L"Directory",
};

/* Whose a link, a registration or a recorded value is. Unclaimed: it names
 * no path at all (absent or empty), so no installation can use it and it
 * goes with this one. Undecided: it could not be read (no shell link
 * object): it stays and counts as left in place. */
enum Owner { Unclaimed, Own, Elsewhere, Undecided };

/* What a value holds: a folder ("AppPath"), a command line with its program
 * first, in quotes where setup writes it ("C:\...\Quillmarsh.exe" "%1"),
 * an icon location (C:\...\Drumlake.exe,0), or, as the command line of
 * "UninstallString", this very program. */
enum ValueKind { FolderValue, CommandValue, IconValue, SelfValue };

static WCHAR report[ReportUnits];
static int failures;
/* Files another process held, tried again once more: HeldLimit paths, from
 * the heap when the first is held, as a zero array would take room in the
 * program's file. */
static WCHAR (*heldFiles)[PathUnits];
static int heldCount;
/* This program and its folder, as LongForm gives them. */
static WCHAR ownProgram[PathUnits], ownFolder[PathUnits];

static void Append(WCHAR *buffer, size_t capacity, const WCHAR *text)
{
    size_t used = wcslen(buffer);
    while (*text && used + 1 < capacity)
        buffer[used++] = *text++;
    buffer[used] = 0;
}

/* Writes into out (PathUnits) the form in which two spellings of one path
 * compare equal under SamePath: backslashes only, none at the end, and the
 * long form of each part. A path that no longer exists has no long form
 * (GetLongPathNameW fails), so the longest leading part that exists is
 * taken in its long form and the rest as it is spelt. Each part asked about
 * ends in its separator: "C:" alone would be the current folder of C:. */
static void LongForm(const WCHAR *path, WCHAR *out)
{
    WCHAR spelt[PathUnits], found[PathUnits];
    size_t length = 0;
    for (; path[length] && length + 1 < PathUnits; length++)
        spelt[length] = path[length] == L'/' ? L'\\' : path[length];
    spelt[length] = 0;
    out[0] = 0;
    Append(out, PathUnits, spelt);
    for (size_t end = length; end > 0;) {
        WCHAR kept = spelt[end];
        spelt[end] = 0;
        DWORD got = GetLongPathNameW(spelt, found, PathUnits);
        spelt[end] = kept;
        if (got > 0 && got < PathUnits) {
            out[0] = 0;
            Append(out, PathUnits, found);
            size_t used = wcslen(out);
            if (kept && used && out[used - 1] != L'\\')
                Append(out, PathUnits, L"\\");
            Append(out, PathUnits, spelt + end);
            break;
        }
        end--;
        while (end > 0 && spelt[end - 1] != L'\\')
            end--;
    }
    for (size_t used = wcslen(out); used > 0 && out[used - 1] == L'\\'; used--)
        out[used - 1] = 0;
}

/* File names compare without regard to case, as the file system does. */
static BOOL SamePath(const WCHAR *a, const WCHAR *b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

/* Whose the path of the given kind is: this installation's when it names
 * its folder, a program in its folder, or (SelfValue) this program. */
static enum Owner PathOwner(const WCHAR *value, enum ValueKind kind)
{
    WCHAR path[PathUnits], form[PathUnits];
    size_t length = wcslen(value);
    if (kind != FolderValue && value[0] == L'"') {
        const WCHAR *quote = wcschr(++value, L'"');
        length = quote ? (size_t)(quote - value) : wcslen(value);
    } else if (kind == IconValue) {
        const WCHAR *comma = wcsrchr(value, L',');
        if (comma)
            length = (size_t)(comma - value);
    }
    if (length == 0)
        return Unclaimed;
    wmemcpy(path, value, length);
    path[length] = 0;
    LongForm(path, form);
    if (kind == SelfValue)
        return SamePath(form, ownProgram) ? Own : Elsewhere;
    if (kind != FolderValue) {
        WCHAR *slash = wcsrchr(form, L'\\');
        if (!slash)
            return Elsewhere;
        *slash = 0;
    }
    return SamePath(form, ownFolder) ? Own : Elsewhere;
}

/* Whose the default value (name NULL) or the named value of HKCU\key is. A
 * value that is there but is not a text of a path's length is none of
 * setup's, so it is not this installation's either. */
static enum Owner ValueOwner(const WCHAR *key, const WCHAR *name, enum ValueKind kind)
{
    WCHAR value[PathUnits];
    DWORD bytes = sizeof(value);
    LONG result = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                               NULL, value, &bytes);
    if (result == ERROR_FILE_NOT_FOUND)
        return Unclaimed;
    if (result != ERROR_SUCCESS)
        return Elsewhere;
    return PathOwner(value, kind);
}

/* Whose the link at path is, by its target as the shell link object reads
 * it. A file that does not load as a link names nothing. */
static enum Owner LinkOwner(const WCHAR *path)
{
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return Unclaimed;
    IShellLinkW *link = NULL;
    HRESULT hr = CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkW, (void **)&link);
    if (FAILED(hr))
        return Undecided;
    IPersistFile *file = NULL;
    hr = link->lpVtbl->QueryInterface(link, &IID_IPersistFile, (void **)&file);
    if (FAILED(hr)) {
        link->lpVtbl->Release(link);
        return Undecided;
    }
    enum Owner owner = Unclaimed;
    WCHAR target[PathUnits];
    target[0] = 0;
    if (SUCCEEDED(file->lpVtbl->Load(file, path, STGM_READ)) &&
        link->lpVtbl->GetPath(link, target, PathUnits, NULL, 0) == S_OK)
        owner = PathOwner(target, CommandValue);
    file->lpVtbl->Release(file);
    link->lpVtbl->Release(link);
    return owner;
}

static void ReportLeft(const WCHAR *what)
{
    failures++;
    Append(report, ReportUnits, L"\n");
    Append(report, ReportUnits, what);
}

/* Deletes a file of the pack's; a file that is already gone is no failure.
 * A read-only one (restored from a backup, put there by a sync tool) cannot
 * be deleted until the attribute is cleared; when it still cannot go, it
 * gets its attribute back. Returns the error that kept it, or 0. */
static DWORD DeletePackFile(const WCHAR *path)
{
    DWORD attributes = GetFileAttributesW(path);
    BOOL readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                    !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (readOnly)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(path))
        return 0;
    DWORD error = GetLastError();
    if (readOnly)
        SetFileAttributesW(path, attributes);
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

/* Held by another process: a program of the pack that runs, or a scanner or
 * an indexer that has the file open for a moment. */
static BOOL IsHeldError(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

static void RemoveFile(const WCHAR *path)
{
    DWORD error = DeletePackFile(path);
    if (error == 0)
        return;
    if (IsHeldError(error) && !heldFiles)
        heldFiles = HeapAlloc(GetProcessHeap(), 0, HeldLimit * sizeof(*heldFiles));
    if (IsHeldError(error) && heldFiles && heldCount < HeldLimit) {
        heldFiles[heldCount][0] = 0;
        Append(heldFiles[heldCount++], PathUnits, path);
        return;
    }
    ReportLeft(path);
}

/* The held files get one common window before they count as left: a
 * scanner lets go of a file in a moment, and a program that the user has
 * just closed may take as long to end. */
static void RemoveHeldFiles(void)
{
    DWORD start = GetTickCount();
    while (heldCount > 0 && GetTickCount() - start < HeldWindowMs) {
        Sleep(100);
        int left = 0;
        for (int i = 0; i < heldCount; i++) {
            DWORD error = DeletePackFile(heldFiles[i]);
            if (error == 0)
                continue;
            if (!IsHeldError(error))
                ReportLeft(heldFiles[i]);
            else if (left++ != i)
                wmemcpy(heldFiles[left - 1], heldFiles[i], PathUnits);
        }
        heldCount = left;
    }
    for (int i = 0; i < heldCount; i++)
        ReportLeft(heldFiles[i]);
    heldCount = 0;
    if (heldFiles)
        HeapFree(GetProcessHeap(), 0, heldFiles);
    heldFiles = NULL;
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
static void RemoveExtension(const WCHAR *extension, const WCHAR *typeName)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, extension, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    WCHAR value[128];
    DWORD type = 0, bytes = sizeof(value) - sizeof(WCHAR);
    memset(value, 0, sizeof(value));
    if (RegQueryValueExW(key, NULL, NULL, &type, (BYTE *)value, &bytes) == ERROR_SUCCESS && type == REG_SZ &&
        wcscmp(value, typeName) == 0)
        RegDeleteValueW(key, NULL);
    BOOL empty = KeyIsEmpty(key);
    RegCloseKey(key);
    if (empty)
        RegDeleteKeyW(HKEY_CURRENT_USER, extension);
}

/* "AppPath" goes unless it names another folder, where setup installs next. */
static void RemoveRecordedFolder(void)
{
    HKEY key;
    if (ValueOwner(L"Software\\Orbelune", L"AppPath", FolderValue) != Elsewhere &&
        RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbelune", 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"AppPath");
        RegCloseKey(key);
    }
    DeleteKeyIfEmpty(L"Software\\Orbelune");
}

/* A registration whose command (or, without one, icon) names a program in
 * another folder is that installation's: it stays whole, and so does the
 * extension that names its type. */
static void RemoveRegistrations(void)
{
    for (int i = 0; i < (int)ARRAYSIZE(Registrations); i++) {
        const struct Registration *registration = &Registrations[i];
        enum Owner owner = ValueOwner(registration->command, NULL, CommandValue);
        if (owner == Unclaimed && registration->icon)
            owner = ValueOwner(registration->icon, NULL, IconValue);
        if (owner == Elsewhere)
            continue;
        DeleteOwnedKey(registration->key);
        if (registration->extension)
            RemoveExtension(registration->extension, wcsrchr(registration->key, L'\\') + 1);
    }
    for (int i = 0; i < (int)ARRAYSIZE(PathKeys); i++)
        DeleteKeyIfEmpty(PathKeys[i]);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL);
}

/* A link whose target lies in another folder is that installation's, and
 * stays. One that cannot be read for want of the shell link object is left
 * in place and reported, as it may be either. */
static void RemoveShortcuts(void)
{
    WCHAR folder[PathUnits];
    if (SHGetFolderPathW(NULL, CSIDL_PROGRAMS, NULL, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return;
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    Append(folder, PathUnits, L"\\Orbelune\\");
    size_t base = wcslen(folder);
    for (int k = 0; k < ComponentCount; k++) {
        folder[base] = 0;
        Append(folder, PathUnits, ComponentNames[k]);
        Append(folder, PathUnits, L".lnk");
        enum Owner owner = LinkOwner(folder);
        if (owner == Undecided)
            ReportLeft(folder);
        else if (owner != Elsewhere)
            RemoveFile(folder);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

/* The links go before the folder, some of them only after held files have
 * had their time. */
static void RemoveShortcutFolder(void)
{
    WCHAR folder[PathUnits];
    if (SHGetFolderPathW(NULL, CSIDL_PROGRAMS, NULL, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return;
    Append(folder, PathUnits, L"\\Orbelune");
    /* stays when the user keeps something of his own there, or another
     * installation keeps its links */
    RemoveDirectoryW(folder);
}

/* The uninstall entry goes unless its "UninstallString" runs another
 * uninstaller: that installation's entry. */
static void RemoveUninstallEntry(void)
{
    if (ValueOwner(UninstallKey, L"UninstallString", SelfValue) != Elsewhere)
        DeleteOwnedKey(UninstallKey);
}

/* The name under which the pack sets a file aside while its program runs,
 * as setup names it too: the file's name with its last two units changed
 * to "~~" ("Vantok.e~~", "uninstall.e~~"), as long as the file's own and
 * the name of no other file of the pack. False for a name too short. */
static BOOL MakeSetAsideName(const WCHAR *path, WCHAR *setAside, size_t capacity)
{
    size_t length = wcslen(path);
    if (length < 2 || length >= capacity || path[length - 1] == L'\\' || path[length - 2] == L'\\')
        return FALSE;
    wmemcpy(setAside, path, length + 1);
    setAside[length - 2] = setAside[length - 1] = L'~';
    return TRUE;
}

/* The programs, what a setup run that was cut off left ("Vantok.ex~"), and
 * what the pack set aside ("Vantok.e~~"): a set-aside program that still
 * runs is left in place as a running one is. The uninstaller's own
 * set-aside name is that of an earlier removal whose helper did not end. */
static void RemovePrograms(const WCHAR *installFolder, const WCHAR *selfPath)
{
    WCHAR path[PathUnits], setAside[PathUnits];
    for (int k = 0; k <= ComponentCount; k++) {
        path[0] = 0;
        Append(path, PathUnits, installFolder);
        Append(path, PathUnits, k < ComponentCount ? ComponentNames[k] : L"uninstall");
        Append(path, PathUnits, L".exe");
        if (k < ComponentCount)
            RemoveFile(path);
        if (MakeSetAsideName(path, setAside, PathUnits) && _wcsicmp(setAside, selfPath) != 0)
            RemoveFile(setAside);
        path[wcslen(path) - 1] = L'~';
        RemoveFile(path);
    }
}

/* Self-removal. A running program cannot delete its own file, and a
 * per-user one cannot have it deleted at restart (MOVEFILE_DELAY_UNTIL_REBOOT
 * needs administrator rights). So cmd.exe of the system folder, started by
 * its full path, deletes it once this program has ended. It relies on
 * documented behaviour only:
 * - when a process ends, all of its handles are closed, and a read from an
 *   anonymous pipe fails once every write handle is closed: cmd's "set /p"
 *   on the pipe returns then, however long this program keeps its last
 *   message open, without polling;
 * - DeleteFile fails while the file is mapped as an image, which may outlast
 *   the handles for a moment, and a deleted file keeps its folder until the
 *   last handle to it is closed (a virus scanner, an indexer): the delete
 *   and the rmdir are retried, a second apart, while either is left;
 * - rmdir without /s removes only an empty folder, and cmd runs in the
 *   system folder, so that it never holds the install folder as its own;
 * - "set /p" needs the command extensions, which a user or a machine can
 *   switch off for every cmd in the registry; /e:on takes precedence;
 * - cmd inherits the two pipe ends alone, not every inheritable handle of
 *   this program (the standard handles of whoever started it, which a
 *   caller may be reading to the end, or a file in the install folder).
 * - the file it deletes is the one that this program runs from, under its
 *   set-aside name: a setup run into the same folder meanwhile writes a new
 *   uninstall.exe, which nothing deletes;
 * No path is ever part of cmd's command text. The paths reach cmd through its
 * environment and are read with delayed expansion (/v:on, "!name!"), which
 * cmd documents as expansion at execution time: after it has expanded
 * %variables%, when the line was read, and after it has split the line at &
 * and ( ). So a folder name with "%i", "%PATH%", "!", "^", "&" or "(" in it
 * is never read as syntax, and the line has no FOR body whose loop variable
 * could be substituted into the name: the retries are written out. The
 * expansions stand in double quotes, in which cmd takes every one of these
 * characters as itself. cmd's environment holds nothing but the two paths,
 * under names that no file name can contain ('?'), and SystemRoot.
 * Nothing is written to the temp folder.
 *
 * Returns the helper's process handle once cmd has answered that it runs the
 * script (a policy can forbid cmd scripts), or NULL when it does not run. */
static HANDLE StartSelfRemoval(const WCHAR *setAsidePath, const WCHAR *installFolder)
{
    enum { CommandUnits = 8191, Retries = 30 }; /* cmd reads at most 8191 characters */
    WCHAR system[MAX_PATH], cmd[MAX_PATH + 16], folder[PathUnits], retry[MAX_PATH + 240];
    static WCHAR command[CommandUnits + 1];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return NULL;
    swprintf(cmd, ARRAYSIZE(cmd), L"%ls\\cmd.exe", system);

    /* "D:" alone would name the current folder of drive D: a folder in a
     * drive's root is never removed. */
    folder[0] = 0;
    Append(folder, PathUnits, installFolder);
    size_t used = wcslen(folder);
    if (used && folder[used - 1] == L'\\')
        folder[used - 1] = 0;
    BOOL removeFolder = wcschr(folder, L'\\') != NULL;
    /* cmd's whole environment: the two paths under names that no file name
     * can hold ('?'), and SystemRoot, which ping needs: the system's own, not
     * this program's variable, which its caller can set to anything. */
    static WCHAR environment[2 * PathUnits + MAX_PATH + 64];
    WCHAR systemRoot[MAX_PATH];
    UINT rootLength = GetSystemWindowsDirectoryW(systemRoot, MAX_PATH);
    if (rootLength == 0 || rootLength >= MAX_PATH)
        return NULL;
    size_t at = 0;
    const WCHAR *const variables[] = {L"Orbelune?Folder=", folder, L"Orbelune?Uninstaller=", setAsidePath,
                                      L"SystemRoot=", systemRoot};
    for (int i = 0; i < (int)ARRAYSIZE(variables); i += 2) {
        size_t name = wcslen(variables[i]), value = wcslen(variables[i + 1]);
        if (at + name + value + 2 > ARRAYSIZE(environment))
            return NULL;
        wmemcpy(environment + at, variables[i], name);
        wmemcpy(environment + at + name, variables[i + 1], value + 1);
        at += name + value + 1;
    }
    environment[at] = 0;
    swprintf(command, ARRAYSIZE(command), L"\"%ls\" /d /q /e:on /v:on /c echo running& set /p OrbeluneWait=", cmd);
    /* Once both are gone every further round is two quick no-ops. A folder
     * that keeps a file of the user's is waited for until the rounds end. */
    if (removeFolder)
        swprintf(retry, ARRAYSIZE(retry),
                 L"& del /f /q \"!Orbelune?Uninstaller!\" >nul 2>&1& rmdir \"!Orbelune?Folder!\" >nul 2>&1& "
                 L"(if exist \"!Orbelune?Folder!\\\" \"%ls\\ping.exe\" -n 2 127.0.0.1 >nul 2>&1)",
                 system);
    else
        swprintf(retry, ARRAYSIZE(retry),
                 L"& del /f /q \"!Orbelune?Uninstaller!\" >nul 2>&1& "
                 L"(if exist \"!Orbelune?Uninstaller!\" \"%ls\\ping.exe\" -n 2 127.0.0.1 >nul 2>&1)",
                 system);
    for (int i = 0; i < Retries && wcslen(command) + wcslen(retry) < CommandUnits; i++)
        Append(command, ARRAYSIZE(command), retry);

    /* cmd waits on wait[0] (its input), whose other end this process holds
     * until it ends; it answers on answer[1]. */
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE wait[2], answer[2];
    if (!CreatePipe(&wait[0], &wait[1], &inherit, 0))
        return NULL;
    if (!CreatePipe(&answer[0], &answer[1], &inherit, 0)) {
        CloseHandle(wait[0]);
        CloseHandle(wait[1]);
        return NULL;
    }
    SetHandleInformation(wait[1], HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(answer[0], HANDLE_FLAG_INHERIT, 0);
    HANDLE inherited[2] = {wait[0], answer[1]};
    SIZE_T listBytes = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &listBytes);
    LPPROC_THREAD_ATTRIBUTE_LIST list = listBytes ? HeapAlloc(GetProcessHeap(), 0, listBytes) : NULL;
    BOOL listed = list && InitializeProcThreadAttributeList(list, 1, 0, &listBytes);
    STARTUPINFOEXW startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof(startup));
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = wait[0];
    startup.StartupInfo.hStdOutput = answer[1];
    startup.StartupInfo.hStdError = answer[1];
    startup.lpAttributeList = list;
    BOOL started = listed &&
                   UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof(inherited),
                                             NULL, NULL) &&
                   CreateProcessW(cmd, command, NULL, NULL, TRUE,
                                  CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                                  environment, system, &startup.StartupInfo, &process);
    if (listed)
        DeleteProcThreadAttributeList(list);
    if (list)
        HeapFree(GetProcessHeap(), 0, list);
    CloseHandle(wait[0]);
    CloseHandle(answer[1]);
    char reply[16];
    DWORD got = 0;
    /* Ends with the answer, or fails when cmd ended without one. */
    BOOL running = started && ReadFile(answer[0], reply, sizeof(reply), &got, NULL) && got > 0 && reply[0] == 'r';
    CloseHandle(answer[0]);
    if (!started) {
        CloseHandle(wait[1]);
        return NULL;
    }
    CloseHandle(process.hThread);
    if (!running) {
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(wait[1]);
        return NULL;
    }
    /* wait[1] stays open on purpose: its closing, when this process ends,
     * starts the removal. */
    return process.hProcess;
}

/* Renames a file within its folder, without replacing anything. A scanner
 * or an indexer that has just opened the file refuses it for a moment. */
static BOOL RenameWithinFolder(const WCHAR *from, const WCHAR *to)
{
    for (int attempt = 0;; attempt++) {
        if (MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH))
            return TRUE;
        DWORD error = GetLastError();
        if (attempt >= 20 ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_ACCESS_DENIED))
            return FALSE;
        Sleep(100);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    RestrictDllSearch();

    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    BOOL silent = FALSE;
    for (int i = 1; i < argc; i++) {
        if (_wcsicmp(argv[i], L"/S") != 0) {
            LocalFree(argv);
            return ERROR_INVALID_PARAMETER;
        }
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
    LongForm(selfPath, ownProgram);
    LongForm(installFolder, ownFolder);

    report[0] = 0;
    Append(report, ReportUnits, L"Some parts of Orbelune App Pack (Single User) could not be removed. "
                                L"Close the programs of the pack and run the uninstaller again.\n\nLeft in place:");
    RemovePrograms(installFolder, selfPath);
    RemoveShortcuts();
    RemoveHeldFiles();
    RemoveShortcutFolder();
    RemoveRegistrations();

    if (failures) {
        /* The uninstall entry stays, so that the user can try again. */
        if (!silent)
            MessageBoxW(NULL, report, Caption, MB_OK | MB_ICONWARNING);
        return 2;
    }
    /* The helper is started before the entry goes: when it cannot run, the
     * entry stays, so that the user can remove what is left. The uninstaller
     * leaves its own name first, so that the helper deletes only the file
     * that runs now; it takes the name back wherever its entry stays. */
    WCHAR setAside[PathUnits];
    BOOL renamed = MakeSetAsideName(selfPath, setAside, PathUnits) &&
                   (_wcsicmp(setAside, selfPath) == 0 || RenameWithinFolder(selfPath, setAside));
    HANDLE helper = renamed ? StartSelfRemoval(setAside, installFolder) : NULL;
    if (!helper) {
        if (renamed && _wcsicmp(setAside, selfPath) != 0)
            RenameWithinFolder(setAside, selfPath);
        report[0] = 0;
        Append(report, ReportUnits, L"Orbelune App Pack (Single User) was removed, except for its uninstaller, "
                                    L"which could not arrange to delete itself. Its entry in the list of "
                                    L"installed programs stays.\n\nLeft in place:\n");
        Append(report, ReportUnits, selfPath);
        if (!silent)
            MessageBoxW(NULL, report, Caption, MB_OK | MB_ICONWARNING);
        return 3;
    }
    RemoveRecordedFolder();
    RemoveUninstallEntry();
    if (failures) {
        /* The entry could not go: the uninstaller stays with it, under its
         * own name, once the helper has surely ended. */
        TerminateProcess(helper, 1);
        WaitForSingleObject(helper, 5000);
        CloseHandle(helper);
        if (_wcsicmp(setAside, selfPath) != 0)
            RenameWithinFolder(setAside, selfPath);
        if (!silent)
            MessageBoxW(NULL, report, Caption, MB_OK | MB_ICONWARNING);
        return 2;
    }
    CloseHandle(helper);
    if (!silent)
        MessageBoxW(NULL, L"Orbelune App Pack (Single User) was removed from your computer.", Caption,
                    MB_OK | MB_ICONINFORMATION);
    return 0;
}
