// The Windows side of `make bench`: measures the setup program from outside,
// as a user would meet it, against references, and prints one line a figure.
//
//   bench_measure stub SETUP
//       figure 1: the file's size minus the size of resource 102, and where
//       those bytes are: each section's bytes used and in the file
//   bench_measure start SETUP REFERENCE WITHOUT_PAYLOAD RUNS LOAD_NS
//       figures 3 and 6: time from CreateProcess to the main window becoming
//       visible, and the working set, for the three programs in turn;
//       LOAD_NS is the native LoadPayload time that bounds the extra time
//   bench_measure install SETUP RUNS
//       figure 4: time from pressing "&Install" to the final status line
//   bench_measure scale SETUP WITHOUT_PAYLOAD RUNS INSTALL_RUNS
//       one size of the scale run: the extra time to the first window and
//       the extra peak working set over the same setup without its payload
//       step, and the install time, as one line of numbers for bench.sh
#include <windows.h>

#include <psapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

const WCHAR SetupTitle[] = L"Orbelune App Pack (Single User)";
const char SucceededText[] = "Installation completed successfully.";
const char FailedText[] = "Installation failed.";
const DWORD WindowTimeoutMs = 30000;
const DWORD SettleMs = 300;         // the window paints before the peak is read
const DWORD QuietMs = 200;          // between one program's end and the next start
const double StubGoalBytes = 35328;       // the smallest known LZMA self-extractor module, without a wizard
const double StubPeerBytes = 38400;       // another common installer tool's LZMA stub, without its wizard pages
const double TickFloorMs = 9 * 125.0;
enum { MaxRuns = 99, ControlForward = 1, ControlBrowse = 4, ControlStatus = 1003, ControlLicense = 1004,
       ControlFirstComponent = 1006 };

LARGE_INTEGER frequency;

double Milliseconds(LONGLONG from, LONGLONG to)
{
    return static_cast<double>(to - from) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int CompareDoubles(const void *a, const void *b)
{
    double x = *static_cast<const double *>(a), y = *static_cast<const double *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Median of count values; sorts them in place.
double Median(double *values, int count)
{
    qsort(values, count, sizeof(values[0]), CompareDoubles);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

const char *Verdict(double ratio, double goal)
{
    return ratio <= goal ? "met" : "NOT met";
}

// --- per-user state of the setup, removed before each run -----------------

void DeleteTree(const WCHAR *folder)
{
    WCHAR pattern[MAX_PATH];
    if (swprintf(pattern, ARRAYSIZE(pattern), L"%ls\\*", folder) < 0)
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
                continue;
            WCHAR path[MAX_PATH];
            if (swprintf(path, ARRAYSIZE(path), L"%ls\\%ls", folder, found.cFileName) < 0)
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder);
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
        RegDeleteTreeW(HKEY_CURRENT_USER, key);
    const int folders[] = {CSIDL_APPDATA, CSIDL_PROGRAMS};
    for (int csidl : folders) {
        WCHAR folder[MAX_PATH];
        if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK &&
            wcslen(folder) + 10 < ARRAYSIZE(folder)) {
            wcscat(folder, L"\\Orbelune");
            DeleteTree(folder);
        }
    }
}

// --- processes and windows --------------------------------------------------

bool StartProcess(const WCHAR *path, PROCESS_INFORMATION *process)
{
    WCHAR command[MAX_PATH + 4];
    if (swprintf(command, ARRAYSIZE(command), L"\"%ls\"", path) < 0)
        return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process);
}

void EndProcess(PROCESS_INFORMATION *process, HWND window)
{
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process->hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process->hProcess, 1);
        WaitForSingleObject(process->hProcess, 5000);
    }
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
}

bool IsTargetWindow(HWND window, DWORD processId)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != processId || GetParent(window) || !IsWindowVisible(window))
        return false;
    WCHAR title[64] = {};
    GetWindowTextW(window, title, ARRAYSIZE(title));
    return wcscmp(title, SetupTitle) == 0;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(parameter);
    if (!IsTargetWindow(window, search->processId))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindTargetWindow(DWORD processId)
{
    WindowSearch search = {processId, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits until the target's window is visible, looking every millisecond
// (Wine 8 raises no EVENT_OBJECT_SHOW that a WinEvent hook could take).
// Returns the window and the time it was seen, or null when the process ends
// or the time runs out.
HWND WaitForShownWindow(const PROCESS_INFORMATION &process, LONGLONG *shownTime)
{
    LONGLONG start = Now();
    while (Milliseconds(start, Now()) < WindowTimeoutMs) {
        HWND window = FindWindowW(L"#32770", SetupTitle);
        if (window && !IsTargetWindow(window, process.dwProcessId))
            window = FindTargetWindow(process.dwProcessId);
        if (window) {
            *shownTime = Now();
            return window;
        }
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

struct StartRun {
    double windowMs;
    double workingSetMiB;  // when the window became visible
    double peakMiB;        // peak working set, once the window has painted
};

bool MeasureStart(const WCHAR *program, StartRun *run)
{
    CleanUserState();
    // The previous program's teardown (its windows, its wineserver
    // bookkeeping) is over before the next one starts.
    Sleep(QuietMs);
    PROCESS_INFORMATION process;
    LONGLONG started = Now();
    if (!StartProcess(program, &process))
        return false;
    LONGLONG shown = 0;
    HWND window = WaitForShownWindow(process, &shown);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    bool ok = window && GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory));
    if (ok) {
        run->windowMs = Milliseconds(started, shown);
        run->workingSetMiB = memory.WorkingSetSize / 1048576.0;
        Sleep(SettleMs);
        ok = GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory));
        run->peakMiB = memory.PeakWorkingSetSize / 1048576.0;
    }
    EndProcess(&process, window);
    return ok;
}

// --- the wizard, driven by posted clicks -----------------------------------

struct PageSearch {
    int control;
    HWND found;
};

BOOL CALLBACK MatchPage(HWND child, LPARAM parameter)
{
    PageSearch *search = reinterpret_cast<PageSearch *>(parameter);
    WCHAR name[16] = {};
    GetClassNameW(child, name, ARRAYSIZE(name));
    if (wcscmp(name, L"#32770") != 0 || !GetDlgItem(child, search->control))
        return TRUE;
    search->found = child;
    return FALSE;
}

// The page of the main window that has the control (1004 license, 1006
// components, 4 destination, 1003 progress).
HWND FindPage(HWND main, int control)
{
    PageSearch search = {control, nullptr};
    EnumChildWindows(main, MatchPage, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits until the page with the control is the visible one and its forward
// button is enabled.
HWND WaitForPage(HWND main, int control)
{
    DWORD start = GetTickCount();
    do {
        HWND page = FindPage(main, control);
        if (page && IsWindowVisible(page) && IsWindowEnabled(GetDlgItem(page, ControlForward)))
            return page;
        Sleep(5);
    } while (GetTickCount() - start < 10000);
    return nullptr;
}

void Press(HWND page, int control)
{
    PostMessageW(GetDlgItem(page, control), BM_CLICK, 0, 0);
}

// One installation with everything ticked: milliseconds from the press of
// "&Install" to the final status line, or a negative value on failure.
double MeasureInstall(const WCHAR *setup, bool *succeeded)
{
    CleanUserState();
    PROCESS_INFORMATION process;
    if (!StartProcess(setup, &process))
        return -1;
    double result = -1;
    HWND main = nullptr;
    for (DWORD start = GetTickCount(); !main && GetTickCount() - start < WindowTimeoutMs; Sleep(10))
        main = FindTargetWindow(process.dwProcessId);
    HWND page = main ? WaitForPage(main, ControlLicense) : nullptr;
    if (page) {
        Press(page, ControlForward);
        page = WaitForPage(main, ControlFirstComponent);
    }
    if (page) {
        Press(page, ControlForward);
        page = WaitForPage(main, ControlBrowse);
    }
    HWND progress = main ? FindPage(main, ControlStatus) : nullptr;
    HWND status = progress ? GetDlgItem(progress, ControlStatus) : nullptr;
    if (page && status) {
        LONGLONG pressed = Now();
        Press(page, ControlForward);
        char text[64] = {};
        while (Milliseconds(pressed, Now()) < WindowTimeoutMs) {
            // GetWindowTextA of another process's control reads the stored
            // text without sending it a message, so the polling costs the
            // setup nothing.
            GetWindowTextA(status, text, sizeof(text));
            if (!strcmp(text, SucceededText) || !strcmp(text, FailedText)) {
                result = Milliseconds(pressed, Now());
                *succeeded = !strcmp(text, SucceededText);
                break;
            }
            Sleep(1);
        }
    }
    EndProcess(&process, main);
    CleanUserState();
    return result;
}

// --- the figures ------------------------------------------------------------

// Prints "1 stub sections": the headers and each section's bytes used and
// in the file, the resource section without the payload resource's bytes.
void PrintStubSections(const WCHAR *setup, DWORD payload)
{
    BYTE headers[4096] = {};
    FILE *file = _wfopen(setup, L"rb");
    size_t read = file ? fread(headers, 1, sizeof(headers), file) : 0;
    if (file)
        fclose(file);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(headers);
    DWORD at = read >= sizeof(*dos) && dos->e_magic == IMAGE_DOS_SIGNATURE ? static_cast<DWORD>(dos->e_lfanew) : 0;
    if (!at || read < sizeof(IMAGE_NT_HEADERS64) || at > read - sizeof(IMAGE_NT_HEADERS64)) {
        printf("1 stub sections: cannot read the headers of %ls\n", setup);
        return;
    }
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(headers + at);
    DWORD first = at + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
    WORD count = nt->FileHeader.NumberOfSections;
    if (nt->Signature != IMAGE_NT_SIGNATURE || first + count * sizeof(IMAGE_SECTION_HEADER) > read) {
        printf("1 stub sections: cannot read the section table of %ls\n", setup);
        return;
    }
    printf("1 stub sections (bytes used / in the file, file alignment %lu): headers %lu", nt->OptionalHeader.FileAlignment,
           nt->OptionalHeader.SizeOfHeaders);
    const IMAGE_SECTION_HEADER *sections = reinterpret_cast<const IMAGE_SECTION_HEADER *>(headers + first);
    for (WORD i = 0; i < count; i++) {
        char name[IMAGE_SIZEOF_SHORT_NAME + 1] = {};
        memcpy(name, sections[i].Name, IMAGE_SIZEOF_SHORT_NAME);
        DWORD used = sections[i].Misc.VirtualSize, inFile = sections[i].SizeOfRawData;
        bool resources = !strcmp(name, ".rsrc") && used >= payload && inFile >= payload;
        printf(" | %s%s %lu / %lu", name, resources ? " without the payload" : "", resources ? used - payload : used,
               resources ? inFile - payload : inFile);
    }
    printf("\n");
}

int StubFigure(const WCHAR *setup)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(setup, GetFileExInfoStandard, &attributes)) {
        printf("1 stub size: cannot read %ls\n", setup);
        return 1;
    }
    HMODULE module = LoadLibraryExW(setup, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HRSRC resource = module ? FindResourceW(module, MAKEINTRESOURCEW(102), RT_RCDATA) : nullptr;
    DWORD payload = resource ? SizeofResource(module, resource) : 0;
    if (module)
        FreeLibrary(module);
    if (!payload) {
        printf("1 stub size: no resource 102 in %ls\n", setup);
        return 1;
    }
    double stub = static_cast<double>(attributes.nFileSizeLow) - payload;
    printf("1 stub size (setup %lu bytes - payload resource %lu): %.0f bytes | reference: %.0f bytes, the smallest "
           "known LZMA self-extractor module (32-bit, no wizard): ratio %.3f (goal <= 1.000) %s | %.0f bytes, the LZMA "
           "stub of another common installer tool (32-bit, without its wizard pages): ratio %.3f\n",
           attributes.nFileSizeLow, payload, stub, StubGoalBytes, stub / StubGoalBytes,
           Verdict(stub / StubGoalBytes, 1.0), StubPeerBytes, stub / StubPeerBytes);
    PrintStubSections(setup, payload);
    return 0;
}

// The programs of the start-up figures, measured in turn.
enum { SetupProgram, ReferenceProgram, WithoutPayloadProgram, ProgramCount };

// Median over the rounds of the setup's value minus the other program's.
// Pairing the runs of one round cancels the slow drift of a shared machine.
double MedianExtra(const double setup[], const double other[], int runs)
{
    double differences[MaxRuns];
    for (int i = 0; i < runs; i++)
        differences[i] = setup[i] - other[i];
    return Median(differences, runs);
}

int StartFigures(const WCHAR *const programs[ProgramCount], int runs, double loadMs)
{
    static const char *const names[ProgramCount] = {"setup", "reference", "setup without payload"};
    static double windowMs[ProgramCount][MaxRuns], shownMiB[ProgramCount][MaxRuns], peakMiB[ProgramCount][MaxRuns];
    StartRun run;
    // One unmeasured run each, so that all start from the same warm caches.
    for (int p = 0; p < ProgramCount; p++) {
        if (!MeasureStart(programs[p], &run)) {
            printf("3 time to first window: the %s program did not show its window\n", names[p]);
            return 1;
        }
    }
    for (int i = 0; i < runs; i++) {
        // The order rotates, so that none always follows the same one.
        for (int k = 0; k < ProgramCount; k++) {
            int p = (i + k) % ProgramCount;
            if (!MeasureStart(programs[p], &run)) {
                printf("3 time to first window: round %d of the %s program failed\n", i, names[p]);
                return 1;
            }
            windowMs[p][i] = run.windowMs;
            shownMiB[p][i] = run.workingSetMiB;
            peakMiB[p][i] = run.peakMiB;
        }
    }

    double extra = MedianExtra(windowMs[SetupProgram], windowMs[ReferenceProgram], runs);
    double payloadExtra = MedianExtra(windowMs[SetupProgram], windowMs[WithoutPayloadProgram], runs);
    double peakExtra = MedianExtra(peakMiB[SetupProgram], peakMiB[ReferenceProgram], runs);
    double shownExtra = MedianExtra(shownMiB[SetupProgram], shownMiB[ReferenceProgram], runs);
    double payloadPeakExtra = MedianExtra(peakMiB[SetupProgram], peakMiB[WithoutPayloadProgram], runs);
    double payloadShownExtra = MedianExtra(shownMiB[SetupProgram], shownMiB[WithoutPayloadProgram], runs);
    double window[ProgramCount], shown[ProgramCount], peak[ProgramCount];
    for (int p = 0; p < ProgramCount; p++) {
        window[p] = Median(windowMs[p], runs);
        shown[p] = Median(shownMiB[p], runs);
        peak[p] = Median(peakMiB[p], runs);
    }

    // Figures without a goal: a single window's extra time is mostly noise;
    // the scale run's growth per MB is what holds it to the native load.
    printf("3 time to first window under Wine (median of %d rounds, order rotating): setup %.1f ms | reference: "
           "program without the payload (one dialog) %.1f ms | extra %.1f ms = %.2f x native LoadPayload %.3f ms "
           "| against the setup's own code without the payload step (%.1f ms): extra %.1f ms = %.2f x\n",
           runs, window[SetupProgram], window[ReferenceProgram], extra, extra / loadMs, loadMs,
           window[WithoutPayloadProgram], payloadExtra, payloadExtra / loadMs);
    printf("6 peak working set under Wine (median of %d rounds): setup %.2f MiB peak, %.2f MiB at first window | "
           "reference: program without the payload (one dialog) %.2f MiB peak, %.2f MiB at first window | extra "
           "%+.2f MiB at peak, ratio %.2f of 7.5 MiB; %+.2f MiB at first window, ratio %.2f of 4.5 MiB (goal <= "
           "1.00) %s | against the setup's own code without the payload step: %+.2f MiB at peak, %+.2f MiB at "
           "first window\n",
           runs, peak[SetupProgram], shown[SetupProgram], peak[ReferenceProgram], shown[ReferenceProgram], peakExtra,
           peakExtra / 7.5, shownExtra, shownExtra / 4.5, peakExtra <= 7.5 && shownExtra <= 4.5 ? "met" : "NOT met",
           payloadPeakExtra, payloadShownExtra);
    return 0;
}

int InstallFigure(const WCHAR *setup, int runs)
{
    double times[MaxRuns];
    for (int i = 0; i < runs; i++) {
        bool succeeded = false;
        times[i] = MeasureInstall(setup, &succeeded);
        if (times[i] < 0 || !succeeded) {
            printf("4 install time: run %d %s\n", i, times[i] < 0 ? "did not finish" : "ended in \"Installation failed.\"");
            return 1;
        }
    }
    double median = Median(times, runs);
    double ratio = median / TickFloorMs;
    printf("4 install time under Wine, everything ticked (median of %d): %.1f ms | reference: nine 125 ms ticks "
           "%.1f ms | ratio %.3f (goal <= 1.20) %s\n",
           runs, median, TickFloorMs, ratio, Verdict(ratio, 1.2));
    return 0;
}

// One size of the scale run: RUNS rounds of the two programs, alternating
// which goes first, then INSTALL_RUNS installations. Prints
// "scale-figures <extra window ms> <extra peak MiB> <install ms>".
int ScaleFigures(const WCHAR *setup, const WCHAR *withoutPayload, int runs, int installRuns)
{
    const WCHAR *const programs[2] = {setup, withoutPayload};
    static double windowMs[2][MaxRuns], peakMiB[2][MaxRuns];
    StartRun run;
    for (int p = 0; p < 2; p++) {
        if (!MeasureStart(programs[p], &run)) {
            printf("scale: %ls did not show its window\n", programs[p]);
            return 1;
        }
    }
    for (int i = 0; i < runs; i++) {
        for (int k = 0; k < 2; k++) {
            int p = (i + k) % 2;
            if (!MeasureStart(programs[p], &run)) {
                printf("scale: round %d of %ls failed\n", i, programs[p]);
                return 1;
            }
            windowMs[p][i] = run.windowMs;
            peakMiB[p][i] = run.peakMiB;
        }
    }
    double times[MaxRuns];
    for (int i = 0; i < installRuns; i++) {
        bool succeeded = false;
        times[i] = MeasureInstall(setup, &succeeded);
        if (times[i] < 0 || !succeeded) {
            printf("scale: installation %d of %ls %s\n", i, setup, times[i] < 0 ? "did not finish" : "failed");
            return 1;
        }
    }
    printf("scale-figures %.3f %.3f %.3f\n", MedianExtra(windowMs[0], windowMs[1], runs),
           MedianExtra(peakMiB[0], peakMiB[1], runs), Median(times, installRuns));
    return 0;
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    QueryPerformanceFrequency(&frequency);
    if (argc == 3 && !wcscmp(argv[1], L"stub"))
        return StubFigure(argv[2]);
    if (argc == 7 && !wcscmp(argv[1], L"start")) {
        const WCHAR *programs[ProgramCount] = {argv[2], argv[3], argv[4]};
        int runs = _wtoi(argv[5]);
        double loadMs = _wtof(argv[6]) / 1e6;
        if (runs < 1 || runs > MaxRuns || loadMs <= 0)
            return 2;
        return StartFigures(programs, runs, loadMs);
    }
    if (argc == 4 && !wcscmp(argv[1], L"install")) {
        int runs = _wtoi(argv[3]);
        if (runs < 1 || runs > MaxRuns)
            return 2;
        return InstallFigure(argv[2], runs);
    }
    if (argc == 6 && !wcscmp(argv[1], L"scale")) {
        int runs = _wtoi(argv[4]), installRuns = _wtoi(argv[5]);
        if (runs < 1 || runs > MaxRuns || installRuns < 1 || installRuns > MaxRuns)
            return 2;
        return ScaleFigures(argv[2], argv[3], runs, installRuns);
    }
    fprintf(stderr, "usage: bench_measure stub SETUP | start SETUP REFERENCE WITHOUT_PAYLOAD RUNS LOAD_NS | "
                    "install SETUP RUNS | scale SETUP WITHOUT_PAYLOAD RUNS INSTALL_RUNS\n");
    return 2;
}
