// InitSetupPaths: the install folder recorded in HKCU\Software\Orbelune
// "AppPath" or the default under the roaming application data, the
// Start-menu folder, and the key path it reads through.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <string>

#include <gtest/gtest.h>

#include "install.h"
#include "winutil.h"

namespace {

const WCHAR OrbeluneKey[] = L"Software\\Orbelune";

std::string Narrow(const WCHAR *text)
{
    std::string out;
    for (; *text; text++)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

class InitSetupPathsTest : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        temp_[0] = 0;
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData_), S_OK);
        WCHAR programs[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs), S_OK);
        expectedShortcutDir_ = Narrow(programs) + "\\Orbelune\\";
    }
    void TearDown() override
    {
        CleanUserState();
        if (temp_[0])
            DeleteTree(temp_);
    }

    // A fresh temporary folder, ending in a backslash.
    const WCHAR *Temp()
    {
        if (!temp_[0])
            MakeTempFolder(temp_, ARRAYSIZE(temp_));
        return temp_;
    }

    // Stores "AppPath" with the given type and bytes (creating the key).
    void StoreAppPath(DWORD type, const void *data, DWORD bytes)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, OrbeluneKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr), ERROR_SUCCESS);
        LONG result = RegSetValueExW(key, L"AppPath", 0, type, static_cast<const BYTE *>(data), bytes);
        RegCloseKey(key);
        ASSERT_EQ(result, ERROR_SUCCESS);
    }

    // Stores text as REG_SZ with its terminator, as the final install step does.
    void StoreAppPathText(const WCHAR *text)
    {
        StoreAppPath(REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
    }

    // Runs the start-up up to InitSetupPaths and expects the default folders.
    void ExpectDefaults()
    {
        InProcessSetup setup;
        ASSERT_TRUE(setup.Prepare()) << "InitSetupPaths failed";
        const SetupState &state = setup.State();
        std::string appData = Narrow(appData_);
        EXPECT_EQ(Narrow(state.browseDir), appData + "\\") << "browseDir: the parent of the install folder";
        EXPECT_EQ(Narrow(state.installDir), appData + "\\Orbelune\\");
        EXPECT_EQ(Narrow(state.shortcutDir), expectedShortcutDir_);
    }

    // Runs the start-up up to InitSetupPaths and expects the stored folder.
    void ExpectStored(const std::string &installDir, const std::string &browseDir)
    {
        InProcessSetup setup;
        ASSERT_TRUE(setup.Prepare()) << "InitSetupPaths failed";
        const SetupState &state = setup.State();
        EXPECT_EQ(Narrow(state.installDir), installDir);
        EXPECT_EQ(Narrow(state.browseDir), browseDir);
        EXPECT_EQ(Narrow(state.shortcutDir), expectedShortcutDir_);
    }

    // Creates Temp() + "x..." so that the whole path has length characters.
    std::wstring MakeFolderOfLength(size_t length)
    {
        std::wstring path = Temp();
        if (path.size() < length)
            path.append(length - path.size(), L'x');
        EXPECT_EQ(path.size(), length) << "temporary folder path too long for the test";
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << "CreateDirectoryW failed with " << GetLastError();
        return path;
    }

    WCHAR appData_[MAX_PATH];
    std::string expectedShortcutDir_;

private:
    WCHAR temp_[MAX_PATH];
};

}  // namespace

TEST_F(InitSetupPathsTest, DefaultsWhenNothingIsStored)
{
    {
        SCOPED_TRACE("no key Software\\Orbelune");
        ExpectDefaults();
    }
    {
        SCOPED_TRACE("key without \"AppPath\"");
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, OrbeluneKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr), ERROR_SUCCESS);
        RegSetValueExW(key, L"Other", 0, REG_SZ, reinterpret_cast<const BYTE *>(Temp()),
                       static_cast<DWORD>((wcslen(Temp()) + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
        ExpectDefaults();
    }

    // Start-up only computes the folders; nothing is created yet.
    WCHAR folder[MAX_PATH];
    swprintf(folder, ARRAYSIZE(folder), L"%ls\\Orbelune", appData_);
    EXPECT_EQ(GetFileAttributesW(folder), INVALID_FILE_ATTRIBUTES) << "the install folder was created";
}

TEST_F(InitSetupPathsTest, StoredValueThatNamesNoFolderSelectsDefaults)
{
    {
        SCOPED_TRACE("a file");
        std::wstring file = std::wstring(Temp()) + L"Vantok.exe";
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        CloseHandle(handle);
        StoreAppPathText(file.c_str());
        ExpectDefaults();
    }
    {
        SCOPED_TRACE("a folder that no longer exists");
        std::wstring gone = std::wstring(Temp()) + L"Removed";
        ASSERT_TRUE(CreateDirectoryW(gone.c_str(), nullptr));
        ASSERT_TRUE(RemoveDirectoryW(gone.c_str()));
        StoreAppPathText(gone.c_str());
        ExpectDefaults();
    }
    {
        SCOPED_TRACE("an empty string");
        StoreAppPathText(L"");
        ExpectDefaults();
    }
    {
        SCOPED_TRACE("a value of no bytes");
        StoreAppPath(REG_SZ, L"", 0);
        ExpectDefaults();
    }
}

TEST_F(InitSetupPathsTest, StoredValueIsReadUpTo490Bytes)
{
    {
        // 244 characters and the terminator are exactly 490 bytes.
        SCOPED_TRACE("folder of 244 characters");
        std::wstring folder = MakeFolderOfLength(244);
        StoreAppPathText(folder.c_str());
        std::string stored = Narrow(folder.c_str());
        ExpectStored(stored + "\\", stored);
    }
    {
        // 245 characters and the terminator are 492 bytes: the read fails,
        // although the value names an existing folder.
        std::wstring folder = MakeFolderOfLength(245);
        {
            SCOPED_TRACE("folder of 245 characters, with terminator");
            StoreAppPathText(folder.c_str());
            ExpectDefaults();
        }
        {
            // The same 245 characters stored without a terminator fit the 490
            // bytes; the zeroed rest of installDir terminates them. The type
            // of the value is never looked at.
            SCOPED_TRACE("the same folder as 490 bytes of REG_BINARY, no terminator");
            StoreAppPath(REG_BINARY, folder.c_str(), static_cast<DWORD>(folder.size() * sizeof(WCHAR)));
            std::string stored = Narrow(folder.c_str());
            ExpectStored(stored + "\\", stored);
        }
    }
}

TEST_F(InitSetupPathsTest, StoredFolderGetsOneTrailingBackslash)
{
    std::wstring folder = std::wstring(Temp()) + L"Pack";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::string narrow = Narrow(folder.c_str());
    {
        SCOPED_TRACE("no trailing separator");
        StoreAppPathText(folder.c_str());
        ExpectStored(narrow + "\\", narrow);
    }
    {
        SCOPED_TRACE("trailing \"/\"");
        StoreAppPathText((folder + L"/").c_str());
        ExpectStored(narrow + "\\", narrow + "/");
    }
    {
        SCOPED_TRACE("trailing backslash");
        StoreAppPathText((folder + L"\\").c_str());
        ExpectStored(narrow + "\\", narrow + "\\");
    }
}

TEST(BuildKeyPath, WritesIntoTheScratchBufferOfTheRecord)
{
    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Prepare());
    SetupState &state = setup.State();
    const WCHAR *scratch = reinterpret_cast<const WCHAR *>(state.scratch);
    EXPECT_EQ(Narrow(scratch), "Software\\Orbelune") << "the key path that start-up read through";

    WCHAR *path = BuildKeyPath(L"Classes", L"SystemFileAssociations", L"audio", L"shell", L"Kestrefond", L"command");
    EXPECT_EQ(path, scratch) << "the path is built in scratch";
    EXPECT_EQ(Narrow(path), "Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond\\command");
    EXPECT_EQ(Narrow(BuildKeyPath()), "Software") << "the next call replaces the path";
    CleanUserState();
}
