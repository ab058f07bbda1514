// Helpers shared by the Windows tests.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "setup.h"

// Path of a file in the Windows build folder (the parent of the tests folder).
bool BuildOutputPath(const WCHAR *name, WCHAR *path, DWORD capacity);

// Removes everything an installation or a test can leave for the current
// user: the pack's HKCU keys (recorded folder, file types, verbs, uninstall
// entry) and the folders %APPDATA%\Orbelune and Start Menu\Programs\Orbelune.
void CleanUserState();

// Deletes a registry tree under HKCU; a missing key is fine.
void DeleteUserKey(const WCHAR *path);

// Deletes a folder and everything in it; a missing folder is fine.
void DeleteTree(const WCHAR *path);

// A fresh, empty folder under the user's temp folder, ending in "\"; false,
// with a failure of the calling test, when it cannot be made.
bool MakeTempFolder(WCHAR *path, DWORD capacity);

// Points every import slot of kernel32!name in the test module (which links
// setup's routines) at replacement; returns what the slot held before.
void *PatchImport(const char *name, void *replacement);

// Whether HKCU\path exists.
bool UserKeyExists(const WCHAR *path);

// Whether %APPDATA%\Orbelune exists.
bool AppDataFolderExists();

// The target path that a saved link names, as the shell link object reads it
// back; a text in angle brackets when it cannot. COM must be initialised.
std::wstring LinkTarget(const std::wstring &link);

class InProcessSetup;

// What the progress page shows: the status line (ANSI), the bar's position
// and the details list's lines.
std::string StatusText(InProcessSetup &setup);
int BarPosition(InProcessSetup &setup);
std::vector<std::wstring> DetailLines(InProcessSetup &setup);

// Expects the details lines to be exactly these, line by line.
void ExpectLines(const std::vector<std::wstring> &actual, const std::vector<std::wstring> &expected);

// Expects the file at path to hold exactly payload entry `entry` of the run
// and, when stamped, to carry the entry's recorded last-write time.
void ExpectEntryFile(InProcessSetup &setup, const std::wstring &path, UINT32 entry, bool stamped);

// Whether the tests run under Wine (its ntdll exports wine_get_version), for
// the checks where Wine is known to answer unlike Windows.
bool RunningOnWine();

// Writes text (without its terminator) as the whole of a new or emptied file.
bool WriteText(const std::wstring &path, const char *text);

// Reads a whole file; returns false when it cannot be opened.
bool ReadWholeFile(const WCHAR *path, BYTE **data, DWORD *size);

// An in-process run of the setup program, as RunSetup does it but without
// its message loop, so that a test can drive the dialogs: the record, COM,
// the common controls, InitSetupPaths and MainDialog from the test module's
// own resources (it links the setup's resources, payload included).
class InProcessSetup {
public:
    InProcessSetup();   // does not start anything
    ~InProcessSetup();  // destroys the window, frees the payload, uninitialises COM
    // Up to InitSetupPaths; false when it failed.
    bool Prepare();
    // Prepare() and MainDialog; false when either failed.
    bool Start();
    SetupState &State() { return state_; }
    HWND Page(UINT32 index) const { return state_.pages[index]; }
    HWND Control(UINT32 page, int id) const { return GetDlgItem(state_.pages[page], id); }

private:
    SetupState state_;
    bool comReady_;
};

// Dispatches messages as the setup's loop does, for about ms milliseconds.
// Returns false if the quit message arrived.
bool PumpFor(DWORD ms);

// Dispatches messages as PumpFor does until the installation has finished or
// timeoutMs passes, and calls afterStep(k) once the timer tick that ran step
// k has been handled. Steps are counted from the ticks that found one due, not
// from the bar, which a starved process may see move twice between two looks.
// Returns the number of steps.
int PumpInstallSteps(DWORD timeoutMs, const std::function<void(int step)> &afterStep);

// Dispatches messages until done() holds or timeoutMs passes; true if it held.
template <typename Predicate> bool PumpUntil(Predicate done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        PumpFor(10);
    }
    return true;
}

// Clicks a button through the page's own dialog handling (BM_CLICK), then
// lets posted messages run.
void Click(HWND button);
