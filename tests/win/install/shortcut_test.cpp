// CreateShortcut: shell links saved in a fresh temporary folder and loaded
// back through the shell link object.
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>

#include <gtest/gtest.h>

#include "install.h"
#include "winutil.h"

namespace {

// Paths compare without regard to case, as the file system does.
std::wstring Folded(std::wstring path)
{
    CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class CreateShortcutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(SUCCEEDED(hr)) << "CoInitializeEx: " << std::hex << hr;
        comReady = true;
        WCHAR path[MAX_PATH];
        ASSERT_TRUE(MakeTempFolder(path, ARRAYSIZE(path)));
        temp = path;
        first = temp + L"First.exe";
        second = temp + L"Second.exe";
        MakeFile(first);
        MakeFile(second);
    }
    void TearDown() override
    {
        DeleteTree(temp.c_str());
        if (comReady)
            CoUninitialize();
    }

    static void MakeFile(const std::wstring &path)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written;
        WriteFile(file, "MZ", 2, &written, nullptr);
        CloseHandle(file);
    }

    bool comReady = false;
    std::wstring temp, first, second;
};

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

TEST_F(CreateShortcutTest, SavedLinkPointsAtTheTarget)
{
    std::wstring link = temp + L"First.lnk";
    EXPECT_EQ(CreateShortcut(first.c_str(), link.c_str()), S_OK) << "new link";
    EXPECT_TRUE(Exists(link)) << "link file";
    EXPECT_EQ(Folded(LinkTarget(link)), Folded(first)) << "target read back";
}

TEST_F(CreateShortcutTest, ExistingLinkIsReplaced)
{
    std::wstring link = temp + L"Moved.lnk";
    ASSERT_EQ(CreateShortcut(first.c_str(), link.c_str()), S_OK);
    ASSERT_EQ(Folded(LinkTarget(link)), Folded(first));
    EXPECT_EQ(CreateShortcut(second.c_str(), link.c_str()), S_OK) << "save over an existing link";
    EXPECT_EQ(Folded(LinkTarget(link)), Folded(second)) << "the link names the new target";

    // A file that is no link at all is replaced just the same.
    std::wstring junk = temp + L"Junk.lnk";
    MakeFile(junk);
    EXPECT_EQ(CreateShortcut(second.c_str(), junk.c_str()), S_OK) << "save over a non-link file";
    EXPECT_EQ(Folded(LinkTarget(junk)), Folded(second)) << "junk replaced by a link";
}

TEST_F(CreateShortcutTest, UnwritableFolderFails)
{
    std::wstring link = temp + L"missing\\First.lnk";
    HRESULT hr = CreateShortcut(first.c_str(), link.c_str());
    EXPECT_NE(hr, S_OK) << "link in a missing folder";
    EXPECT_TRUE(FAILED(hr)) << "a failure code, got " << std::hex << hr;
    EXPECT_FALSE(Exists(temp + L"missing")) << "no folder is made for the link";

    // A folder named like the link cannot be overwritten by the save.
    std::wstring blocked = temp + L"Blocked.lnk";
    ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), nullptr));
    hr = CreateShortcut(first.c_str(), blocked.c_str());
    EXPECT_TRUE(FAILED(hr)) << "link path taken by a folder, got " << std::hex << hr << " for "
                            << Narrow(blocked);

    // A target that the link object refuses (no path at all: E_INVALIDARG)
    // fails before anything is saved, rather than giving a link to nothing.
    std::wstring empty = temp + L"Empty.lnk";
    hr = CreateShortcut(nullptr, empty.c_str());
    EXPECT_TRUE(FAILED(hr)) << "refused target, got " << std::hex << hr;
    EXPECT_FALSE(Exists(empty)) << "a link was saved for a refused target";
}

}  // namespace
