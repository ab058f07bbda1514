// Path and key-path strings: the trailing separator of folder paths and the
// registry key paths below "Software".
#include <wchar.h>

#include <string>

#include <gtest/gtest.h>

#include "paths.h"

namespace {

const wchar_t Unused = L'#';  // fills buffer units that a routine must not touch

std::string Narrow(const wchar_t *text)
{
    std::string out;
    for (; *text; text++)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

// Runs AppendSeparator on input in a buffer whose other units hold Unused;
// checks the result and that nothing past the new terminator was written.
void CheckAppendSeparator(const wchar_t *input, const wchar_t *expected)
{
    SCOPED_TRACE(std::string("path \"") + Narrow(input) + "\"");
    wchar_t buffer[32];
    wmemset(buffer, Unused, 32);
    wcscpy(buffer, input);
    AppendSeparator(buffer);
    EXPECT_EQ(Narrow(buffer), Narrow(expected));
    size_t end = wcslen(expected) + 1;
    for (size_t i = end; i < 32; i++)
        EXPECT_EQ(buffer[i], Unused) << "unit " << i << " past the terminator was written";
}

}  // namespace

TEST(AppendSeparator, EndsThePathInExactlyOneBackslash)
{
    CheckAppendSeparator(L"", L"\\");
    CheckAppendSeparator(L"C:\\dir", L"C:\\dir\\");
    CheckAppendSeparator(L"C:\\dir/", L"C:\\dir\\");
    CheckAppendSeparator(L"C:\\dir\\", L"C:\\dir\\");
    CheckAppendSeparator(L"/", L"\\");
    CheckAppendSeparator(L"C:", L"C:\\");
    // Only the last character is looked at: a doubled separator stays doubled.
    CheckAppendSeparator(L"C:\\dir\\\\", L"C:\\dir\\\\");
    CheckAppendSeparator(L"C:\\dir//", L"C:\\dir/\\");
    CheckAppendSeparator(L"C:\\dir\\/", L"C:\\dir\\\\");
}

TEST(BuildKeyPathInto, JoinsNamesBelowSoftwareUpToTheFirstNull)
{
    wchar_t buffer[256];
    const wchar_t *none[KeyPathMaxNames] = {};
    EXPECT_EQ(BuildKeyPathInto(buffer, 256, none), buffer) << "returns the buffer";
    EXPECT_EQ(Narrow(buffer), "Software") << "no names";

    const wchar_t *one[KeyPathMaxNames] = {L"Orbelune"};
    EXPECT_EQ(Narrow(BuildKeyPathInto(buffer, 256, one)), "Software\\Orbelune");

    // A longer earlier path must not show through a shorter later one.
    const wchar_t *gap[KeyPathMaxNames] = {L"Classes", nullptr, L".qtxt", L"shell", L"open", L"command"};
    EXPECT_EQ(Narrow(BuildKeyPathInto(buffer, 256, gap)), "Software\\Classes") << "stops at the first null";

    const wchar_t *firstNull[KeyPathMaxNames] = {nullptr, L"Orbelune"};
    EXPECT_EQ(Narrow(BuildKeyPathInto(buffer, 256, firstNull)), "Software") << "null first name";

    const wchar_t *six[KeyPathMaxNames] = {L"Classes", L"SystemFileAssociations", L"audio",
                                           L"shell", L"Kestrefond", L"command"};
    BuildKeyPathInto(buffer, 256, six);
    EXPECT_EQ(Narrow(buffer), "Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond\\command");
    EXPECT_EQ(wcslen(buffer), 70u) << "the longest key path setup builds";
}

TEST(BuildKeyPathInto, CutsAtTheCapacityAndStaysTerminated)
{
    const wchar_t *six[KeyPathMaxNames] = {L"Classes", L"SystemFileAssociations", L"audio",
                                           L"shell", L"Kestrefond", L"command"};
    wchar_t buffer[80];

    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 71, six);
    EXPECT_EQ(wcslen(buffer), 70u) << "70 characters and the terminator fit in 71 units";

    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 70, six);
    EXPECT_EQ(Narrow(buffer), "Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond\\comman");
    EXPECT_EQ(buffer[70], Unused) << "nothing written past the capacity";

    const wchar_t *one[KeyPathMaxNames] = {L"Orbelune"};
    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 12, one);
    EXPECT_EQ(Narrow(buffer), "Software\\Or") << "cut inside a name";
    EXPECT_EQ(buffer[12], Unused);

    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 5, one);
    EXPECT_EQ(Narrow(buffer), "Soft") << "cut inside \"Software\"";
    EXPECT_EQ(buffer[5], Unused);

    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 10, one);
    EXPECT_EQ(Narrow(buffer), "Software\\") << "room for the separator but not the name";

    wmemset(buffer, Unused, 80);
    BuildKeyPathInto(buffer, 1, one);
    EXPECT_EQ(buffer[0], 0) << "capacity 1 holds only the terminator";
    EXPECT_EQ(buffer[1], Unused);

    wmemset(buffer, Unused, 80);
    EXPECT_EQ(BuildKeyPathInto(buffer, 0, one), buffer);
    EXPECT_EQ(buffer[0], Unused) << "capacity 0: nothing written";
}
