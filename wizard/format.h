// Number formatting and the space lines of the destination page. No
// Windows API here.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum {
    SpaceLineBytes = 64,       // the line is built in the first 64 bytes of scratch
    SpaceFigureColumn = 17,    // both figures start here
    FormatNumberMaxText = 63,  // template text stops once this many characters are written
};

static const uint64_t UndeterminedSpace = UINT64_MAX;

// Expands a template with one conversion ("%x" lowercase hex, "%" and any
// other character decimal) of value. Template text is copied only while fewer
// than 63 characters are written; the digits are always whole. Needs 73
// bytes at destination. Returns the characters written, terminator excluded.
int FormatNumber(char *destination, const char *templ, uint32_t value);

// "Space required:  N MB", N the MiB rounded up (32-bit arithmetic).
void FormatSpaceRequired(char *line, uint32_t requiredBytes);

// "Space available: ..." in the finest unit whose figure fits 32 bits;
// "?" for UndeterminedSpace.
void FormatSpaceAvailable(char *line, uint64_t availableBytes);

// Whether "&Install" is enabled: something selected and it fits, the free
// bytes capped at 4,294,967,295.
bool InstallFits(uint32_t requiredBytes, uint64_t availableBytes);
