// Install folders whose paths reach 255 to 270 characters: folder creation
// refuses 260 units or more without touching the file system, the writes
// then fail one by one in the details list, and no step writes past the
// path buffers of SetupState.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening.h"
#include "install.h"

namespace {

const size_t FirstFolderLength = 100;

class LongPathTest : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        MakeTempFolder(temp_, ARRAYSIZE(temp_));
        startMenu_ = ProductFolder(CSIDL_PROGRAMS);
    }
    void TearDown() override
    {
        CleanUserState();
        DeleteTree(temp_);
    }

    // The first folder below the temporary folder, and a folder path of
    // exactly length characters (trailing backslash included) inside it.
    std::wstring FirstFolder() const { return std::wstring(temp_) + std::wstring(FirstFolderLength, L'a'); }
    std::wstring FolderOfLength(size_t length) const
    {
        std::wstring path = FirstFolder() + L"\\";
        path.append(length - 1 - path.size(), L'b');
        return path + L"\\";
    }

    // A whole installation of everything into dir, as a folder chosen with
    // Browse leaves it; both folders must be whole after every step.
    void InstallInto(InProcessSetup &setup, const std::wstring &dir)
    {
        ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, EveryComponent, true));
        SetupState &state = setup.State();
        wcscpy(state.installDir, dir.c_str());
        RecordGuard guard(state);
        RunInstallation(setup, [&](int step) {
            SCOPED_TRACE("after step " + std::to_string(step));
            EXPECT_EQ(std::wstring(state.installDir), dir) << "installDir holds its folder";
            guard.Expect(state, "between steps");
        });
        EXPECT_EQ(BarPosition(setup), 100);
    }

    WCHAR temp_[MAX_PATH];
    std::wstring startMenu_;
};

bool KeyExists(const WCHAR *key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

}  // namespace

TEST_F(LongPathTest, FolderCreationRefuses260UnitsWithoutTouchingTheDisk)
{
    for (size_t length : {260u, 261u, 269u, 270u}) {
        SCOPED_TRACE("folder of " + std::to_string(length) + " characters");
        std::wstring dir = FolderOfLength(length);
        ASSERT_EQ(dir.size(), length);
        EXPECT_FALSE(EnsureDirectories(dir.c_str()));
        // Had the walk started, its first CreateDirectoryW would have made
        // this short folder.
        EXPECT_FALSE(Exists(FirstFolder())) << "a folder was created";
    }
    std::wstring dir = FolderOfLength(259);
    EXPECT_TRUE(EnsureDirectories(dir.c_str())) << "259 characters";
    EXPECT_TRUE(IsFolder(dir)) << "259 characters: the whole chain made";
}

TEST_F(LongPathTest, InstallationIntoAFolderOf260OrMoreFailsCleanly)
{
    for (size_t length : {260u, 270u}) {
        SCOPED_TRACE("folder of " + std::to_string(length) + " characters");
        CleanUserState();
        const std::wstring dir = FolderOfLength(length);
        InProcessSetup setup;
        ASSERT_NO_FATAL_FAILURE(InstallInto(setup, dir));

        EXPECT_EQ(StatusText(setup), InstallFailed) << "final status";
        EXPECT_EQ(setup.State().failureCount, 9u) << "eight executables and the uninstaller";
        std::vector<std::wstring> expected;
        for (const WCHAR *name : ComponentFileNames) {
            expected.push_back(dir + name + L".exe");
            expected.push_back(WriteFailedLine);
        }
        expected.push_back(dir + L"uninstall.exe");
        expected.push_back(WriteFailedLine);
        ExpectLines(DetailLines(setup), expected);

        EXPECT_FALSE(Exists(FirstFolder())) << "no folder of the chain was created";
        EXPECT_FALSE(Exists(startMenu_)) << "no shortcut without its executable";
        EXPECT_FALSE(KeyExists(L"Software\\Classes\\.qtxt")) << "no file type without its executable";
        EXPECT_FALSE(KeyExists(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune"))
            << "no uninstall entry without the uninstaller";
        // "AppPath" is written before the uninstaller, whatever its outcome.
        EXPECT_EQ(ReadUserText(L"Software\\Orbelune", L"AppPath"), dir);
    }
}

// Below 260 units the folder is made, and the file paths (folder, name and
// ".exe") pass MAX_PATH. Wine writes such paths; Windows, for a program that
// does not declare itself long-path aware, refuses them. Either way each
// path must be reported as written or failed as it really was.
TEST_F(LongPathTest, InstallationIntoAFolderJustBelow260)
{
    for (size_t length : {255u, 259u}) {
        SCOPED_TRACE("folder of " + std::to_string(length) + " characters");
        CleanUserState();
        const std::wstring dir = FolderOfLength(length);
        InProcessSetup setup;
        ASSERT_NO_FATAL_FAILURE(InstallInto(setup, dir));
        EXPECT_TRUE(IsFolder(dir)) << "the folder was created";

        // Each path line is followed by a failure line exactly when its
        // file could not be written, and the status agrees with the count.
        std::vector<std::wstring> lines = DetailLines(setup);
        UINT32 failures = 0;
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i] == WriteFailedLine)
                continue;
            bool failed = i + 1 < lines.size() && lines[i + 1] == WriteFailedLine;
            failures += failed;
            printf("[  INFO  ] %s: %s\n", failed ? "failed " : "written", Narrow(lines[i]).c_str());
            EXPECT_EQ(Exists(lines[i]), !failed) << Narrow(lines[i]);
        }
        EXPECT_EQ(setup.State().failureCount, failures);
        EXPECT_EQ(StatusText(setup), failures ? InstallFailed : InstallSucceeded);
        for (UINT32 k = 0; k < 8; k++) {
            std::wstring exe = dir + ComponentFileNames[k] + L".exe";
            if (Exists(exe))
                ExpectEntryFile(setup, exe, k + 1, true);
        }
    }
}
