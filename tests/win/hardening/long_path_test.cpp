// Install folders whose paths reach 236 to 270 characters: no path that
// setup hands to the file system passes Windows' limits, folder creation
// refuses 260 units or more without touching the file system, the writes
// then fail one by one in the details list, and no step writes past the
// path buffers of SetupState.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <algorithm>
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
        ASSERT_TRUE(MakeTempFolder(temp_, ARRAYSIZE(temp_)));
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

// The longest path that setup hands to CreateFileW (which opens every file it
// writes, the temporary one too) and to CreateDirectoryW while a probe lives,
// seen through the test module's imports (setup's routines are linked into
// it); the calls go on to the system.
size_t longestFile, longestFolder;
template <typename F> F System(const char *name)
{
    return reinterpret_cast<F>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}
HANDLE WINAPI ProbeCreateFile(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t)
{
    longestFile = std::max(longestFile, wcslen(p));
    return System<decltype(&CreateFileW)>("CreateFileW")(p, a, s, sa, c, f, t);
}
BOOL WINAPI ProbeCreateDirectory(LPCWSTR p, LPSECURITY_ATTRIBUTES s)
{
    longestFolder = std::max(longestFolder, wcslen(p));
    return System<decltype(&CreateDirectoryW)>("CreateDirectoryW")(p, s);
}
class PathProbe {
public:
    PathProbe() : file_(PatchImport("CreateFileW", (void *)&ProbeCreateFile)),
                  folder_(PatchImport("CreateDirectoryW", (void *)&ProbeCreateDirectory)) {}
    ~PathProbe()
    {
        PatchImport("CreateFileW", file_);
        PatchImport("CreateDirectoryW", folder_);
    }
    bool Installed() const { return file_ && folder_; }

private:
    void *file_, *folder_;
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

TEST_F(LongPathTest, FolderCreationRefusesWhatWindowsRefuses)
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
    // CreateDirectoryW of Windows takes at most 248 characters.
    std::wstring over = FolderOfLength(249);
    EXPECT_FALSE(EnsureDirectories(over.c_str())) << "249 characters";
    EXPECT_FALSE(IsFolder(over)) << "249 characters: the last folder is made";
    std::wstring dir = FolderOfLength(248);
    EXPECT_TRUE(EnsureDirectories(dir.c_str())) << "248 characters";
    EXPECT_TRUE(IsFolder(dir)) << "248 characters: the whole chain made";
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

// Every install-folder length that setup can be handed: "AppPath" gives at
// most 245 units and a backslash, the picker 259 and a backslash, both of an
// existing folder ("&Install" is enabled only up to 244 units, but the
// install steps do not rely on it); one removed before Install is made
// again, up to 248 units. The
// lengths are those at which a name (10 to 15 units) stops fitting. No path
// handed to the system passes Windows' limits, and a file whose path would
// is the designed failure.
TEST_F(LongPathTest, NoPathPassesWindowsLimits)
{
    const struct {
        size_t length;
        bool existing;
    } rows[] = {{236, true}, {237, true}, {244, true}, {245, true},  {246, true},  {247, true},
                {248, true}, {249, true}, {259, true}, {260, true}, {248, false}, {249, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.length) + (row.existing ? " characters, existing" : " characters"));
        CleanUserState();
        // "\\?\" makes and removes such folders on Windows too.
        const std::wstring first = L"\\\\?\\" + FirstFolder(), dir = FolderOfLength(row.length);
        DeleteTree(first.c_str());
        if (row.existing) {
            CreateDirectoryW(first.c_str(), nullptr);
            ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + dir).c_str(), nullptr));
        }
        InProcessSetup setup;
        longestFile = longestFolder = 0;
        {
            PathProbe probe;
            ASSERT_TRUE(probe.Installed());
            ASSERT_NO_FATAL_FAILURE(InstallInto(setup, dir));
        }
        if (row.length < 245)
            EXPECT_GT(longestFile, row.length) << "the probe saw the files";
        EXPECT_LT(longestFile, size_t(MAX_PATH)) << "longest path of CreateFileW";
        EXPECT_LE(longestFolder, 248u) << "longest path of CreateDirectoryW";

        std::vector<std::wstring> expected;
        UINT32 failures = 0;
        for (int k = 0; k < 9; k++) {
            std::wstring path = dir + (k < 8 ? ComponentFileNames[k] + std::wstring(L".exe") : L"uninstall.exe");
            bool fits = (row.existing || row.length <= 248) && path.size() < MAX_PATH;
            expected.push_back(path);
            if (!fits)
                expected.push_back(WriteFailedLine);
            else if (k < 8)
                expected.push_back(startMenu_ + ComponentFileNames[k] + L".lnk");
            EXPECT_EQ(Exists(path), fits) << Narrow(path);
            failures += !fits;
        }
        ExpectLines(DetailLines(setup), expected);
        EXPECT_EQ(StatusText(setup), failures ? InstallFailed : InstallSucceeded);
        DeleteTree(first.c_str());
    }
}
