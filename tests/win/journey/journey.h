// Helpers of the journey tests: the build's own setup program and
// uninstaller, started as a person starts them and driven from outside
// (ui.h), and what they leave read back through Windows' own interfaces.
// A case of its own is a few lines of these: install into a folder, remove
// through the entry, await the self-removal, expect nothing left.
#pragma once
#include <windows.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "ui.h"
#include "winutil.h"

// A text as UTF-8, for the messages of failed checks.
std::string Narrow(const std::wstring &text);
// Folded to upper case, as the file system and the registry compare names.
std::wstring Folded(std::wstring text);
bool Exists(const std::wstring &path);

// A shell folder (CSIDL_APPDATA, CSIDL_PROGRAMS...) with a trailing backslash.
std::wstring ShellFolder(int csidl);
// Where setup installs by default, and its Start-menu folder, with backslashes.
std::wstring DefaultInstallFolder();
std::wstring StartMenuFolder();

// The build's setup program, found from the test program as the other tests
// find it.
std::wstring SetupProgramPath();

// Removes the pack's per-user state and what a failed earlier journey may
// have left: programs and boxes of the pack still open, the journey's own
// folders and keys. Keys that the pack's keys lie under go only when empty.
void CleanJourneyState();

// Deletes HKCU\path when it holds no key and no value.
void DeleteUserKeyIfEmpty(const WCHAR *path);

// The names of what the profile, the temp folder and HKCU hold.
struct UserSnapshot {
    std::set<std::wstring> entries;
};
UserSnapshot TakeUserSnapshot();

// The entries that name the pack (a program, a file type, the folder, the
// uninstaller) and came ("+") or went ("-") since before, one a line.
std::wstring PackChangesSince(const UserSnapshot &before);

// Expects no such change.
void ExpectNothingOfThePackLeft(const UserSnapshot &before);

// Walks the wizard through a whole installation into the folder that setup
// offers; fails the test unless it completed and setup ended with 0.
void InstallThroughWizard(WizardWalk &walk);

// Records folder (with its trailing backslash) as the folder of an earlier
// installation, which setup then offers, creates it, and installs there.
void InstallInto(const std::wstring &folder);

// The uninstall entry's "UninstallString"; empty when there is none.
std::wstring UninstallString();

// The uninstaller, started as the list of installed programs starts it:
// the entry's own command line, with arguments after it.
class Uninstaller {
public:
    ~Uninstaller();  // ends it if it still runs
    // Starts it; with output, its standard output and error go there
    // (an inheritable handle).
    bool Start(const WCHAR *arguments, HANDLE output = nullptr);
    // Starts the uninstaller file at path instead (an earlier folder's, a copy).
    bool StartFile(const std::wstring &path, const WCHAR *arguments);
    // Waits for a box of the uninstaller's with this button, returns its
    // text, leaves it open for holdMs, then presses the button.
    std::wstring Answer(int button, DWORD holdMs = 0);
    // Waits for such a box and returns its text, leaving it open.
    std::wstring AwaitBox(int button);
    // Waits for its self-removal helper (cmd.exe, started by it) to end:
    // its rounds are over. False when one still runs after timeoutMs.
    bool AwaitHelper(DWORD timeoutMs = 60000);
    // Waits for the uninstaller to end and returns its exit code
    // (STILL_ACTIVE when it did not end in time, and then ends it).
    DWORD Finish(DWORD timeoutMs = 60000);
    HANDLE Process() const { return process_.hProcess; }

private:
    bool Launch(std::wstring command, const WCHAR *arguments, HANDLE output);
    PROCESS_INFORMATION process_ = {};
    DWORD processId_ = 0;  // kept once it has ended, to find its helper
};

// "UninstallString" /S, to its end; returns its exit code.
DWORD RemoveSilently();

// Waits for the uninstaller's helper to have removed the uninstaller of
// folder (under its own name and the one it leaves it under, uninstall.e~~)
// and, with folderGoes, the folder itself; false when any is left.
bool AwaitSelfRemoval(const std::wstring &folder, bool folderGoes = true);

// A program of the pack started from its folder, as a person leaves one open.
class RunningProgram {
public:
    ~RunningProgram() { Close(); }
    // Title: its window's, when it is another program under this name.
    bool Start(const std::wstring &path, const WCHAR *title = nullptr);
    // Closes its window, as the user would, and waits for it to end.
    void Close();

private:
    PROCESS_INFORMATION process_ = {};
    std::wstring title_;
};

// The fixture of every journey: COM for the shell's objects, the user's
// state cleaned before and after, and a snapshot of it taken before.
class Journey : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    UserSnapshot before_;
    bool comReady_ = false;
};
