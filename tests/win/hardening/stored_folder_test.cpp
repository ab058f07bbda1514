// A hostile "AppPath": values of other types and odd lengths, a value that
// fills the 490 bytes with no terminator, a folder on a missing drive, and a
// whole installation into the longest folder that setup records, in which
// the longest file name ends one unit below MAX_PATH.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "hardening.h"

namespace {

const WCHAR OrbeluneKey[] = L"Software\\Orbelune";

class StoredFolderTest : public testing::Test {
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
        CleanUserState();
        DeleteTree(temp_);
    }

    void Store(DWORD type, const void *data, DWORD bytes)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, OrbeluneKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr), ERROR_SUCCESS);
        LONG result = RegSetValueExW(key, L"AppPath", 0, type, static_cast<const BYTE *>(data), bytes);
        RegCloseKey(key);
        ASSERT_EQ(result, ERROR_SUCCESS);
    }

    // Whether "AppPath" can be read the way start-up reads it.
    bool ReadSucceedsWithinLimit()
    {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, OrbeluneKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return false;
        WCHAR data[PathBufferUnits];
        DWORD bytes = StoredPathByteLimit;
        LONG result = RegQueryValueExW(key, L"AppPath", nullptr, nullptr, reinterpret_cast<BYTE *>(data), &bytes);
        RegCloseKey(key);
        return result == ERROR_SUCCESS;
    }

    // An existing folder below the temporary folder whose path has exactly
    // length characters.
    std::wstring MakeFolderOfLength(size_t length)
    {
        std::wstring path = temp_;
        EXPECT_LT(path.size(), length) << "temporary folder path too long for the test";
        path.append(length - path.size(), L'x');
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << "CreateDirectoryW failed with " << GetLastError();
        return path;
    }

    // Start-up up to InitSetupPaths; the folders must be the expected ones,
    // terminated inside their buffers, with the units of installDir after
    // its terminator and after the readUnits units of the value still zero.
    void ExpectStartUp(const std::wstring &installDir, const std::wstring &browseDir, size_t readUnits = 0)
    {
        InProcessSetup setup;
        ASSERT_TRUE(setup.Prepare()) << "InitSetupPaths failed";
        const SetupState &state = setup.State();
        ASSERT_LT(wcsnlen(state.installDir, PathBufferUnits), size_t(PathBufferUnits)) << "installDir terminated";
        ASSERT_LT(wcsnlen(state.browseDir, PathBufferUnits), size_t(PathBufferUnits)) << "browseDir terminated";
        EXPECT_EQ(Narrow(state.installDir), Narrow(installDir));
        EXPECT_EQ(Narrow(state.browseDir), Narrow(browseDir));
        EXPECT_EQ(Narrow(state.shortcutDir), Narrow(startMenu_));
        for (size_t i = std::max(installDir.size() + 1, readUnits); i < PathBufferUnits; i++) {
            if (state.installDir[i] != 0) {
                ADD_FAILURE() << "installDir unit " << i << " is not zero after the path";
                break;
            }
        }
    }

    void ExpectDefaults()
    {
        std::wstring appDataFolder = appData_.substr(0, appData_.size() - wcslen(L"Orbelune\\"));
        ExpectStartUp(appData_, appDataFolder);
    }

    WCHAR temp_[MAX_PATH];
    std::wstring appData_, startMenu_;
};

}  // namespace

// The type of "AppPath" is never looked at: whatever it holds is read as
// UTF-16 bytes, and only an existing folder is taken.
TEST_F(StoredFolderTest, ValuesOfOtherTypesAreReadAsPathBytes)
{
    {
        SCOPED_TRACE("REG_DWORD 1: the path \"\\x0001\" names no folder");
        DWORD one = 1;
        Store(REG_DWORD, &one, sizeof(one));
        ExpectDefaults();
    }
    {
        // 0x003A0043 is the bytes 43 00 3A 00, the UTF-16 text "C:": the
        // current folder of drive C, which exists.
        SCOPED_TRACE("REG_DWORD 0x003A0043: the path \"C:\"");
        DWORD driveC = 0x003A0043;
        Store(REG_DWORD, &driveC, sizeof(driveC));
        ExpectStartUp(L"C:\\", L"C:");
    }
    {
        SCOPED_TRACE("REG_MULTI_SZ: the path ends at the first string's terminator");
        std::wstring folder = std::wstring(temp_) + L"Multi";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        std::wstring multi = folder + L'\0' + L"D:\\Other" + L'\0' + L'\0';
        Store(REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size() * sizeof(WCHAR)));
        ExpectStartUp(folder + L"\\", folder, multi.size());
    }
    {
        SCOPED_TRACE("REG_BINARY of no bytes");
        Store(REG_BINARY, "", 0);
        ExpectDefaults();
    }
}

TEST_F(StoredFolderTest, OddByteCountsLeaveAHalfUnit)
{
    // A path followed by one more byte: that byte becomes the low half of a
    // last character whose high half is the zero already in the buffer.
    std::wstring folder = std::wstring(temp_) + L"Pack";
    ASSERT_TRUE(CreateDirectoryW((folder + L"s").c_str(), nullptr));
    std::string bytes(reinterpret_cast<const char *>(folder.data()), folder.size() * sizeof(WCHAR));
    bytes += 's';
    {
        SCOPED_TRACE("REG_BINARY of an odd length");
        Store(REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
        ExpectStartUp(folder + L"s\\", folder + L"s");
    }
    {
        SCOPED_TRACE("REG_SZ of an odd length");
        Store(REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
        ExpectStartUp(folder + L"s\\", folder + L"s");
    }
    {
        // 489 bytes fit the limit; 491 do not, and the read fails.
        std::wstring longFolder = MakeFolderOfLength(244);
        std::string longBytes(reinterpret_cast<const char *>(longFolder.data()), longFolder.size() * sizeof(WCHAR));
        longBytes += 's';
        ASSERT_EQ(longBytes.size(), 489u);
        ASSERT_TRUE(CreateDirectoryW((longFolder + L"s").c_str(), nullptr));
        {
            SCOPED_TRACE("REG_BINARY of 489 bytes");
            Store(REG_BINARY, longBytes.data(), 489);
            ExpectStartUp(longFolder + L"s\\", longFolder + L"s");
        }
        {
            SCOPED_TRACE("REG_BINARY of 491 bytes: more than the 490 read");
            longBytes += "xy";
            Store(REG_BINARY, longBytes.data(), 491);
            ExpectDefaults();
        }
    }
}

TEST_F(StoredFolderTest, FullLimitWithoutTerminatorStaysInsideTheBuffer)
{
    // 245 characters of REG_SZ and no terminator: exactly the 490 bytes that
    // are read; the zeroed unit after them terminates the path. Windows
    // returns string data as stored, its size without a terminator when it
    // was stored without one (RegQueryValueExW), so start-up takes the
    // folder. Wine 8 and 10 count a terminator for such a value and refuse
    // the 490-byte read (ERROR_MORE_DATA); start-up then takes the defaults,
    // as for any failed read.
    std::wstring folder = MakeFolderOfLength(245);
    {
        SCOPED_TRACE("existing folder of 245 characters, REG_SZ without terminator");
        Store(REG_SZ, folder.data(), 490);
        if (RunningOnWine()) {
            EXPECT_FALSE(ReadSucceedsWithinLimit()) << "Wine now reads the value as stored: expect Windows' answer";
            ExpectDefaults();
        } else {
            EXPECT_TRUE(ReadSucceedsWithinLimit()) << "the 490 bytes as stored";
            ExpectStartUp(folder + L"\\", folder);
        }
    }
    {
        SCOPED_TRACE("245 characters that name no folder");
        std::wstring missing = folder;
        missing[missing.size() - 1] = L'y';
        Store(REG_BINARY, missing.data(), 490);
        ExpectDefaults();
    }
    {
        SCOPED_TRACE("245 characters ending in \"/\"");
        std::wstring slashed = folder.substr(0, 244) + L"/";
        ASSERT_TRUE(CreateDirectoryW(slashed.substr(0, 244).c_str(), nullptr));
        Store(REG_BINARY, slashed.data(), 490);
        ExpectStartUp(slashed.substr(0, 244) + L"\\", slashed);
    }
}

TEST_F(StoredFolderTest, FolderOnAMissingDriveSelectsDefaults)
{
    DWORD drives = GetLogicalDrives();
    WCHAR letter = 0;
    for (WCHAR c = L'Q'; c <= L'Y' && !letter; c++)
        if (!(drives & (1u << (c - L'A'))))
            letter = c;
    ASSERT_NE(letter, 0) << "no free drive letter between Q and Y";
    std::wstring missing = std::wstring(1, letter) + L":\\Orbelune Apps";
    Store(REG_SZ, missing.c_str(), static_cast<DWORD>((missing.size() + 1) * sizeof(WCHAR)));
    ExpectDefaults();
}

// The longest folder that setup installs into and records, 244 units with
// its backslash, as the final step writes "AppPath" (490 bytes with the
// terminator): the next run offers it, "&Install" is enabled, and every file
// fits, Ostravelind.exe (and its temporary name) with a path of 259 units.
// Both folders must be whole again after every step.
TEST_F(StoredFolderTest, WholeInstallationIntoTheLongestRecordedFolder)
{
    std::wstring folder = MakeFolderOfLength(243);
    const std::wstring dir = folder + L"\\";
    Store(REG_SZ, dir.c_str(), 490);

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, EveryComponent, true));
    SetupState &state = setup.State();
    ASSERT_EQ(std::wstring(state.installDir), dir) << "the stored folder is offered";
    RecordGuard guard(state);

    RunInstallation(setup, [&](int step) {
        SCOPED_TRACE("after step " + std::to_string(step));
        EXPECT_EQ(std::wstring(state.installDir), dir) << "installDir holds its folder";
        guard.Expect(state, "between steps");
    });
    EXPECT_EQ(StatusText(setup), InstallSucceeded);
    EXPECT_EQ(state.failureCount, 0u);
    ExpectLines(DetailLines(setup), CleanRunLines(dir, startMenu_, EveryComponent, true));
    for (UINT32 k = 0; k < 8; k++)
        ExpectEntryFile(setup, dir + ComponentFileNames[k] + L".exe", k + 1, true);
    ExpectEntryFile(setup, dir + L"uninstall.exe", 10, false);
    EXPECT_EQ(ReadUserText(OrbeluneKey, L"AppPath"), dir) << "the folder recorded again";
    EXPECT_EQ(ReadUserText(L"Software\\Classes\\Drumlake.File\\DefaultIcon", nullptr), dir + L"Drumlake.exe,0")
        << "icon string of the longest folder";
    EXPECT_EQ(ReadUserText(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune", L"UninstallString"),
              L"\"" + dir + L"uninstall.exe\"");
    EXPECT_FALSE(Exists(appData_)) << "nothing in the default folder";
}
