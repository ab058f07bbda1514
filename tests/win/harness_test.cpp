// The test harness itself: Windows tests run under Wine and can read the
// built setup program.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "payload_constants.h"
#include "winutil.h"

TEST(Harness, SetupProgramCarriesThePayloadResource)
{
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(L"OrbeluneSetup.exe", path, ARRAYSIZE(path)));
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "LoadLibraryExW failed with " << GetLastError();

    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    ASSERT_NE(resource, nullptr) << "resource 102 of type RT_RCDATA";
    EXPECT_EQ(SizeofResource(module, resource), PayloadResourceSize);
    HGLOBAL loaded = LoadResource(module, resource);
    ASSERT_NE(loaded, nullptr);
    const BYTE *bytes = static_cast<const BYTE *>(LockResource(loaded));
    ASSERT_NE(bytes, nullptr);
    EXPECT_LT(bytes[0], 225) << "a valid LZMA properties byte";
    FreeLibrary(module);
}

namespace {

// Runs tests\run-as-user.exe with arguments, its output in the file at log;
// returns its exit code (STILL_ACTIVE when it did not end within 60 s).
DWORD RunLauncher(const std::wstring &arguments, const std::wstring &log, DWORD *elapsedMs)
{
    WCHAR launcher[MAX_PATH];
    if (!BuildOutputPath(L"tests\\run-as-user.exe", launcher, ARRAYSIZE(launcher)))
        return STILL_ACTIVE;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return STILL_ACTIVE;
    std::wstring command = L"\"" + std::wstring(launcher) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    DWORD start = GetTickCount(), code = STILL_ACTIVE;
    if (CreateProcessW(launcher, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        else
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    *elapsedMs = GetTickCount() - start;
    CloseHandle(output);
    return code;
}

}  // namespace

// The launcher of the hosted runs: the command's exit code comes back; what
// the command leaves running, and a command that runs past its limit, is
// ended whole. It logs on as another user, which Wine cannot do (its
// CreateProcessWithLogonW is a stub): there the command runs as this user.
TEST(Harness, RunAsUserEndsWhatTheCommandLeavesAndWhatRunsPastItsLimit)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "Windows: the launcher logs on with the password of a real account, which the hosted "
                        "workflow's first step gives it; it is shown there";
    WCHAR user[256];
    DWORD units = ARRAYSIZE(user);
    ASSERT_TRUE(GetUserNameW(user, &units));
    WCHAR folder[MAX_PATH], system[MAX_PATH];
    ASSERT_TRUE(MakeTempFolder(folder, ARRAYSIZE(folder)));
    ASSERT_NE(GetSystemDirectoryW(system, ARRAYSIZE(system)), 0u);
    const std::wstring ping = std::wstring(system) + L"\\ping.exe -n 30 127.0.0.1";
    const struct {
        const char *what;
        std::wstring arguments;
        DWORD code;
        const char *said;  // the launcher's line about processes it ended
    } cases[] = {
        {"exit code", L"30 cmd.exe /d /c exit 7", 7, nullptr},
        {"a process left running", L"30 cmd.exe /d /c start /b " + ping + L" >nul", 0, "still running"},
        {"past the limit", L"2 " + ping, 124, "past its limit of 2 s"},
    };
    SetEnvironmentVariableW(L"ORBELUNE_TEST_PASSWORD", L"unused");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring log = std::wstring(folder) + L"launcher.log";
        DWORD elapsed = 0;
        EXPECT_EQ(RunLauncher(std::wstring(user) + L" " + c.arguments, log, &elapsed), c.code) << "exit code";
        EXPECT_LT(elapsed, 20000u) << "the launcher waited for the ping it was to end";
        BYTE *data = nullptr;
        DWORD size = 0;
        ASSERT_TRUE(ReadWholeFile(log.c_str(), &data, &size));
        std::string output(reinterpret_cast<const char *>(data), size);
        free(data);
        printf("%s", output.c_str());
        if (c.said)
            EXPECT_NE(output.find(c.said), std::string::npos) << output;
        // Every process that it listed has ended.
        int listed = 0;
        for (size_t at = output.find("process "); at != std::string::npos; at = output.find("process ", at + 1)) {
            DWORD id = strtoul(output.c_str() + at + 8, nullptr, 10);
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
            EXPECT_TRUE(!process || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) << "process " << id << " runs on";
            if (process)
                CloseHandle(process);
            listed++;
        }
        EXPECT_EQ(listed, c.said ? 1 : 0) << "processes that the launcher ended";
    }
    SetEnvironmentVariableW(L"ORBELUNE_TEST_PASSWORD", nullptr);
    DeleteTree(folder);
}
