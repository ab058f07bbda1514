#include "format.h"

#include <string.h>

int FormatNumber(char *destination, const char *templ, uint32_t value)
{
    int written = 0;
    const char *p = templ;
    while (*p && *p != '%' && written < FormatNumberMaxText)
        destination[written++] = *p++;
    if (*p == '%' && written < FormatNumberMaxText) {
        p++;
        if (*p) {
            bool hex = *p == 'x';
            p++;
            const char *digits = "0123456789abcdef";
            uint32_t base = hex ? 16 : 10;
            char reversed[10];
            int count = 0;
            do {
                reversed[count++] = digits[value % base];
                value /= base;
            } while (value);
            while (count)
                destination[written++] = reversed[--count];
            while (*p && written < FormatNumberMaxText)
                destination[written++] = *p++;
        }
    }
    destination[written] = 0;
    return written;
}

void FormatSpaceRequired(char *line, uint32_t requiredBytes)
{
    memset(line, 0, SpaceLineBytes);
    memcpy(line, "Space required:  ", SpaceFigureColumn);
    FormatNumber(line + SpaceFigureColumn, "%u MB", (requiredBytes + 1048575u) >> 20);
}

void FormatSpaceAvailable(char *line, uint64_t availableBytes)
{
    memcpy(line, "Space available: ", SpaceFigureColumn);
    char *figure = line + SpaceFigureColumn;
    uint32_t high = static_cast<uint32_t>(availableBytes >> 32);
    if (availableBytes == UndeterminedSpace) {
        figure[0] = '?';
        figure[1] = 0;
    } else if (high >= 0x40000000u) {
        FormatNumber(figure, "%u TB", static_cast<uint32_t>(availableBytes >> 40));
    } else if (high >= 0x100000u) {
        FormatNumber(figure, "%u GB", static_cast<uint32_t>(availableBytes >> 30));
    } else {
        FormatNumber(figure, "%u MB", static_cast<uint32_t>(availableBytes >> 20));
    }
}

bool InstallFits(uint32_t requiredBytes, uint64_t availableBytes)
{
    uint32_t capped = availableBytes < 0x100000000ull ? static_cast<uint32_t>(availableBytes) : 0xFFFFFFFFu;
    return requiredBytes != 0 && requiredBytes < capped;
}
