#include "journey.h"

#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <wchar.h>

#include <vector>

namespace {

const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

// Ends the processes of a failed earlier journey that still show a window
// of the pack: a wizard, a box of the uninstaller, a program.
BOOL CALLBACK EndPackWindowProcess(HWND window, LPARAM)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == GetCurrentProcessId())
        return TRUE;
    WCHAR text[128] = L"", name[64] = L"";
    GetWindowTextW(window, text, ARRAYSIZE(text));
    GetClassNameW(window, name, ARRAYSIZE(name));
    if (wcscmp(text, SetupTitle) != 0 && wcscmp(text, UninstallCaption) != 0 && wcsncmp(name, L"Orbelune.", 9) != 0)
        return TRUE;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, owner);
    if (process) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    return TRUE;
}

// Deletes every folder in parent whose name begins with prefix.
void DeleteFoldersNamed(const std::wstring &parent, const WCHAR *prefix)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((parent + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> names;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const std::wstring &name : names)
        DeleteTree((parent + name).c_str());
}

// What names the pack: its folder and programs, its file types, the keys
// its verbs lie under, its uninstaller (and a partial file of it).
bool NamesThePack(const std::wstring &entry)
{
    static const WCHAR *const Marks[] = {
        L"ORBELUNE",   L"VANTOK", L"BRINDLECAP", L"OSTRAVELIND", L"ZAFRIN", L"KESTREFOND",
        L"QUILLMARSH", L"CRYVANE", L"DRUMLAKE",  L".QTXT",       L".CVX",   L".DMK",
        L"SYSTEMFILEASSOCIATIONS", L"CLASSES\\DIRECTORY", L"UNINSTALL.EX",
    };
    std::wstring folded = Folded(entry);
    for (const WCHAR *mark : Marks) {
        if (folded.find(mark) != std::wstring::npos)
            return true;
    }
    return false;
}

bool StartsWith(const std::wstring &text, const std::wstring &prefix)
{
    return !prefix.empty() && text.size() >= prefix.size() && Folded(text.substr(0, prefix.size())) == Folded(prefix);
}

// Every file and folder below folder ("F " and the path), passing over
// reparse points (links to elsewhere, such as Wine's folders that lead into
// the Unix home) and the folders in skip.
void ListFiles(const std::wstring &folder, const std::vector<std::wstring> &skip, std::set<std::wstring> &out)
{
    for (const std::wstring &passed : skip) {
        if (StartsWith(folder, passed))
            return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
            continue;
        std::wstring path = folder + found.cFileName;
        out.insert(L"F " + path);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ListFiles(path + L"\\", skip, out);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Every key ("K " and its path) and value ("V " key, "=", name) below path.
// Values named by a program's path (a drive's or a known folder's) are
// Windows' own records of what was started (the shell's MuiCache, the
// compatibility assistant's store, Explorer's FeatureUsage), and
// Explorer\FileExts its record of how the user opened each type: not the
// pack's, whose value names hold no backslash.
void ListKeys(HKEY parent, const std::wstring &path, std::set<std::wstring> &out)
{
    if (StartsWith(path, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts"))
        return;
    HKEY key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    out.insert(L"K " + path);
    std::wstring prefix = path.empty() ? L"" : path + L"\\";
    for (DWORD i = 0;; i++) {
        WCHAR name[16384];
        DWORD length = ARRAYSIZE(name);
        LONG result = RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS && !wcschr(name, L'\\'))
            out.insert(L"V " + path + L"=" + name);
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD length = ARRAYSIZE(name);
        LONG result = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS)
            children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring &child : children)
        ListKeys(parent, prefix + child, out);
}

std::wstring TempFolder()
{
    WCHAR path[MAX_PATH] = L"";
    DWORD length = GetTempPathW(ARRAYSIZE(path), path);
    return length && length < ARRAYSIZE(path) ? std::wstring(path) : std::wstring();
}

// The folder of the build (or of the unpacked zip), which holds the tests
// and their results.
std::wstring BuildFolder()
{
    WCHAR path[MAX_PATH] = L"";
    if (!BuildOutputPath(L"", path, ARRAYSIZE(path)))
        return L"";
    return path;
}

}  // namespace

std::string Narrow(const std::wstring &text)
{
    char bytes[2048] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
    return bytes;
}

std::wstring Folded(std::wstring text)
{
    if (!text.empty())
        CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void DeleteUserKeyIfEmpty(const WCHAR *path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (subkeys == 0 && values == 0)
        RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

std::wstring ShellFolder(int csidl)
{
    WCHAR path[MAX_PATH] = L"";
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return L"";
    return std::wstring(path) + L"\\";
}

std::wstring DefaultInstallFolder() { return ShellFolder(CSIDL_APPDATA) + L"Orbelune\\"; }

std::wstring StartMenuFolder() { return ShellFolder(CSIDL_PROGRAMS) + L"Orbelune\\"; }

std::wstring SetupProgramPath()
{
    WCHAR path[MAX_PATH] = L"";
    if (!BuildOutputPath(L"OrbeluneSetup.exe", path, ARRAYSIZE(path)))
        return L"";
    return path;
}

void CleanJourneyState()
{
    EnumWindows(EndPackWindowProcess, 0);
    CleanUserState();
    DeleteFoldersNamed(ShellFolder(CSIDL_APPDATA), L"Orbelune Journey");
    DeleteUserKey(L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Journey User Verb");
    for (const WCHAR *key : {L"Software\\Classes\\SystemFileAssociations\\audio\\shell",
                             L"Software\\Classes\\SystemFileAssociations\\audio",
                             L"Software\\Classes\\SystemFileAssociations", L"Software\\Classes\\Directory\\shell",
                             L"Software\\Classes\\Directory"})
        DeleteUserKeyIfEmpty(key);
    // Earlier uninstallers left copies of themselves in folders there.
    std::wstring temp = TempFolder();
    if (!temp.empty())
        DeleteFoldersNamed(temp, L"Orbelune-uninstall-");
}

UserSnapshot TakeUserSnapshot()
{
    UserSnapshot snapshot;
    std::vector<std::wstring> skip = {BuildFolder(), ShellFolder(CSIDL_RECENT)};
    std::wstring profile = ShellFolder(CSIDL_PROFILE);
    ListFiles(profile, skip, snapshot.entries);
    std::wstring temp = TempFolder();
    if (!temp.empty() && !StartsWith(temp, profile))
        ListFiles(temp, skip, snapshot.entries);
    ListKeys(HKEY_CURRENT_USER, L"", snapshot.entries);
    return snapshot;
}

std::wstring PackChangesSince(const UserSnapshot &before)
{
    UserSnapshot after = TakeUserSnapshot();
    std::wstring changes;
    for (const std::wstring &entry : after.entries) {
        if (!before.entries.count(entry) && NamesThePack(entry))
            changes += L"\n  + " + entry;
    }
    for (const std::wstring &entry : before.entries) {
        if (!after.entries.count(entry) && NamesThePack(entry))
            changes += L"\n  - " + entry;
    }
    return changes;
}

void ExpectNothingOfThePackLeft(const UserSnapshot &before)
{
    std::wstring changes = PackChangesSince(before);
    EXPECT_TRUE(changes.empty()) << "changed in the profile, the temp folder or HKCU:" << Narrow(changes);
}

void InstallThroughWizard(WizardWalk &walk)
{
    std::wstring setup = SetupProgramPath();
    ASSERT_FALSE(setup.empty()) << "no setup program beside the tests";
    bool walked = WalkWizard(setup.c_str(), &walk);
    ASSERT_TRUE(walked) << walk.failure << " " << Narrow(walk.note);
    if (walk.killAfter)
        return;
    EXPECT_STREQ(walk.status, L"Installation completed successfully.") << "final status";
    EXPECT_EQ(walk.exitCode, 0u) << "setup's exit code";
}

void InstallInto(const std::wstring &folder)
{
    int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ASSERT_TRUE(made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) << Narrow(folder) << ": " << made;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Orbelune", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    LONG result = RegSetValueExW(key, L"AppPath", 0, REG_SZ, reinterpret_cast<const BYTE *>(folder.c_str()),
                                 static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS) << "AppPath";
    WizardWalk walk = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(walk));
    EXPECT_EQ(Folded(walk.folder), Folded(folder)) << "the folder offered";
}

std::wstring UninstallString()
{
    WCHAR text[2 * MAX_PATH] = L"";
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    if (RegGetValueW(HKEY_CURRENT_USER, UninstallKey, L"UninstallString", RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS)
        return L"";
    return text;
}

Uninstaller::~Uninstaller()
{
    if (process_.hProcess)
        Finish(0);
}

bool Uninstaller::Start(const WCHAR *arguments, HANDLE output)
{
    return Launch(UninstallString(), arguments, output);
}

bool Uninstaller::StartFile(const std::wstring &path, const WCHAR *arguments)
{
    return Launch(L"\"" + path + L"\"", arguments, nullptr);
}

bool Uninstaller::Launch(std::wstring command, const WCHAR *arguments, HANDLE output)
{
    if (command.empty() || process_.hProcess)
        return false;
    if (arguments)
        command += std::wstring(L" ") + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    // No application name: the command line's first quoted word names the
    // program, as for any command that the shell runs.
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                        &process_))
        return false;
    processId_ = process_.dwProcessId;
    return true;
}

std::wstring Uninstaller::Answer(int button, DWORD holdMs)
{
    WCHAR text[1024] = L"";
    const char *failure =
        AnswerBox(process_.dwProcessId, UninstallCaption, button, holdMs, text, ARRAYSIZE(text));
    if (failure)
        ADD_FAILURE() << failure << " (button " << button << ")";
    return text;
}

std::wstring Uninstaller::AwaitBox(int button)
{
    WCHAR text[1024] = L"";
    if (!WaitForBox(process_.dwProcessId, UninstallCaption, button, text, ARRAYSIZE(text)))
        ADD_FAILURE() << "no message box (button " << button << ")";
    return text;
}

bool Uninstaller::AwaitHelper(DWORD timeoutMs)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    bool ended = true;
    DWORD start = GetTickCount();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (!processId_ || entry.th32ParentProcessID != processId_ || _wcsicmp(entry.szExeFile, L"cmd.exe") != 0)
            continue;
        HANDLE helper = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!helper)
            continue;  // ended already
        DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(helper, spent < timeoutMs ? timeoutMs - spent : 0) != WAIT_OBJECT_0)
            ended = false;
        CloseHandle(helper);
    }
    CloseHandle(snapshot);
    return ended;
}

DWORD Uninstaller::Finish(DWORD timeoutMs)
{
    if (!process_.hProcess)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process_.hProcess, &code);
    } else {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    return code;
}

DWORD RemoveSilently()
{
    Uninstaller uninstaller;
    if (!uninstaller.Start(L"/S")) {
        ADD_FAILURE() << "the uninstall entry's command did not start: \"" << Narrow(UninstallString()) << "\"";
        return STILL_ACTIVE;
    }
    return uninstaller.Finish();
}

bool AwaitSelfRemoval(const std::wstring &folder, bool folderGoes)
{
    std::wstring uninstaller = folder + L"uninstall.exe", setAside = folder + L"uninstall.e~~";
    // The helper retries for about 30 s while its file is still mapped or
    // held; a removal that succeeds at once is seen within a second or two.
    for (DWORD start = GetTickCount(); GetTickCount() - start < 40000; Sleep(100)) {
        bool fileGone = !Exists(uninstaller) && !Exists(setAside);
        bool folderGone = GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
        if (fileGone && (folderGone || !folderGoes))
            return true;
    }
    return false;
}

bool RunningProgram::Start(const std::wstring &path, const WCHAR *title)
{
    size_t slash = path.find_last_of(L'\\');
    title_ = title ? title : path.substr(slash + 1, path.size() - slash - 1 - 4);  // without ".exe"
    if (!StartProgram(path.c_str(), nullptr, &process_))
        return false;
    // Its window shows that it runs from its file.
    return WaitForWindow(process_.dwProcessId, title_.c_str(), nullptr, 20000) != nullptr;
}

void RunningProgram::Close()
{
    if (!process_.hProcess)
        return;
    WCHAR text[600];
    ReadProgramWindow(process_.dwProcessId, title_.c_str(), text, ARRAYSIZE(text), 0);
    if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
}

void Journey::SetUp()
{
    comReady_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_TRUE(comReady_) << "CoInitializeEx";
    CleanJourneyState();
    before_ = TakeUserSnapshot();
}

void Journey::TearDown()
{
    CleanJourneyState();
    if (comReady_)
        CoUninitialize();
}
