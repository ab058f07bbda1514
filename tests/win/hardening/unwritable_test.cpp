// Targets that cannot be written: an install folder that cannot be made, a
// program of an earlier installation still running and a file held open
// without sharing, and a Start-menu folder blocked by a file. Each ends in
// the failure lines and the failed status, and what was written stays.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening.h"

namespace {

const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

bool KeyExists(const WCHAR *key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

std::string ReadText(const std::wstring &path)
{
    BYTE *data = nullptr;
    DWORD size = 0;
    if (!ReadWholeFile(path.c_str(), &data, &size))
        return "<unreadable>";
    std::string text(reinterpret_cast<const char *>(data), size);
    free(data);
    return text;
}

FILETIME LastWriteTime(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    return attributes.ftLastWriteTime;
}

bool SameTime(const FILETIME &a, const FILETIME &b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

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

// A program started by the test; ended when the test is done with it.
struct ChildProgram {
    PROCESS_INFORMATION process = {};
    void End()
    {
        if (!process.hProcess)
            return;
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        process.hProcess = nullptr;
    }
    ~ChildProgram() { End(); }
};

struct HeldFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    void Close()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    ~HeldFile() { Close(); }
};

class UnwritableTest : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        ASSERT_TRUE(MakeTempFolder(temp_, ARRAYSIZE(temp_)));
        appData_ = ProductFolder(CSIDL_APPDATA);
        startMenu_ = ProductFolder(CSIDL_PROGRAMS);
    }
    void TearDown() override
    {
        std::wstring blocker = startMenu_.substr(0, startMenu_.size() - 1);
        if (Exists(blocker) && !IsFolder(blocker))
            DeleteFileW(blocker.c_str());
        CleanUserState();
        DeleteTree(temp_);
    }

    WCHAR temp_[MAX_PATH];
    std::wstring appData_, startMenu_;
};

}  // namespace

// A folder path that runs through a file: no folder of it can be made, so
// nothing can be written there. (A folder marked FILE_ATTRIBUTE_READONLY
// would not do: Windows ignores that attribute on folders for writes, and so
// does Wine; the tests run as root, so Unix permissions do not either.)
TEST_F(UnwritableTest, InstallFolderThatCannotBeMade)
{
    const std::wstring blocker = std::wstring(temp_) + L"Apps";
    ASSERT_TRUE(WriteText(blocker, "a file, not a folder"));
    const std::wstring dir = blocker + L"\\Orbelune\\";

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, EveryComponent, true));
    SetupState &state = setup.State();
    wcscpy(state.installDir, dir.c_str());
    RecordGuard guard(state);
    RunInstallation(setup, [&](int) { EXPECT_EQ(std::wstring(state.installDir), dir); });
    guard.Expect(state, "after the installation");

    EXPECT_EQ(StatusText(setup), InstallFailed);
    EXPECT_EQ(state.failureCount, 9u) << "eight executables and the uninstaller";
    std::vector<std::wstring> expected;
    for (const WCHAR *name : ComponentFileNames) {
        expected.push_back(dir + name + L".exe");
        expected.push_back(WriteFailedLine);
    }
    expected.push_back(dir + L"uninstall.exe");
    expected.push_back(WriteFailedLine);
    ExpectLines(DetailLines(setup), expected);
    EXPECT_EQ(ReadText(blocker), "a file, not a folder") << "the file in the way is untouched";
    EXPECT_FALSE(Exists(startMenu_)) << "no shortcut without its executable";
    EXPECT_FALSE(KeyExists(UninstallKey)) << "no uninstall entry without the uninstaller";
}

// A second installation over a first one while Cryvane, started from the
// install folder, still runs (another process maps its executable), and
// while this process holds the uninstaller open without sharing. Cryvane's
// file is set aside and goes on running; the held file fails once setup has
// tried it again for a while.
TEST_F(UnwritableTest, RunningProgramAndFileHeldOpen)
{
    {
        InProcessSetup first;
        ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(first, EveryComponent, true));
        RunInstallation(first, [](int) {});
        ASSERT_EQ(StatusText(first), InstallSucceeded) << "first installation";
    }
    const std::wstring running = appData_ + L"Cryvane.exe";
    const std::wstring held = appData_ + L"uninstall.exe";
    // A time that no step would set, to see whether the file was rewritten.
    const FILETIME old = {0x5E2C8000u, 0x01C0CA7Fu};
    {
        HANDLE file = CreateFileW(running.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &old));
        CloseHandle(file);
    }
    const FILETIME heldTime = LastWriteTime(held);

    STARTUPINFOW startup = {sizeof(startup)};
    ChildProgram program;
    std::wstring command = L"\"" + running + L"\"";
    ASSERT_TRUE(CreateProcessW(running.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, appData_.c_str(),
                               &startup, &program.process)) << "Cryvane did not start: " << GetLastError();
    WindowOfProcess window = {program.process.dwProcessId, nullptr};
    for (int i = 0; i < 200 && !window.found; i++) {
        Sleep(50);
        EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&window));
    }
    EXPECT_NE(window.found, nullptr) << "Cryvane's window did not appear";
    HeldFile holder;
    holder.handle = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(holder.handle, INVALID_HANDLE_VALUE) << "uninstaller not opened";

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, EveryComponent, true));
    ASSERT_EQ(std::wstring(setup.State().installDir), appData_) << "the recorded folder";
    RunInstallation(setup, [](int) {});
    EXPECT_EQ(WaitForSingleObject(program.process.hProcess, 0), DWORD(WAIT_TIMEOUT)) << "Cryvane ran throughout";
    holder.Close();
    program.End();

    EXPECT_EQ(StatusText(setup), InstallFailed);
    EXPECT_EQ(setup.State().failureCount, 1u) << "the held uninstaller";
    std::vector<std::wstring> expected;
    for (int k = 0; k < 8; k++) {
        expected.push_back(appData_ + ComponentFileNames[k] + L".exe");
        expected.push_back(startMenu_ + ComponentFileNames[k] + L".lnk");
    }
    expected.push_back(held);
    expected.push_back(WriteFailedLine);
    ExpectLines(DetailLines(setup), expected);

    for (UINT32 k = 0; k < 8; k++)
        ExpectEntryFile(setup, appData_ + ComponentFileNames[k] + L".exe", k + 1, true);
    const std::wstring setAside = appData_ + L"Cryvane.e~~";
    ExpectEntryFile(setup, setAside, 7, false);
    EXPECT_TRUE(SameTime(LastWriteTime(setAside), old)) << "the running program, set aside as it was";
    // The file that could not be written is as it was: not emptied, not
    // stamped, and no temporary file beside it.
    EXPECT_EQ(GetFileAttributesW((appData_ + L"uninstall.ex~").c_str()), INVALID_FILE_ATTRIBUTES);
    ExpectEntryFile(setup, held, 10, false);
    EXPECT_TRUE(SameTime(LastWriteTime(held), heldTime)) << "the held uninstaller was rewritten";
}

// A file named "Orbelune" where the Start-menu folder belongs: every link
// fails, while executables, registrations and the uninstall entry are all
// written.
TEST_F(UnwritableTest, StartMenuFolderBlockedByAFile)
{
    const std::wstring blocker = startMenu_.substr(0, startMenu_.size() - 1);
    ASSERT_TRUE(WriteText(blocker, "not a folder")) << "file in the Programs folder";

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, EveryComponent, true));
    SetupState &state = setup.State();
    RecordGuard guard(state);
    RunInstallation(setup, [&](int) {
        EXPECT_EQ(std::wstring(state.installDir), appData_);
        guard.Expect(state, "between steps");
    });

    std::string blockerText = ReadText(blocker);
    DeleteFileW(blocker.c_str());

    EXPECT_EQ(StatusText(setup), InstallFailed) << "failed links alone fail the installation";
    EXPECT_EQ(state.failureCount, 8u) << "one per link";
    std::vector<std::wstring> expected;
    for (const WCHAR *name : ComponentFileNames) {
        expected.push_back(appData_ + name + L".exe");
        expected.push_back(startMenu_ + name + L".lnk");
        expected.push_back(WriteFailedLine);
    }
    expected.push_back(appData_ + L"uninstall.exe");
    ExpectLines(DetailLines(setup), expected);
    EXPECT_EQ(blockerText, "not a folder") << "the file in the way is untouched";

    for (UINT32 k = 0; k < 8; k++)
        ExpectEntryFile(setup, appData_ + ComponentFileNames[k] + L".exe", k + 1, true);
    ExpectEntryFile(setup, appData_ + L"uninstall.exe", 10, false);
    EXPECT_EQ(ReadUserText(L"Software\\Classes\\Drumlake.File\\shell\\open\\command", nullptr),
              L"\"" + appData_ + L"Drumlake.exe\" \"%1\"") << "registrations written without links";
    EXPECT_EQ(ReadUserText(UninstallKey, L"UninstallString"), L"\"" + appData_ + L"uninstall.exe\"");
}
