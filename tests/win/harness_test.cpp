// The test harness itself: Windows tests run under Wine and can read the
// built setup program.
#include <windows.h>

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
