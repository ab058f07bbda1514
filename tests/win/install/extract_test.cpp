// ExtractEntryToFile: byte ranges of a filled 4 MiB block written to files
// in a fresh temporary folder.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "payload.h"
#include "winutil.h"

namespace {

ULONGLONG Ticks(const FILETIME &time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The temporary file beside a target: its name with the last unit '~'.
std::wstring Partial(std::wstring path) { return path.back() = L'~', path; }
// The name a target is set aside under: its last two units '~'.
std::wstring SetAside(std::wstring path) { return path.replace(path.size() - 2, 2, L"~~"); }

class ExtractEntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&buffer, 0, sizeof(buffer));
        ASSERT_NE(AllocatePayloadBuffer(&buffer), nullptr);
        ASSERT_EQ(buffer.length, PayloadBufferSize);
        for (UINT32 i = 0; i < buffer.length; i++)
            buffer.data[i] = static_cast<uint8_t>((i * 31) ^ (i >> 11));
        WCHAR path[MAX_PATH];
        ASSERT_TRUE(MakeTempFolder(path, ARRAYSIZE(path)));
        temp = path;
    }
    void TearDown() override
    {
        FreePayloadBuffer(&buffer);
        DeleteTree(temp.c_str());
    }

    // Expects the file to hold exactly count bytes of the block from offset.
    void ExpectContent(const std::wstring &path, UINT32 offset, UINT32 count)
    {
        BYTE *data = nullptr;
        DWORD size = 0;
        ASSERT_TRUE(ReadWholeFile(path.c_str(), &data, &size)) << "file was not created";
        EXPECT_EQ(size, count) << "file size";
        if (size == count && count)
            EXPECT_EQ(memcmp(data, buffer.data + offset, count), 0) << "file content";
        free(data);
    }

    bool LastWriteTime(const std::wstring &path, FILETIME *creation, FILETIME *lastWrite)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        BOOL ok = GetFileTime(file, creation, nullptr, lastWrite);
        CloseHandle(file);
        return ok != FALSE;
    }

    PayloadBuffer buffer;
    std::wstring temp;  // ends in a backslash
};

TEST_F(ExtractEntryTest, WritesTheRangeCutAtTheEndOfTheBlock)
{
    std::wstring path = temp + L"middle.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, path.c_str(), 1000, 70000, nullptr), 0u) << "range inside the block";
    ExpectContent(path, 1000, 70000);

    path = temp + L"tail.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, path.c_str(), PayloadBufferSize - 10, 100, nullptr), 0u)
        << "count past the end";
    ExpectContent(path, PayloadBufferSize - 10, 10);

    path = temp + L"huge.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, path.c_str(), 5, 0xFFFFFFFFu, nullptr), 0u) << "largest count";
    ExpectContent(path, 5, PayloadBufferSize - 5);

    path = temp + L"zero.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, path.c_str(), 0, 0, nullptr), 0u) << "count 0";
    ExpectContent(path, 0, 0);
}

TEST_F(ExtractEntryTest, OffsetAtAndPastTheBlockLength)
{
    std::wstring at = temp + L"at.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, at.c_str(), PayloadBufferSize, 100, nullptr), 0u) << "offset == length";
    ExpectContent(at, PayloadBufferSize, 0);

    std::wstring past = temp + L"past.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, past.c_str(), PayloadBufferSize + 1, 100, nullptr), 16u)
        << "offset == length + 1";
    EXPECT_FALSE(Exists(past)) << "no file for an offset past the block";
    EXPECT_EQ(ExtractEntryToFile(&buffer, past.c_str(), 0xFFFFFFFFu, 1, nullptr), 16u) << "largest offset";
    EXPECT_FALSE(Exists(past)) << "no file for the largest offset";
}

TEST_F(ExtractEntryTest, ExistingFileIsReplaced)
{
    std::wstring path = temp + L"old.bin";
    ASSERT_EQ(ExtractEntryToFile(&buffer, path.c_str(), 0, 50000, nullptr), 0u);
    // A partial file that a run cut off by a crash left beside it is taken over.
    HANDLE partial = CreateFileW(Partial(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(partial, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(partial, "left over", 9, &written, nullptr));
    CloseHandle(partial);
    // So is what an earlier run set aside, once that program has ended.
    ASSERT_TRUE(CopyFileW(Partial(path).c_str(), SetAside(path).c_str(), TRUE));
    // All read-only, as a backup or a sync tool may leave them: Windows
    // replaces neither until the attribute is cleared (Wine, run as root,
    // does).
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(Partial(path).c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(SetAside(path).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ExtractEntryToFile(&buffer, path.c_str(), 777, 300, nullptr), 0u) << "second write to the same path";
    EXPECT_FALSE(Exists(SetAside(path))) << "the file set aside is deleted";
    ExpectContent(path, 777, 300);
    EXPECT_FALSE(Exists(Partial(path))) << "the partial file became the target";
    EXPECT_FALSE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) << "the new file is writable";
}

TEST_F(ExtractEntryTest, UncreatableFileWritesNothing)
{
    std::wstring missing = temp + L"no-such-folder\\file.bin";
    EXPECT_EQ(ExtractEntryToFile(&buffer, missing.c_str(), 0, 10, nullptr), 16u) << "missing folder";
    EXPECT_FALSE(Exists(temp + L"no-such-folder")) << "the folder is not made";

    EXPECT_EQ(ExtractEntryToFile(&buffer, nullptr, 0, 10, nullptr), 16u) << "no path";
}

TEST_F(ExtractEntryTest, HeldTargetKeepsTheNewContentBesideIt)
{
    // Another handle that shares nothing keeps the file as it was, and the
    // new content waits beside it until it is placed or discarded.
    std::wstring held = temp + L"held.bin";
    ASSERT_EQ(ExtractEntryToFile(&buffer, held.c_str(), 100, 64, nullptr), 0u);
    HANDLE other = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ExtractEntryToFile(&buffer, held.c_str(), 0, 10, nullptr), 18u) << "file held open without sharing";
    ExpectContent(Partial(held), 0, 10);
    DiscardEntryFile(held.c_str());
    EXPECT_FALSE(Exists(Partial(held))) << "the discarded content is deleted";
    EXPECT_EQ(ExtractEntryToFile(&buffer, held.c_str(), 0, 10, nullptr), 18u) << "held again";
    EXPECT_EQ(PlaceEntryFile(held.c_str()), 18u) << "placed while still held";
    EXPECT_FALSE(Exists(SetAside(held))) << "a held file is not set aside";
    CloseHandle(other);
    ExpectContent(held, 100, 64);
    EXPECT_TRUE(GetFileAttributesW(held.c_str()) & FILE_ATTRIBUTE_READONLY) << "kept read-only";
    EXPECT_EQ(PlaceEntryFile(held.c_str()), 0u) << "placed once let go";
    ExpectContent(held, 0, 10);
    EXPECT_FALSE(Exists(Partial(held))) << "the temporary file became the target";
}

TEST_F(ExtractEntryTest, NoBlockWritesNothing)
{
    PayloadBuffer empty;
    memset(&empty, 0, sizeof(empty));
    std::wstring path = temp + L"nothing.bin";
    const UINT32 offsets[] = {0, 1, PayloadBufferSize};
    for (UINT32 offset : offsets) {
        EXPECT_EQ(ExtractEntryToFile(&empty, path.c_str(), offset, 0, nullptr), 16u) << "no block, offset " << offset;
        EXPECT_EQ(ExtractEntryToFile(&empty, path.c_str(), offset, 100, nullptr), 16u) << "no block, offset " << offset;
    }
    FILETIME time = {0x12345678, 0x01D00000};
    EXPECT_EQ(ExtractEntryToFile(&empty, path.c_str(), 0, 100, &time), 16u) << "no block, with a time";
    EXPECT_FALSE(Exists(path)) << "no block: no file";
}

TEST_F(ExtractEntryTest, LastWriteTimeIsStampedOnlyWhenGiven)
{
    // 2023-08-22 (a time with a sub-second part, as the payload's are).
    FILETIME stamp = {0x2DBB2308, 0x01DD6008};
    std::wstring stamped = temp + L"stamped.bin";
    ASSERT_EQ(ExtractEntryToFile(&buffer, stamped.c_str(), 10, 4096, &stamp), 0u);
    FILETIME creation, lastWrite;
    ASSERT_TRUE(LastWriteTime(stamped, &creation, &lastWrite));
    EXPECT_EQ(Ticks(lastWrite), Ticks(stamp)) << "last-write time of a stamped file";
    // Wine has no birth time to report and derives the creation time from the
    // Unix times, so there a stamped file shows its stamp as creation time too.
    if (!RunningOnWine())
        EXPECT_NE(Ticks(creation), Ticks(stamp)) << "the creation time is not stamped";
    ExpectContent(stamped, 10, 4096);

    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    std::wstring plain = temp + L"plain.bin";
    ASSERT_EQ(ExtractEntryToFile(&buffer, plain.c_str(), 10, 4096, nullptr), 0u);
    GetSystemTimeAsFileTime(&after);
    ASSERT_TRUE(LastWriteTime(plain, &creation, &lastWrite));
    const ULONGLONG slack = 20000000;  // 2 s, for coarse file-system clocks
    EXPECT_GE(Ticks(lastWrite) + slack, Ticks(before)) << "unstamped file: time of writing";
    EXPECT_LE(Ticks(lastWrite), Ticks(after) + slack) << "unstamped file: time of writing";
}

}  // namespace
