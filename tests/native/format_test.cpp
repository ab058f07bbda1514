// The destination page's figures: FormatNumber, the two space lines and the
// decision that enables "&Install".
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "format.h"

namespace {

// Destination of FormatNumber: 73 bytes are the documented need; the rest is
// a guard band that must stay untouched.
struct Output {
    char bytes[128];
    Output() { memset(bytes, 0x7F, sizeof(bytes)); }
    // Nothing written after the terminator at index length.
    bool GuardIntact(int length) const
    {
        for (size_t i = static_cast<size_t>(length) + 1; i < sizeof(bytes); i++) {
            if (bytes[i] != 0x7F)
                return false;
        }
        return true;
    }
};

void ExpectFormat(const char *templ, uint32_t value, const std::string &expected)
{
    SCOPED_TRACE(std::string("template \"") + templ + "\" value " + std::to_string(value));
    Output out;
    int written = FormatNumber(out.bytes, templ, value);
    EXPECT_EQ(std::string(out.bytes), expected);
    EXPECT_EQ(written, static_cast<int>(expected.size())) << "count returned, terminator excluded";
    EXPECT_TRUE(out.GuardIntact(written)) << "bytes written after the terminator";
}

std::string Available(uint64_t bytes)
{
    char line[SpaceLineBytes + 16];
    memset(line, 'x', sizeof(line));
    line[sizeof(line) - 1] = 0;
    FormatSpaceAvailable(line, bytes);
    return line;
}

}  // namespace

TEST(FormatNumber, ConversionsAndPlainText)
{
    ExpectFormat("%u MB", 0, "0 MB");
    ExpectFormat("%u TB", 4294967295u, "4294967295 TB");
    ExpectFormat("%x", 255, "ff");
    ExpectFormat("%x", 0xDEADBEEFu, "deadbeef");
    ExpectFormat("%x", 0, "0");
    // Only a lowercase "x" selects hexadecimal; any other character is decimal,
    // never signed.
    ExpectFormat("%X", 255, "255");
    ExpectFormat("%d", 4294967295u, "4294967295");
    ExpectFormat("%%", 7, "7");
    // One conversion only: a second "%" is plain text.
    ExpectFormat("%u of %u", 3, "3 of %u");
    ExpectFormat("abc", 12, "abc");
    ExpectFormat("abc%", 12, "abc");
    ExpectFormat("", 12, "");
}

TEST(FormatNumber, TextStopsAtSixtyThreeCharactersButDigitsAreWhole)
{
    const std::string text62(62, 'a');
    const std::string text63(63, 'b');

    // 62 characters of text leave room for all ten digits: 72 characters, the
    // 73 bytes that a destination must hold.
    ExpectFormat((text62 + "%u").c_str(), 4294967295u, text62 + "4294967295");
    // Text after the digits is cut once 63 characters are written.
    ExpectFormat((text62 + "%u MB").c_str(), 4294967295u, text62 + "4294967295");
    ExpectFormat((std::string(60, 'c') + "%u MB").c_str(), 5, std::string(60, 'c') + "5 M");
    // With 63 characters written the conversion is never reached.
    ExpectFormat((text63 + "%u").c_str(), 4294967295u, text63);
    ExpectFormat((std::string(70, 'd') + "%u").c_str(), 1, std::string(63, 'd'));
}

TEST(FormatSpaceLines, RequiredIsRoundedUpToMegabytes)
{
    struct Case {
        uint32_t bytes;
        const char *line;
    } cases[] = {
        {0, "Space required:  0 MB"},
        {1, "Space required:  1 MB"},
        {1048576, "Space required:  1 MB"},
        {1048577, "Space required:  2 MB"},
        {292864, "Space required:  1 MB"},
        {2500096, "Space required:  3 MB"},
        {4293918720u, "Space required:  4095 MB"},
        // The rounding runs in 32-bit arithmetic: near 4 GiB the sum wraps.
        {4294967295u, "Space required:  0 MB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        char line[SpaceLineBytes + 8];
        memset(line, 'x', sizeof(line));
        FormatSpaceRequired(line, c.bytes);
        EXPECT_STREQ(line, c.line);
        for (size_t i = strlen(c.line); i < SpaceLineBytes; i++)
            ASSERT_EQ(line[i], 0) << "the first 64 bytes are zeroed, byte " << i;
        EXPECT_EQ(line[SpaceLineBytes], 'x') << "nothing written past 64 bytes";
    }
}

TEST(FormatSpaceLines, AvailableUsesTheFinestUnitThatFits)
{
    EXPECT_EQ(Available(UndeterminedSpace), "Space available: ?");
    EXPECT_EQ(Available(0), "Space available: 0 MB");
    EXPECT_EQ(Available(500000), "Space available: 0 MB");
    EXPECT_EQ(Available(1000000000000ull), "Space available: 953674 MB");
    EXPECT_EQ(Available((1ull << 52) - 1), "Space available: 4294967295 MB") << "just below 2^52";
    EXPECT_EQ(Available(1ull << 52), "Space available: 4194304 GB");
    EXPECT_EQ(Available((1ull << 62) - 1), "Space available: 4294967295 GB") << "just below 2^62";
    EXPECT_EQ(Available(1ull << 62), "Space available: 4194304 TB");
    EXPECT_EQ(Available(UINT64_MAX - 1), "Space available: 16777215 TB") << "one below undetermined";

    // Written over the required line, both figures start at column 17.
    char line[SpaceLineBytes];
    FormatSpaceRequired(line, 2500096);
    FormatSpaceAvailable(line, 1000000000000ull);
    EXPECT_STREQ(line, "Space available: 953674 MB");
    EXPECT_EQ(strchr(line, '9') - line, static_cast<ptrdiff_t>(SpaceFigureColumn));
}

TEST(InstallFits, StrictlyLessThanTheCappedFreeBytes)
{
    EXPECT_FALSE(InstallFits(0, 1000000)) << "nothing selected";
    EXPECT_FALSE(InstallFits(0, UndeterminedSpace)) << "nothing selected, space unknown";
    EXPECT_FALSE(InstallFits(2500096, 2500096)) << "exactly equal";
    EXPECT_TRUE(InstallFits(2500096, 2500097)) << "one byte more";
    EXPECT_FALSE(InstallFits(2500096, 2500095)) << "one byte less";
    EXPECT_FALSE(InstallFits(1, 0)) << "empty volume";

    // 4 GiB or more counts as 4,294,967,295 bytes.
    EXPECT_TRUE(InstallFits(4294967294u, 1ull << 32));
    EXPECT_FALSE(InstallFits(4294967295u, 1ull << 32)) << "equal to the cap";
    EXPECT_FALSE(InstallFits(4294967295u, 1ull << 62));
    EXPECT_FALSE(InstallFits(4294967295u, 4294967295u));
    EXPECT_TRUE(InstallFits(4294967294u, 4294967295u));

    // An undetermined figure counts as the cap, so it never blocks a normal
    // selection.
    EXPECT_TRUE(InstallFits(1, UndeterminedSpace));
    EXPECT_TRUE(InstallFits(2500096, UndeterminedSpace));
    EXPECT_FALSE(InstallFits(4294967295u, UndeterminedSpace));
}
