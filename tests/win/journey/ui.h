// Driving the setup program's and the uninstaller's windows from another
// process, as a person's clicks and keystrokes arrive there, and pictures of
// windows as the platform drew them. Shared by the journey tests and the
// end-to-end run's driver, so it needs no test framework.
#pragma once
#include <windows.h>

extern const WCHAR SetupTitle[];        // the wizard's window title
extern const WCHAR UninstallCaption[];  // the title of the uninstaller's boxes

// The first visible top-level window of the process (0: of any process) with
// this title (null: any) and class (null: any); null when none came in time.
HWND WaitForWindow(DWORD processId, const WCHAR *title, const WCHAR *className, DWORD timeoutMs);

// The number (0 to 3) of a page of the wizard, told by a control only that
// page has; -1 for another window.
int PageNumber(HWND page);

// Waits until page `number` is the visible page of the wizard; null on time-out.
HWND WaitForPage(HWND main, int number, DWORD timeoutMs);

// A click on a push button of a dialog: the notification that the button
// sends its dialog when clicked. (BM_CLICK goes through the mouse capture,
// which Windows gives a window in the background only in part: a click on a
// dialog that is not active "might fail".)
void Press(HWND dialog, int id);

// A keystroke into the other process's queue, for the control that has the
// focus there (or the page itself when the focus is elsewhere).
void PressKey(HWND page, UINT key);

// Shift+Tab. The caller shares the setup thread's input state
// (AttachThreadInput), where Shift is held for the keystroke.
void PressShiftTab(HWND page);

// Alt and a letter, as system key messages.
void PressAlt(HWND page, char letter);

// The id of the control that has the focus in the page's thread; 0 if none.
int FocusedId(HWND page);

// Waits until the control with this id has the focus; false on time-out.
bool WaitForFocus(HWND page, int id);

// Waits up to 30 s for the progress page's final status line and copies it
// (or whatever the line shows at the time-out).
void WaitForFinalStatus(HWND page, WCHAR *status, DWORD capacity);

// Starts path with the command line "path" arguments (arguments may be null).
bool StartProgram(const WCHAR *path, const WCHAR *arguments, PROCESS_INFORMATION *process);

enum PictureSource {
    PictureNotTaken,       // nothing drawn, or not written
    PictureByPrintWindow,  // the window drew itself (PrintWindow)
    PictureFromScreen,     // copied from the screen, where PrintWindow drew nothing
};

// Writes a picture of the window, as the platform drew it, as a PNG file
// (through the Windows Imaging Component; COM must be initialised). A
// picture of one colour only counts as not taken.
PictureSource SavePicture(HWND window, const WCHAR *path);

enum { WalkTextUnits = 300, WalkDetailLines = 24, WalkPictures = 5 };

// One walk through the wizard of a setup program started anew: I Agree,
// Next, (Browse), Install, the steps (with a close request among them, which
// must change nothing), Show Details, Close.
struct WizardWalk {
    // What to do.
    bool browseFirstChild;        // pick the first folder below the shown one's parent
    const WCHAR *pictures;        // a folder for a picture of each page, or null
    const WCHAR *picturePrefix;   // put before each picture's name, or null
    const WCHAR *killAfter;       // end setup as a crash would once this file is in the folder
    const WCHAR *holdFile;        // a file of the folder held open (read sharing only) from the moment
    DWORD holdMs;                 // "Install" is pressed, for this long, as a scanner holds a new file
    // What came.
    const char *failure;          // what did not come, or null when the walk ended as planned
    WCHAR note[WalkTextUnits];    // more about the failure, when there is more
    int dpiAwareness;             // what the system made of the manifest (2: per monitor)
    WCHAR folder[WalkTextUnits];  // the folder that the destination page showed
    WCHAR status[128];            // the final status line
    WCHAR details[WalkDetailLines][WalkTextUnits];
    int detailCount;
    DWORD exitCode;               // setup's, once it ended
    PictureSource pictureSources[WalkPictures];  // license, components, destination, progress, end
};

// The walk; false with walk->failure set when something did not come, in
// which case the setup program is ended.
bool WalkWizard(const WCHAR *setup, WizardWalk *walk);

// The names of the walk's pictures, in order.
extern const WCHAR *const PictureNames[WalkPictures];

// Waits up to 30 s for a message box of the process (0: any) with this
// title that has this button and copies its text; null when none came.
HWND WaitForBox(DWORD processId, const WCHAR *title, int button, WCHAR *text, DWORD capacity);

// Waits for such a box (WaitForBox), leaves it open for holdMs and presses
// the button. Returns null, or what went wrong.
const char *AnswerBox(DWORD processId, const WCHAR *title, int button, DWORD holdMs, WCHAR *text,
                      DWORD capacity);

// The text that a program of the pack shows in its window (what it opened),
// read from the first such window with this title; the window is then closed.
bool ReadProgramWindow(DWORD processId, const WCHAR *title, WCHAR *text, DWORD capacity, DWORD timeoutMs);
