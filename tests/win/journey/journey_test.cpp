// The whole journey of a user, with the build's own setup program and
// uninstaller as processes of their own: installations through the wizard,
// a document and a folder opened the shell's way, removals through the
// uninstall entry's command, the uninstaller's self-removal awaited, and
// nothing of the pack left afterwards. What only Windows can show is
// skipped under Wine, saying why.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include <gtest/gtest.h>

#include "journey.h"
#include "layout.h"

namespace {

const UINT32 AllComponents = 0xFF;
const WCHAR JourneyUserVerb[] = L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Journey User Verb";

// The results folder: that of the XML results (run-tests.cmd's "results",
// make test's folder of its platform); empty when none is named.
std::wstring ResultsFolder()
{
    std::string output = GTEST_FLAG_GET(output);
    size_t end = output.find_last_of("/\\");
    if (output.compare(0, 4, "xml:") != 0 || end == std::string::npos || end < 4)
        return L"";
    WCHAR folder[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, output.substr(4, end - 4).c_str(), -1, folder, ARRAYSIZE(folder) - 1);
    return folder;
}

// How long the user leaves the final message of a removal open:
// JOURNEY_MESSAGE_HOLD seconds, longer than a minute unless it says less.
DWORD MessageHoldMs()
{
    const char *seconds = getenv("JOURNEY_MESSAGE_HOLD");
    return (seconds && *seconds ? static_cast<DWORD>(atoi(seconds)) : 65) * 1000;
}

// Each program in folder is the one that setup carries, with its recorded
// time, and the uninstaller too (without one); the test program carries
// setup's own payload, which is decoded here as the reference.
void ExpectInstalledFiles(const std::wstring &folder)
{
    InProcessSetup reference;
    ASSERT_TRUE(reference.Prepare()) << "the payload of the test program";
    for (UINT32 k = 0; k < 8; k++)
        ExpectEntryFile(reference, folder + ProgramNames[k] + L".exe", k + 1, true);
    ExpectEntryFile(reference, folder + L"uninstall.exe", 10, false);
    ExpectRegistry(ExpectedLayout(folder, AllComponents, RequiredBytes(reference.State(), AllComponents) >> 10));
}

// Opens path the shell's way (verb null: its file type's default verb) and
// returns the text of the window of the program titled title, which says
// what it opened.
std::wstring OpenThroughShell(const WCHAR *verb, const std::wstring &path, const WCHAR *title)
{
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = verb;
    info.lpFile = path.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return L"<ShellExecuteExW failed with " + std::to_wstring(GetLastError()) + L">";
    WCHAR text[600] = L"";
    bool shown = ReadProgramWindow(info.hProcess ? GetProcessId(info.hProcess) : 0, title, text, ARRAYSIZE(text),
                                   20000);
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
    }
    return shown ? std::wstring(text) : L"<no window titled " + std::wstring(title) + L">";
}

// Whether this platform writes into a read-only file (Wine run as root
// does: it keeps the attribute as the Unix permission bits, which root
// passes by).
bool WritesReadOnlyFiles()
{
    WCHAR folder[MAX_PATH];
    MakeTempFolder(folder, ARRAYSIZE(folder));
    std::wstring probe = std::wstring(folder) + L"read-only.txt";
    bool written = false;
    if (WriteText(probe, "probe") && SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY)) {
        HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        written = file != INVALID_HANDLE_VALUE;
        if (written)
            CloseHandle(file);
    }
    DeleteTree(folder);
    return written;
}

// Whether HKEY_CLASSES_ROOT shows a key of the user's classes, as Windows'
// merged view of the user's and the machine's classes does.
bool ClassesRootShowsUserClasses()
{
    const WCHAR name[] = L".orbelune-journey-probe";
    const std::wstring user = std::wstring(L"Software\\Classes\\") + name;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, user.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    bool shown = RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (shown)
        RegCloseKey(key);
    RegDeleteKeyW(HKEY_CURRENT_USER, user.c_str());
    return shown;
}

// The setup program as the keyboard walk runs it: ended if the walk stops
// half-way, and the shared input state undone.
struct KeyboardRun {
    PROCESS_INFORMATION process = {};
    DWORD setupThread = 0;
    ~KeyboardRun()
    {
        if (setupThread)
            AttachThreadInput(GetCurrentThreadId(), setupThread, FALSE);
        if (!process.hProcess)
            return;
        if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
};

bool Unticked(HWND page, int id) { return SendMessageW(GetDlgItem(page, id), BM_GETCHECK, 0, 0) == BST_UNCHECKED; }

// A whole installation with keystrokes only: Tab, Shift+Tab, Space, Enter
// and Alt mnemonics. Zafrin is reached back from Kestrefond with Shift+Tab
// and unticked with Space; Alt+B goes back from the destination page and
// Alt+N on again.
void KeyboardInstallation(const std::wstring &folder)
{
    KeyboardRun run;
    ASSERT_TRUE(StartProgram(SetupProgramPath().c_str(), nullptr, &run.process)) << "setup did not start";
    HWND main = WaitForWindow(run.process.dwProcessId, SetupTitle, nullptr, 30000);
    ASSERT_NE(main, nullptr) << "no setup window";
    HWND page = WaitForPage(main, 0, 20000);
    ASSERT_NE(page, nullptr) << "license page";
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // a queue of this thread's own to attach
    DWORD setupThread = GetWindowThreadProcessId(main, nullptr);
    ASSERT_TRUE(AttachThreadInput(GetCurrentThreadId(), setupThread, TRUE)) << "the setup's input state";
    run.setupThread = setupThread;

    ASSERT_TRUE(WaitForFocus(page, 1)) << "I Agree focused";
    PressKey(page, VK_TAB);
    EXPECT_TRUE(WaitForFocus(page, 2)) << "Tab from I Agree, focus on " << FocusedId(page);
    PressKey(page, VK_TAB);
    ASSERT_TRUE(WaitForFocus(page, 1)) << "Tab from Cancel wraps to I Agree";
    PressAlt(page, 'A');

    page = WaitForPage(main, 1, 20000);
    ASSERT_NE(page, nullptr) << "components page after Alt+A";
    ASSERT_TRUE(WaitForFocus(page, 1)) << "Next focused";
    for (int i = 0; i < 5; i++)
        PressKey(page, VK_TAB);
    ASSERT_TRUE(WaitForFocus(page, 1010)) << "five Tabs reach Kestrefond, focus on " << FocusedId(page);
    PressShiftTab(page);
    EXPECT_TRUE(WaitForFocus(page, 1009)) << "Shift+Tab back to Zafrin, focus on " << FocusedId(page);
    PressKey(page, VK_SPACE);
    for (DWORD start = GetTickCount(); !Unticked(page, 1009) && GetTickCount() - start < 5000;)
        Sleep(30);
    EXPECT_TRUE(Unticked(page, 1009)) << "Space unticks Zafrin";
    PressAlt(page, 'N');
    page = WaitForPage(main, 2, 20000);
    ASSERT_NE(page, nullptr) << "destination page after Alt+N";
    ASSERT_TRUE(WaitForFocus(page, 1)) << "Install focused";
    PressAlt(page, 'B');
    page = WaitForPage(main, 1, 20000);
    ASSERT_NE(page, nullptr) << "components page after Alt+B";
    EXPECT_TRUE(Unticked(page, 1009)) << "Zafrin after going back";
    ASSERT_TRUE(WaitForFocus(page, 1)) << "Next focused after going back";
    PressAlt(page, 'N');
    page = WaitForPage(main, 2, 20000);
    ASSERT_NE(page, nullptr) << "destination page again";
    ASSERT_TRUE(WaitForFocus(page, 1)) << "Install focused again";
    WCHAR shown[WalkTextUnits] = L"";
    GetDlgItemTextW(page, 1005, shown, ARRAYSIZE(shown));
    EXPECT_EQ(Folded(shown), Folded(folder)) << "folder offered";
    PressKey(page, VK_RETURN);

    page = WaitForPage(main, 3, 20000);
    ASSERT_NE(page, nullptr) << "Enter did not start the installation";
    WCHAR status[128];
    WaitForFinalStatus(page, status, ARRAYSIZE(status));
    EXPECT_STREQ(status, L"Installation completed successfully.");
    PressAlt(page, 'D');
    EXPECT_TRUE(WaitForFocus(page, 1019)) << "Alt+D shows the details list";
    PressAlt(page, 'C');
    ASSERT_EQ(WaitForSingleObject(run.process.hProcess, 15000), WAIT_OBJECT_0) << "setup did not end after Alt+C";
    DWORD code = 1;
    GetExitCodeProcess(run.process.hProcess, &code);
    EXPECT_EQ(code, 0u) << "setup's exit code";
}

// HKCU's EnableExtensions of the command processor switched off for the
// test, and the user's own setting put back afterwards.
class CommandExtensionsOff {
public:
    bool Set()
    {
        HKEY key;
        keyExisted_ = RegOpenKeyExW(HKEY_CURRENT_USER, Key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
        if (keyExisted_) {
            savedBytes_ = sizeof(saved_);
            hadValue_ = RegQueryValueExW(key, L"EnableExtensions", nullptr, &savedType_, saved_, &savedBytes_) ==
                        ERROR_SUCCESS;
            RegCloseKey(key);
        }
        if (RegCreateKeyExW(HKEY_CURRENT_USER, Key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return false;
        set_ = true;
        DWORD off = 0;
        LONG result = RegSetValueExW(key, L"EnableExtensions", 0, REG_DWORD, reinterpret_cast<BYTE *>(&off), 4);
        RegCloseKey(key);
        return result == ERROR_SUCCESS;
    }
    ~CommandExtensionsOff()
    {
        if (!set_)
            return;
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, Key, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        if (hadValue_)
            RegSetValueExW(key, L"EnableExtensions", 0, savedType_, saved_, savedBytes_);
        else
            RegDeleteValueW(key, L"EnableExtensions");
        RegCloseKey(key);
        if (!keyExisted_)
            DeleteUserKeyIfEmpty(Key);
    }

private:
    static constexpr const WCHAR *Key = L"Software\\Microsoft\\Command Processor";
    bool set_ = false, keyExisted_ = false, hadValue_ = false;
    DWORD savedType_ = 0, savedBytes_ = 0;
    BYTE saved_[256];
};

// What cmd of the system folder prints for these arguments.
std::string CommandOutput(const WCHAR *arguments)
{
    WCHAR cmd[MAX_PATH];
    UINT length = GetSystemDirectoryW(cmd, MAX_PATH - 9);
    if (!length || length >= MAX_PATH - 9)
        return "<no system folder>";
    wcscat(cmd, L"\\cmd.exe");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read, write;
    if (!CreatePipe(&read, &write, &inherit, 0))
        return "<no pipe>";
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = L"\"" + std::wstring(cmd) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessW(cmd, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(write);
    std::string output = started ? "" : "<cmd did not start>";
    char buffer[256];
    DWORD got = 0;
    while (started && ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got)
        output.append(buffer, got);
    CloseHandle(read);
    if (started) {
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return output;
}

}  // namespace

// The journey as a person makes it: the wizard with the mouse, with a
// picture of each page; what it wrote; the removal through the entry, its
// questions answered, its final message left open for more than a minute.
TEST_F(Journey, MouseInstallationThenInteractiveRemoval)
{
    const std::wstring folder = DefaultInstallFolder();
    const std::wstring pictures = ResultsFolder();
    WizardWalk walk = {};
    walk.pictures = pictures.empty() ? nullptr : pictures.c_str();
    walk.picturePrefix = L"journey-";
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(walk));
    EXPECT_EQ(walk.dpiAwareness, 2) << "the manifest's per-monitor DPI awareness";
    EXPECT_EQ(Folded(walk.folder), Folded(folder)) << "the default folder offered";
    if (pictures.empty())
        printf("[ PICTURES ] none: no --gtest_output=xml:PATH names a results folder\n");
    for (int i = 0; walk.pictures && i < WalkPictures; i++) {
        SCOPED_TRACE(Narrow(PictureNames[i]));
        EXPECT_NE(walk.pictureSources[i], PictureNotTaken) << "no picture in " << Narrow(pictures);
        // Windows' PrintWindow has the setup's window draw itself; Wine's
        // draws nothing for a window of another process, and the picture
        // is the screen's copy of the window.
        if (!RunningOnWine())
            EXPECT_EQ(walk.pictureSources[i], PictureByPrintWindow) << "drawn by the window itself";
    }
    if (walk.pictures)
        printf("[ PICTURES ] %s\\journey-page*.png, %s\n", Narrow(pictures).c_str(),
               walk.pictureSources[0] == PictureByPrintWindow ? "drawn by PrintWindow" : "copied from the screen");

    ASSERT_NO_FATAL_FAILURE(ExpectInstalledFiles(folder));
    // The comparison at the end sees an installation, in the files and in HKCU.
    std::wstring installed = Folded(PackChangesSince(before_));
    EXPECT_NE(installed.find(Folded(L"+ F " + folder + L"uninstall.exe")), std::wstring::npos) << "files";
    EXPECT_NE(installed.find(Folded(L"+ K Software\\Classes\\Quillmarsh.Document")), std::wstring::npos)
        << "HKCU";
    for (const WCHAR *name : ProgramNames) {
        std::wstring link = StartMenuFolder() + name + L".lnk";
        EXPECT_EQ(Folded(LinkTarget(link)), Folded(folder + name + L".exe")) << "target of " << Narrow(link);
    }

    {
        Uninstaller uninstaller;
        ASSERT_TRUE(uninstaller.Start(nullptr)) << "the entry's command: " << Narrow(UninstallString());
        EXPECT_EQ(uninstaller.Answer(IDYES),
                  L"Do you want to remove Orbelune App Pack (Single User) and all of its programs?");
        // However long the final message stays open, the uninstaller and its
        // folder go once it is closed.
        EXPECT_EQ(uninstaller.Answer(IDOK, MessageHoldMs()),
                  L"Orbelune App Pack (Single User) was removed from your computer.");
        EXPECT_EQ(uninstaller.Finish(), 0u) << "the uninstaller's exit code";
    }
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// A document and a folder opened the shell's way, through the per-user
// file type and verb: the program says what it was started with.
TEST_F(Journey, DocumentAndFolderOpenThroughTheRegistrations)
{
    if (RunningOnWine() && !ClassesRootShowsUserClasses())
        GTEST_SKIP() << "this Wine's HKEY_CLASSES_ROOT leaves out HKCU\\Software\\Classes, which Windows "
                        "merges in: its shell knows no per-user file type";
    WizardWalk walk = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(walk));
    HKEY merged;
    bool shown = RegOpenKeyExW(HKEY_CLASSES_ROOT, L".qtxt", 0, KEY_READ, &merged) == ERROR_SUCCESS;
    EXPECT_TRUE(shown) << "the per-user file type in HKEY_CLASSES_ROOT";
    if (shown)
        RegCloseKey(merged);

    WCHAR temp[MAX_PATH];
    MakeTempFolder(temp, ARRAYSIZE(temp));
    const std::wstring document = std::wstring(temp) + L"notes.qtxt";
    EXPECT_TRUE(WriteText(document, "hello\r\n"));
    EXPECT_EQ(OpenThroughShell(nullptr, document, L"Quillmarsh"), L"Opened: " + document)
        << "a .qtxt document opened through its file type";
    const std::wstring picked(temp, wcslen(temp) - 1);  // a folder names itself without the backslash
    EXPECT_EQ(OpenThroughShell(L"Kestrefond", picked, L"Kestrefond"), L"Opened: " + picked)
        << "the Kestrefond verb of a folder";
    DeleteTree(temp);
}

TEST_F(Journey, KeyboardInstallationThenSilentRemoval)
{
    const std::wstring folder = DefaultInstallFolder();
    ASSERT_NO_FATAL_FAILURE(KeyboardInstallation(folder));
    EXPECT_FALSE(Exists(folder + L"Zafrin.exe")) << "the unticked program was written";
    EXPECT_TRUE(Exists(folder + L"Kestrefond.exe")) << "a ticked program";
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// An earlier installation's program, marked read-only as a backup or a sync
// tool leaves a file, is replaced by the next installation. Windows replaces
// no read-only file, so setup clears the attribute first.
TEST_F(Journey, ReadOnlyProgramOfAnEarlierInstallationIsReplaced)
{
    if (RunningOnWine() && WritesReadOnlyFiles())
        GTEST_SKIP() << "Wine, run as root, writes and renames over a read-only file, which Windows refuses: "
                        "only Windows shows that setup clears the attribute";
    const std::wstring folder = DefaultInstallFolder();
    const std::wstring drumlake = folder + L"Drumlake.exe";
    WizardWalk first = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(first));
    ASSERT_TRUE(WriteText(drumlake, "earlier Drumlake"));
    ASSERT_TRUE(SetFileAttributesW(drumlake.c_str(), FILE_ATTRIBUTE_READONLY));
    WizardWalk again = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(again));
    {
        InProcessSetup reference;
        ASSERT_TRUE(reference.Prepare());
        ExpectEntryFile(reference, drumlake, 8, true);
    }
    EXPECT_FALSE(GetFileAttributesW(drumlake.c_str()) & FILE_ATTRIBUTE_READONLY) << "the new program is writable";
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// An earlier program still open while setup installs over it (Brindlecap's
// program under Vantok's name, so that the new one shows): setup sets its
// file aside and writes the new one in its place, and the program goes on.
// While it runs, the uninstaller says what is left, keeps its entry so that
// the user can try again, and fails. A program and a link of the pack marked
// read-only are no reason to stay; a file and a verb of the user's stay, the
// file read-only as it was, and so do the folder and the keys that hold them
// until they are gone.
TEST_F(Journey, ProgramOpenDuringAnUpgradeAndARemoval)
{
    const std::wstring folder = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Running\\";
    ASSERT_NO_FATAL_FAILURE(InstallInto(folder));
    const std::wstring vantok = folder + L"Vantok.exe", setAside = folder + L"Vantok.e~~";
    ASSERT_TRUE(CopyFileW((folder + L"Brindlecap.exe").c_str(), vantok.c_str(), FALSE));
    RunningProgram earlier;
    ASSERT_TRUE(earlier.Start(vantok, L"Brindlecap")) << "the earlier program's window did not appear";
    WizardWalk upgrade = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(upgrade));
    {
        InProcessSetup reference;
        ASSERT_TRUE(reference.Prepare());
        ExpectEntryFile(reference, vantok, 1, true);
    }
    EXPECT_TRUE(Exists(setAside)) << "the earlier program, set aside";

    const std::wstring links = StartMenuFolder();
    ASSERT_TRUE(SetFileAttributesW((folder + L"Cryvane.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((links + L"Cryvane.lnk").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring notes = folder + L"my notes.txt";
    ASSERT_TRUE(WriteText(notes, "mine"));
    ASSERT_TRUE(SetFileAttributesW(notes.c_str(), FILE_ATTRIBUTE_READONLY));
    HKEY verb;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, JourneyUserVerb, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &verb, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(verb, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(L"mine"), 10);
    RegCloseKey(verb);
    {
        Uninstaller uninstaller;
        ASSERT_TRUE(uninstaller.Start(nullptr)) << "the entry's command: " << Narrow(UninstallString());
        uninstaller.Answer(IDYES);
        std::wstring report = uninstaller.Answer(IDOK);
        EXPECT_NE(report.find(L"Left in place:"), std::wstring::npos) << Narrow(report);
        EXPECT_NE(Folded(report).find(Folded(setAside)), std::wstring::npos)
            << "the running program not named: " << Narrow(report);
        EXPECT_EQ(uninstaller.Finish(), 2u) << "the exit code of a removal that left something";
    }
    EXPECT_TRUE(Exists(setAside)) << "the running program";
    EXPECT_TRUE(Exists(folder + L"uninstall.exe")) << "the uninstaller, with its entry";
    EXPECT_EQ(Folded(UninstallString()), Folded(L"\"" + folder + L"uninstall.exe\"")) << "the uninstall entry";
    EXPECT_FALSE(Exists(folder + L"Cryvane.exe")) << "a read-only program of the pack";
    EXPECT_FALSE(Exists(links + L"Cryvane.lnk")) << "a read-only link of the pack";
    earlier.Close();

    EXPECT_EQ(RemoveSilently(), 0u) << "the second removal";
    EXPECT_TRUE(AwaitSelfRemoval(folder, false)) << "the uninstaller beside the user's file";
    EXPECT_EQ(GetFileAttributesW(notes.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY),
              DWORD(FILE_ATTRIBUTE_READONLY))
        << "the user's read-only file";
    EXPECT_TRUE(UserKeyExists(JourneyUserVerb)) << "the user's verb";
    // Once the user's file is gone, a later round of the helper takes the folder.
    SetFileAttributesW(notes.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(notes.c_str()));
    DeleteUserKey(JourneyUserVerb);
    for (const WCHAR *key : {L"Software\\Classes\\SystemFileAssociations\\audio\\shell",
                             L"Software\\Classes\\SystemFileAssociations\\audio",
                             L"Software\\Classes\\SystemFileAssociations"})
        DeleteUserKeyIfEmpty(key);
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the folder, once empty";
    ExpectNothingOfThePackLeft(before_);
}

// Another process holds an earlier Vantok.exe open for a moment from the
// moment "Install" is pressed, as a scanner, an indexer or a backup tool
// holds a new file (read sharing only): setup tries it again at its next
// ticks and replaces it, listing it once.
TEST_F(Journey, FileHeldForAMomentIsReplacedOnceLetGo)
{
    const std::wstring folder = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Held\\";
    ASSERT_NO_FATAL_FAILURE(InstallInto(folder));
    const std::wstring vantok = folder + L"Vantok.exe";
    ASSERT_TRUE(CopyFileW((folder + L"Brindlecap.exe").c_str(), vantok.c_str(), FALSE));
    WizardWalk walk = {};
    walk.holdFile = L"Vantok.exe";
    walk.holdMs = 800;
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(walk));
    {
        InProcessSetup reference;
        ASSERT_TRUE(reference.Prepare());
        ExpectEntryFile(reference, vantok, 1, true);
    }
    EXPECT_FALSE(Exists(folder + L"Vantok.e~~")) << "a held program is no running one: nothing set aside";
    int listed = 0;
    for (int i = 0; i < walk.detailCount; i++)
        listed += Folded(walk.details[i]) == Folded(vantok);
    EXPECT_EQ(listed, 1) << "lines of the details list for Vantok.exe";
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// Installing again at once after a removal, into a folder that keeps a file
// of the user's, so that the removal's helper goes on trying to remove the
// folder for all of its rounds: after a removal with /S, and while the final
// message of an interactive removal is still open. Once both helpers have
// ended, both new uninstallers are there and remove their packs.
TEST_F(Journey, InstallationRightAfterARemovalKeepsItsUninstaller)
{
    const std::wstring silent = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Again\\";
    const std::wstring open = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Again While Open\\";
    Uninstaller silentRemoval, openRemoval;
    ASSERT_NO_FATAL_FAILURE(InstallInto(silent));
    ASSERT_TRUE(WriteText(silent + L"my notes.txt", "mine"));
    ASSERT_TRUE(silentRemoval.Start(L"/S")) << "the entry's command: " << Narrow(UninstallString());
    EXPECT_EQ(silentRemoval.Finish(), 0u) << "the removal with /S";
    ASSERT_NO_FATAL_FAILURE(InstallInto(silent));

    ASSERT_NO_FATAL_FAILURE(InstallInto(open));
    ASSERT_TRUE(WriteText(open + L"my notes.txt", "mine"));
    ASSERT_TRUE(openRemoval.Start(nullptr)) << "the entry's command: " << Narrow(UninstallString());
    openRemoval.Answer(IDYES);
    EXPECT_EQ(openRemoval.AwaitBox(IDOK), L"Orbelune App Pack (Single User) was removed from your computer.");
    ASSERT_NO_FATAL_FAILURE(InstallInto(open));
    openRemoval.Answer(IDOK);
    EXPECT_EQ(openRemoval.Finish(), 0u) << "the interactive removal";

    EXPECT_TRUE(silentRemoval.AwaitHelper()) << "the helper of the removal with /S still runs";
    EXPECT_TRUE(openRemoval.AwaitHelper()) << "the helper of the interactive removal still runs";
    {
        InProcessSetup reference;
        ASSERT_TRUE(reference.Prepare());
        for (const std::wstring &folder : {silent, open})
            ExpectEntryFile(reference, folder + L"uninstall.exe", 10, false);
    }
    EXPECT_EQ(Folded(UninstallString()), Folded(L"\"" + open + L"uninstall.exe\"")) << "the later installation's";
    EXPECT_EQ(RemoveSilently(), 0u) << "the removal through the entry";
    Uninstaller earlier;
    ASSERT_TRUE(earlier.StartFile(silent + L"uninstall.exe", L"/S"));
    EXPECT_EQ(earlier.Finish(), 0u) << "the removal of the earlier folder";
    for (const std::wstring &folder : {silent, open}) {
        EXPECT_TRUE(DeleteFileW((folder + L"my notes.txt").c_str())) << "the user's file in " << Narrow(folder);
        EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left: " << Narrow(folder);
    }
    ExpectNothingOfThePackLeft(before_);
}

// The pack installed in one folder, then in a second: the first folder's
// uninstaller removes its own programs and folder and nothing of the second
// installation (its recorded folder, entry, links, file types and verbs);
// the second's, started by its short name in capitals, knows its folder in
// any spelling and leaves nothing.
TEST_F(Journey, EarlierFolderUninstallerLeavesTheLaterInstallationWhole)
{
    const std::wstring one = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey One\\";
    const std::wstring two = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Two\\";
    ASSERT_NO_FATAL_FAILURE(InstallInto(one));
    ASSERT_NO_FATAL_FAILURE(InstallInto(two));
    UserSnapshot both = TakeUserSnapshot();
    Uninstaller earlier;
    ASSERT_TRUE(earlier.StartFile(one + L"uninstall.exe", L"/S"));
    EXPECT_EQ(earlier.Finish(), 0u) << "the earlier folder's removal";
    EXPECT_TRUE(AwaitSelfRemoval(one)) << "the earlier folder is left";
    std::wstring changes = PackChangesSince(both), others;
    for (size_t at = 0, end; at < changes.size(); at = end + 1) {
        end = changes.find(L'\n', at);
        end = end == std::wstring::npos ? changes.size() : end;
        std::wstring line = changes.substr(at, end - at);
        if (!line.empty() && Folded(line).find(Folded(one.substr(0, one.size() - 1))) == std::wstring::npos)
            others += L"\n" + line;
    }
    EXPECT_TRUE(others.empty()) << "changed outside the earlier folder:" << Narrow(others);
    ASSERT_NO_FATAL_FAILURE(ExpectInstalledFiles(two));
    for (const WCHAR *name : ProgramNames)
        EXPECT_EQ(Folded(LinkTarget(StartMenuFolder() + name + L".lnk")), Folded(two + name + L".exe"))
            << "the link of " << Narrow(name);

    WCHAR shortName[MAX_PATH];
    DWORD length = GetShortPathNameW(two.c_str(), shortName, ARRAYSIZE(shortName));
    ASSERT_TRUE(length > 0 && length < ARRAYSIZE(shortName)) << "no short name for " << Narrow(two);
    std::wstring spelt = Folded(shortName) + L"UNINSTALL.EXE";
    Uninstaller later;
    ASSERT_TRUE(later.StartFile(spelt, L"/S")) << Narrow(spelt);
    EXPECT_EQ(later.Finish(), 0u) << "the later folder's removal";
    EXPECT_TRUE(AwaitSelfRemoval(two)) << "the later folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// "uninstall.exe /S" with its standard output on a pipe, as a script or a
// deployment tool runs it: the reader sees the pipe's end as the uninstaller
// ends. A file of the user's keeps the folder, and with it the helper, for
// its half a minute of retries: a helper that held an inherited handle
// would hold the pipe open that long.
TEST_F(Journey, SilentRemovalOnAPipeEndsWithTheUninstaller)
{
    const std::wstring folder = ShellFolder(CSIDL_APPDATA) + L"Orbelune Journey Pipe\\";
    ASSERT_NO_FATAL_FAILURE(InstallInto(folder));
    const std::wstring notes = folder + L"my notes.txt";
    ASSERT_TRUE(WriteText(notes, "mine"));

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read, write;
    ASSERT_TRUE(CreatePipe(&read, &write, &inherit, 0));
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    Uninstaller uninstaller;
    bool started = uninstaller.Start(L"/S", write);
    CloseHandle(write);
    if (!started)
        CloseHandle(read);
    ASSERT_TRUE(started) << "the entry's command: " << Narrow(UninstallString());
    DWORD exitedAt = 0, endedAt = 0;
    for (DWORD start = GetTickCount(); !endedAt && GetTickCount() - start < 60000; Sleep(10)) {
        if (!exitedAt && WaitForSingleObject(uninstaller.Process(), 0) == WAIT_OBJECT_0)
            exitedAt = GetTickCount();
        DWORD available = 0;
        if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) {
            if (GetLastError() != ERROR_BROKEN_PIPE)
                break;
            endedAt = GetTickCount();
        } else if (available) {
            char buffer[256];
            DWORD got = 0;
            ReadFile(read, buffer, sizeof(buffer) < available ? sizeof(buffer) : available, &got, nullptr);
        }
    }
    CloseHandle(read);
    EXPECT_EQ(uninstaller.Finish(), 0u) << "the uninstaller's exit code";
    ASSERT_NE(exitedAt, 0u) << "the uninstaller did not end";
    ASSERT_NE(endedAt, 0u) << "the pipe's reader saw no end within a minute";
    EXPECT_LE(endedAt - exitedAt, 2000u) << "another process holds the pipe's write end";
    printf("[   PIPE   ] the pipe's end came %lu ms after the uninstaller's exit\n", endedAt - exitedAt);

    EXPECT_TRUE(AwaitSelfRemoval(folder, false)) << "the uninstaller beside the user's file";
    SetFileAttributesW(notes.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(notes.c_str()));
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the folder, once empty";
    ExpectNothingOfThePackLeft(before_);
}

// The command extensions switched off for every cmd of the user: the
// helper's "set /p" needs them, and its /e:on takes precedence.
TEST_F(Journey, RemovalWithCommandExtensionsOffLeavesNothing)
{
    if (RunningOnWine())
        GTEST_SKIP() << "Wine's cmd (8 and 10) ignores EnableExtensions: only Windows shows that the helper "
                        "overrides the user's setting";
    const std::wstring folder = DefaultInstallFolder();
    WizardWalk walk = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(walk));
    CommandExtensionsOff off;
    ASSERT_TRUE(off.Set()) << "EnableExtensions";
    // In force: without its extensions cmd has no %CMDEXTVERSION% to
    // expand to their version number.
    std::string probe = CommandOutput(L"/d /c echo [%CMDEXTVERSION%]");
    ASSERT_EQ(probe.compare(0, 1, "["), 0) << "cmd's answer: " << probe;
    ASSERT_FALSE(probe.size() > 1 && isdigit(static_cast<unsigned char>(probe[1])))
        << "cmd still has its extensions: " << probe;
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// A folder whose name cmd would read as its own syntax (a defined
// %variable%, a %i loop variable, ! ^ & ( ) ' , ; = and letters beyond
// ASCII) is installed into and removed whole, with no namesake left beside
// it. (Wine 8's cmd expands %variables% in an expanded value again, unlike
// Windows' and Wine 10's: there a name holding "%SystemRoot%", the one
// variable of the helper's environment that a folder name can hold, would
// stay; not tested.)
TEST_F(Journey, FolderNamedInCmdSyntaxIsRemovedWhole)
{
    const std::wstring folder = ShellFolder(CSIDL_APPDATA) +
                                L"Orbelune Journey 100%increase %OrbeluneFolder% %PATH% %i !x! ^ & ( ) ' , ; = "
                                L"\u00dcn\u00efc\u00f8d\u00e9\\";
    ASSERT_NO_FATAL_FAILURE(InstallInto(folder));
    EXPECT_TRUE(Exists(folder + L"uninstall.exe")) << "the uninstaller in the folder";
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    EXPECT_TRUE(UninstallString().empty()) << "the uninstall entry";
    ExpectNothingOfThePackLeft(before_);
}

// An installation ended as a crash or a power cut ends it, after two
// programs: the next run completes it, and the removal leaves nothing.
TEST_F(Journey, InstallationCutOffIsCompletedByTheNextRun)
{
    const std::wstring folder = DefaultInstallFolder();
    WizardWalk cut = {};
    cut.killAfter = L"Brindlecap.exe";
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(cut));
    EXPECT_TRUE(Exists(folder + L"Brindlecap.exe")) << "the second program before the end";
    WizardWalk again = {};
    ASSERT_NO_FATAL_FAILURE(InstallThroughWizard(again));
    EXPECT_EQ(RemoveSilently(), 0u) << "the uninstaller's exit code";
    EXPECT_TRUE(AwaitSelfRemoval(folder)) << "the uninstaller or its folder is left";
    ExpectNothingOfThePackLeft(before_);
}

// "/cleanup HANDLE PATH", which an earlier uninstaller obeyed by deleting
// PATH, is refused like every argument but /S, and deletes nothing.
TEST_F(Journey, UninstallerRefusesArgumentsItDoesNotKnow)
{
    WCHAR temp[MAX_PATH], built[MAX_PATH];
    MakeTempFolder(temp, ARRAYSIZE(temp));
    ASSERT_TRUE(BuildOutputPath(L"payload\\uninstall.exe", built, ARRAYSIZE(built)));
    const std::wstring copy = std::wstring(temp) + L"uninstall.exe", victim = std::wstring(temp) + L"victim.txt";
    ASSERT_TRUE(CopyFileW(built, copy.c_str(), TRUE));
    ASSERT_TRUE(WriteText(victim, "keep"));
    Uninstaller uninstaller;
    ASSERT_TRUE(uninstaller.StartFile(copy, (L"/cleanup 0 \"" + victim + L"\"").c_str()));
    EXPECT_EQ(uninstaller.Finish(15000), DWORD(ERROR_INVALID_PARAMETER)) << "exit code";
    EXPECT_TRUE(Exists(victim)) << "the file that the command line named";
    DeleteTree(temp);
    ExpectNothingOfThePackLeft(before_);
}
