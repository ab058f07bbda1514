// DLL search order: a DLL planted beside a copy of the setup program or the
// uninstaller, as anyone can leave one in a downloads or temp folder, is
// never loaded, because both restrict loading to the system folder before
// anything else runs. A payload program, which does not restrict it, shows
// that the probe sees such a load.
#include <windows.h>

#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening.h"

namespace {

const WCHAR PlantedName[] = L"orbelune-planted.dll";

// Names of DLLs that Windows and its shell load on demand. (Wine loads these
// from the system folder whatever the search order; it does take shcore.dll
// from the program's folder, as a dependency of its own shlwapi while the
// program's imports are bound, before any code of the program runs, which
// no program can prevent and which Windows, where shcore is a known DLL,
// never does. So shcore.dll is not planted here.)
const WCHAR *const OnDemandNames[] = {L"uxtheme.dll", L"version.dll", L"dwmapi.dll", L"propsys.dll"};

struct WindowOfProcess {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM parameter)
{
    WindowOfProcess *query = reinterpret_cast<WindowOfProcess *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != query->processId || !IsWindowVisible(window))
        return TRUE;
    query->found = window;
    return FALSE;
}

struct ProbeResult {
    bool windowShown = false;
    bool remoteLoadRan = false;
    bool remoteLoadSucceeded = false;
    DWORD exitCode = STILL_ACTIVE;
    std::vector<std::string> markers;  // DLLs that left their marker
};

// Copies program into a fresh folder with the planted DLL beside it, under
// its own name and the on-demand names, and starts the copy. Once its first
// window shows (its entry has run), a thread of that process loads
// "orbelune-planted.dll" by name, as any code in it, the program's, the
// system's or a shell extension's, would load a DLL on demand. Then the
// window is closed (a message box answered "No") and the process awaited.
ProbeResult ProbePlantedDll(const WCHAR *program)
{
    ProbeResult result;
    WCHAR folder[MAX_PATH], source[MAX_PATH], planted[MAX_PATH];
    if (!MakeTempFolder(folder, ARRAYSIZE(folder)))
        return result;
    EXPECT_TRUE(BuildOutputPath(program, source, ARRAYSIZE(source)));
    EXPECT_TRUE(BuildOutputPath(L"tests\\orbelune-planted.dll", planted, ARRAYSIZE(planted)));
    const std::wstring copy = std::wstring(folder) + L"program.exe";
    EXPECT_TRUE(CopyFileW(source, copy.c_str(), FALSE)) << "copy of the program";
    EXPECT_TRUE(CopyFileW(planted, (std::wstring(folder) + PlantedName).c_str(), FALSE)) << "planted DLL";
    for (const WCHAR *name : OnDemandNames)
        EXPECT_TRUE(CopyFileW(planted, (std::wstring(folder) + name).c_str(), FALSE)) << Narrow(name);

    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + copy + L"\"";
    if (!CreateProcessW(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process)) {
        ADD_FAILURE() << "the copy did not start: " << GetLastError();
        DeleteTree(folder);
        return result;
    }
    WindowOfProcess window = {process.dwProcessId, nullptr};
    for (int i = 0; i < 300 && !window.found; i++) {
        Sleep(50);
        EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&window));
    }
    result.windowShown = window.found != nullptr;

    if (result.windowShown) {
        SIZE_T bytes = sizeof(PlantedName);
        void *remoteName = VirtualAllocEx(process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        // kernel32 lies at the same address in every process of a session.
        auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        if (remoteName && WriteProcessMemory(process.hProcess, remoteName, PlantedName, bytes, nullptr)) {
            HANDLE thread = CreateRemoteThread(process.hProcess, nullptr, 0, loadLibrary, remoteName, 0, nullptr);
            if (thread) {
                result.remoteLoadRan = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
                DWORD module = 0;  // the low half of the HMODULE
                GetExitCodeThread(thread, &module);
                result.remoteLoadSucceeded = module != 0;
                CloseHandle(thread);
            }
        }
        // A message box takes "No"; a window takes WM_CLOSE.
        if (GetDlgItem(window.found, IDNO))
            PostMessageW(window.found, WM_COMMAND, IDNO, 0);
        else
            PostMessageW(window.found, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(folder) + L"*.loaded").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            result.markers.push_back(Narrow(found.cFileName));
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    DeleteTree(folder);
    return result;
}

std::string Joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

}  // namespace

TEST(DllSearchOrder, SetupLoadsNoDllFromItsOwnFolder)
{
    CleanUserState();
    ProbeResult result = ProbePlantedDll(L"OrbeluneSetup.exe");
    ASSERT_TRUE(result.windowShown) << "the setup's window did not appear";
    EXPECT_TRUE(result.remoteLoadRan) << "the load by name did not run in the setup's process";
    EXPECT_FALSE(result.remoteLoadSucceeded) << "LoadLibraryW found the DLL in the program's folder";
    EXPECT_TRUE(result.markers.empty()) << "planted DLLs loaded: " << Joined(result.markers);
    EXPECT_EQ(result.exitCode, 0u) << "setup closed on its first page";
    CleanUserState();
}

TEST(DllSearchOrder, UninstallerLoadsNoDllFromItsOwnFolder)
{
    CleanUserState();
    // Without arguments it first asks whether to remove the pack; "No"
    // ends it with ERROR_CANCELLED before it touches anything.
    ProbeResult result = ProbePlantedDll(L"payload\\uninstall.exe");
    ASSERT_TRUE(result.windowShown) << "the uninstaller's question did not appear";
    EXPECT_TRUE(result.remoteLoadRan) << "the load by name did not run in the uninstaller's process";
    EXPECT_FALSE(result.remoteLoadSucceeded) << "LoadLibraryW found the DLL in the program's folder";
    EXPECT_TRUE(result.markers.empty()) << "planted DLLs loaded: " << Joined(result.markers);
    EXPECT_EQ(result.exitCode, DWORD(ERROR_CANCELLED)) << "uninstaller answered No";
    CleanUserState();
}

// The payload programs run from the install folder, which only the user
// writes, and keep the default search order: the same probe sees the load.
// Windows searches the program's folder first for every DLL that is not a
// known DLL, so whichever of the on-demand names the system loads into it
// for its window may come from there too; Wine takes those from its system
// folder whatever the order, so there the probe's own load is the only one.
TEST(DllSearchOrder, ProbeSeesALoadFromTheProgramsFolder)
{
    ProbeResult result = ProbePlantedDll(L"payload\\Vantok.exe");
    ASSERT_TRUE(result.windowShown) << "Vantok's window did not appear";
    EXPECT_TRUE(result.remoteLoadRan);
    EXPECT_TRUE(result.remoteLoadSucceeded) << "LoadLibraryW by name in an unrestricted process";
    EXPECT_EQ(std::count(result.markers.begin(), result.markers.end(), "orbelune-planted.dll.loaded"), 1)
        << "markers: " << Joined(result.markers);
    if (RunningOnWine())
        EXPECT_EQ(result.markers.size(), 1u) << "markers: " << Joined(result.markers);
}
