// The setup shell: the one SetupState record of the run, start-up, the
// message loop, the main window and the step scheduler.
#pragma once
#include <windows.h>

#include "archive.h"

enum SetupPhase : UINT32 {
    Wizard = 0,
    Installing = 1,
    Finished = 2,
    Closing = 3,
};

enum {
    PathBufferUnits = 300,
    ScratchBytes = 512,
    PageCount = 4,
    ComponentCount = 8,
    ComponentNameCount = 9,       // the eight components, then "Uninstall"
    StepTimerId = 1,
    StepTimerPeriodMs = 125,
    StepMessage = WM_APP,         // wParam: the install step to run next
    LicenseInsetMessage = WM_APP + 1,  // wParam: the inset of a DPI change
    LastInstallStep = 8,
};

// The component names in component order, then "Uninstall" (whose file is
// "uninstall.exe").
inline constexpr const WCHAR *ComponentNameTable[ComponentNameCount] = {
    L"Vantok", L"Brindlecap", L"Ostravelind", L"Zafrin", L"Kestrefond",
    L"Quillmarsh", L"Cryvane", L"Drumlake", L"Uninstall",
};

// The longest name of a file that setup writes into the install folder: a
// name of the table and ".exe". The temporary and set-aside names of a file
// change the last units of its name, so they are never longer.
constexpr UINT32 LongestInstalledNameUnits()
{
    UINT32 longest = 0;
    for (const WCHAR *name : ComponentNameTable) {
        UINT32 units = 0;
        while (name[units])
            units++;
        longest = units > longest ? units : longest;
    }
    return longest + ARRAYSIZE(L".exe") - 1;
}

enum : UINT32 {
    // The longest install folder, its trailing backslash counted, in which
    // every file of the pack still has a path below MAX_PATH.
    InstallDirMaxUnits = MAX_PATH - 1 - LongestInstalledNameUnits(),
    // "AppPath" is such a folder with its backslash, and the terminator.
    StoredPathByteLimit = (InstallDirMaxUnits + 1) * sizeof(WCHAR),
};

// Page numbers, indexes of SetupState::pages.
enum : UINT32 {
    LicensePage = 0,
    ComponentsPage = 1,
    DirectoryPage = 2,
    ProgressPage = 3,
};

struct SetupState {
    HINSTANCE instance;
    HWND mainWindow;
    HWND pages[PageCount];
    HWND detailsList;
    HICON appIcon;
    const BYTE *payloadResource;
    UINT32 payloadResourceSize;
    UINT32 currentPage;
    UINT32 phase;            // a SetupPhase
    UINT32 failureCount;
    UINT32 requiredBytes;
    UINT32 pendingStep;      // 0: nothing due; k > 0: step k - 1 runs at the next tick
    WCHAR installDir[PathBufferUnits];
    WCHAR shortcutDir[PathBufferUnits];
    WCHAR browseDir[PathBufferUnits];
    PayloadEntry entries[PayloadEntryCount];
    PayloadBuffer payload;
    alignas(8) BYTE scratch[ScratchBytes];  // also holds UTF-16 key paths
    const WCHAR *componentNames[ComponentNameCount];
    UINT32 associationsWritten;  // file types or verbs written: the shell is told once, at the end
    RECT licenseTextRect;    // the license edit's own formatting rect, before any inset
    RECT licenseInsetRect;   // the rect the edit made of the last inset
    UINT32 heldPart;         // what of the due step another process held (steps.cpp), tried again at the next ticks
    DWORD heldSince;         // GetTickCount() of the first try that found it held
    UINT32 folderRecordFailed;  // the final step could not record the folder before its uninstaller was held
};

// The record of the run; set once, before COM and before any window.
extern SetupState *setupState;

// The wide-character GUI entry. Always returns 0.
int WINAPI RunSetup(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show);

// Zero-fills the record, sets instance and the component names, and makes it
// the process-wide record.
void PrepareSetupState(SetupState *state, HINSTANCE instance);

// Loads the payload and sets installDir, browseDir and shortcutDir.
bool InitSetupPaths();

// Fetches and dispatches one message as the setup's message loop does,
// offering it to the current page first. Returns the GetMessageW result.
BOOL PumpSetupMessage(MSG *message);

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Moves the formatting rectangle of the license edit inwards by dx and dy
// from the edit's own rectangle, whatever inset came before; where the edit
// refuses a rectangle too short for its text, dy is cut to the largest that
// it takes.
void SetEditMargins(HWND edit, int dx, int dy);

// The start-up failure box "Setup initialization failed." / "Error", owned by
// mainWindow, which is null whenever it is shown.
void ShowInitFailure();

// Inset of the license text for a vertical DPI: DPI * 5 / 96, at most 20.
int LicenseInsetForDpi(UINT dpi);
