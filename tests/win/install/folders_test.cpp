// EnsureDirectories: which prefixes it hands to the system, and what it
// creates in a fresh temporary folder.
#include <windows.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install.h"
#include "winutil.h"

namespace {

// Watches the file-system calls that EnsureDirectories makes, by replacing
// the test module's own imports of GetFileAttributesW and CreateDirectoryW
// (the routine is linked into this module). Forwarding probes pass every
// call on to the system; faking ones answer "missing" and "created" without
// touching it, for path forms that have no place to be made here.
class FolderProbe {
public:
    struct Call {
        bool create;  // CreateDirectoryW, else GetFileAttributesW
        std::wstring path;
    };

    explicit FolderProbe(bool forward)
    {
        active = this;
        forward_ = forward;
        realAttributes_ = reinterpret_cast<AttributesFn>(PatchImport("GetFileAttributesW", (void *)&Attributes));
        realCreate_ = reinterpret_cast<CreateFn>(PatchImport("CreateDirectoryW", (void *)&Create));
    }
    ~FolderProbe()
    {
        PatchImport("GetFileAttributesW", (void *)realAttributes_);
        PatchImport("CreateDirectoryW", (void *)realCreate_);
        active = nullptr;
    }
    bool Installed() const { return realAttributes_ && realCreate_; }
    const std::vector<Call> &Calls() const { return calls_; }
    std::vector<std::wstring> Examined() const
    {
        std::vector<std::wstring> paths;
        for (const Call &call : calls_)
            if (!call.create)
                paths.push_back(call.path);
        return paths;
    }

private:
    typedef DWORD(WINAPI *AttributesFn)(LPCWSTR);
    typedef BOOL(WINAPI *CreateFn)(LPCWSTR, LPSECURITY_ATTRIBUTES);

    static DWORD WINAPI Attributes(LPCWSTR path)
    {
        active->calls_.push_back({false, path});
        return active->forward_ ? active->realAttributes_(path) : INVALID_FILE_ATTRIBUTES;
    }
    static BOOL WINAPI Create(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
    {
        active->calls_.push_back({true, path});
        return active->forward_ ? active->realCreate_(path, security) : TRUE;
    }

    static FolderProbe *active;
    bool forward_;
    AttributesFn realAttributes_;
    CreateFn realCreate_;
    std::vector<Call> calls_;
};

FolderProbe *FolderProbe::active;

bool IsFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class EnsureDirectoriesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WCHAR path[MAX_PATH];
        ASSERT_TRUE(MakeTempFolder(path, ARRAYSIZE(path)));
        temp = path;
        ASSERT_TRUE(IsFolder(temp)) << "temporary folder";
    }
    void TearDown() override { DeleteTree(temp.c_str()); }
    std::wstring temp;  // ends in a backslash
};

TEST_F(EnsureDirectoriesTest, EmptyPathTouchesNothing)
{
    FolderProbe probe(true);
    ASSERT_TRUE(probe.Installed());
    EXPECT_TRUE(EnsureDirectories(L"")) << "empty path";
    EXPECT_TRUE(probe.Calls().empty()) << "the empty path examines nothing";
}

TEST_F(EnsureDirectoriesTest, CreatesChainAndSkipsTheDriveRoot)
{
    std::wstring path = temp + L"one\\two\\";
    {
        FolderProbe probe(true);
        EXPECT_TRUE(EnsureDirectories(path.c_str())) << "two new folders";
        std::vector<std::wstring> examined = probe.Examined();
        ASSERT_FALSE(examined.empty());
        // The first prefix is the drive path up to its second separator, e.g. C:\users\.
        size_t second = temp.find(L'\\', 3);
        ASSERT_NE(second, std::wstring::npos);
        EXPECT_EQ(examined.front(), temp.substr(0, second + 1)) << "first prefix examined";
        for (const std::wstring &prefix : examined)
            EXPECT_NE(prefix, temp.substr(0, 3)) << "the drive root is examined";
        EXPECT_EQ(examined.back(), path) << "last prefix is the whole path with its separator";
    }
    EXPECT_TRUE(IsFolder(temp + L"one")) << "first folder";
    EXPECT_TRUE(IsFolder(temp + L"one\\two")) << "second folder";

    // Again with every folder present: nothing to create.
    FolderProbe again(true);
    EXPECT_TRUE(EnsureDirectories(path.c_str())) << "existing chain";
    for (const FolderProbe::Call &call : again.Calls())
        EXPECT_FALSE(call.create) << "an existing folder is created again";
}

TEST_F(EnsureDirectoriesTest, UnmappedDriveFailsAtItsFirstFolder)
{
    DWORD drives = GetLogicalDrives();
    WCHAR letter = 0;
    for (WCHAR c = L'Q'; c <= L'Y' && !letter; c++)
        if (!(drives & (1u << (c - L'A'))))
            letter = c;
    ASSERT_NE(letter, 0) << "no unmapped drive letter between Q and Y";

    WCHAR path[] = L"?:\\a\\b\\";
    path[0] = letter;
    FolderProbe probe(true);
    EXPECT_FALSE(EnsureDirectories(path)) << "a folder on an unmapped drive";
    const std::vector<FolderProbe::Call> &calls = probe.Calls();
    ASSERT_EQ(calls.size(), 2u) << "one look and one attempt, then stop";
    std::wstring first = std::wstring(path).substr(0, 5);  // "?:\a\"
    EXPECT_FALSE(calls[0].create);
    EXPECT_EQ(calls[0].path, first) << "the drive root is never examined";
    EXPECT_TRUE(calls[1].create);
    EXPECT_EQ(calls[1].path, first) << "the failed attempt is the first folder";
}

TEST_F(EnsureDirectoriesTest, LastNameWithoutSeparatorIsNotCreated)
{
    EXPECT_TRUE(EnsureDirectories((temp + L"made\\notmade").c_str()));
    EXPECT_TRUE(IsFolder(temp + L"made")) << "folder before the last separator";
    EXPECT_FALSE(Exists(temp + L"made\\notmade")) << "the last name has no separator after it";
}

TEST_F(EnsureDirectoriesTest, ForwardSlashesAreSeparatorsAndKept)
{
    std::wstring slashed = temp + L"fwd/inner/";
    for (WCHAR &c : slashed)
        if (c == L'\\')
            c = L'/';
    FolderProbe probe(true);
    EXPECT_TRUE(EnsureDirectories(slashed.c_str())) << "forward slashes";
    std::vector<std::wstring> examined = probe.Examined();
    ASSERT_GE(examined.size(), 2u);
    EXPECT_EQ(examined[examined.size() - 2], slashed.substr(0, slashed.size() - 6)) << "prefix keeps its slashes";
    EXPECT_EQ(examined.back(), slashed) << "last prefix keeps its trailing slash";
    EXPECT_TRUE(IsFolder(temp + L"fwd\\inner")) << "chain made through forward slashes";
}

TEST_F(EnsureDirectoriesTest, FileInThePathStopsTheWalk)
{
    std::wstring file = temp + L"plain";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);

    FolderProbe probe(true);
    EXPECT_FALSE(EnsureDirectories((file + L"\\after\\deeper\\").c_str())) << "a prefix that is a file";
    const std::vector<FolderProbe::Call> &calls = probe.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls.back().create) << "the walk ends with the failed attempt";
    EXPECT_EQ(calls.back().path, file + L"\\") << "the file's prefix is the failed one";
    for (const FolderProbe::Call &call : calls)
        EXPECT_EQ(call.path.find(L"after"), std::wstring::npos) << "a folder past the file is looked at";
    EXPECT_FALSE(IsFolder(temp + L"plain")) << "the file stays a file";
}

TEST_F(EnsureDirectoriesTest, PathOf260UnitsIsRefused)
{
    // A long last name without a separator after it: only "short\" would be made.
    std::wstring base = temp + L"short\\";
    ASSERT_LT(base.size(), 200u);
    std::wstring path259 = base + std::wstring(259 - base.size(), L'x');
    std::wstring path260 = base + std::wstring(260 - base.size(), L'x');
    ASSERT_EQ(path259.size(), 259u);

    {
        FolderProbe probe(true);
        EXPECT_FALSE(EnsureDirectories(path260.c_str())) << "260 units";
        EXPECT_TRUE(probe.Calls().empty()) << "a refused path touches nothing";
    }
    EXPECT_FALSE(Exists(base)) << "260 units create nothing";

    EXPECT_TRUE(EnsureDirectories(path259.c_str())) << "259 units pass the length check";
    EXPECT_TRUE(IsFolder(base)) << "259 units: the folder before the last separator is made";
}

// Path forms that need a share or a relative base: only the prefixes handed
// to the system are checked, the system itself is not asked.
TEST(EnsureDirectoriesForms, FirstPrefixDependsOnThePathForm)
{
    struct Form {
        const WCHAR *path;
        std::vector<std::wstring> prefixes;
    } forms[] = {
        {L"\\\\server\\share\\a\\b\\",
         {L"\\\\server\\share\\", L"\\\\server\\share\\a\\", L"\\\\server\\share\\a\\b\\"}},
        {L"//server/share/a/", {L"//server/share/", L"//server/share/a/"}},
        {L"\\dir\\sub\\", {L"\\dir\\", L"\\dir\\sub\\"}},
        {L"dir\\sub\\last", {L"dir\\", L"dir\\sub\\"}},
        {L"D:\\a\\b\\", {L"D:\\a\\", L"D:\\a\\b\\"}},
        {L"D:/a/", {L"D:/a/"}},
        // A drive-relative path still waits for its second separator.
        {L"D:a\\b\\", {L"D:a\\b\\"}},
    };
    for (const Form &form : forms) {
        SCOPED_TRACE(std::string(form.path, form.path + wcslen(form.path)));
        FolderProbe probe(false);
        ASSERT_TRUE(probe.Installed());
        EXPECT_TRUE(EnsureDirectories(form.path));
        std::vector<std::wstring> created;
        for (const FolderProbe::Call &call : probe.Calls())
            if (call.create)
                created.push_back(call.path);
        EXPECT_EQ(probe.Examined(), form.prefixes) << "prefixes examined";
        EXPECT_EQ(created, form.prefixes) << "every missing prefix is created";
    }
}

}  // namespace
