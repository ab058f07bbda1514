#include "program_image.h"

#include <stdarg.h>
#include <stdio.h>

enum : uint32_t {
    DosHeaderSize = 64,
    DosNewHeaderOffset = 0x3C,
    CoffHeaderSize = 20,
    SectionHeaderSize = 40,
    MachineAmd64 = 0x8664,
    MachineI386 = 0x014C,
    MachineArm64 = 0xAA64,
    CharacteristicExecutable = 0x0002,
    CharacteristicDll = 0x2000,
    OptionalMagicPe32 = 0x10B,
    OptionalMagicPe32Plus = 0x20B,
    OptionalSizeOfHeaders = 60,
    OptionalPe32PlusMinimum = 112,  // up to NumberOfRvaAndSizes
};

static uint32_t U16(const uint8_t *p) { return p[0] | (p[1] << 8); }
static uint32_t U32(const uint8_t *p) { return U16(p) | (U16(p + 2) << 16); }

typedef unsigned long long Offset;  // file offsets and sizes, as printf takes them

__attribute__((format(printf, 3, 4))) static bool Found(char *problem, size_t problemSize, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(problem, problemSize, format, args);
    va_end(args);
    return false;
}

bool CheckProgramImage(const uint8_t *data, size_t size, char *problem, size_t problemSize)
{
    if (size < 2 || data[0] != 'M' || data[1] != 'Z')
        return Found(problem, problemSize, "not a Windows executable image (no MZ header)");
    Offset fileSize = size;
    if (fileSize < DosHeaderSize)
        return Found(problem, problemSize, "a truncated image (%llu bytes, less than its MZ header)", fileSize);
    Offset pe = U32(data + DosNewHeaderOffset);
    Offset coff = pe + 4;
    if (coff + CoffHeaderSize > fileSize)
        return Found(problem, problemSize, "a truncated image (%llu bytes, its PE header at byte %llu)", fileSize,
                     pe);
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] || data[pe + 3])
        return Found(problem, problemSize, "not a Windows executable image (no PE signature at byte %llu)", pe);

    Offset machine = U16(data + coff);
    uint32_t sections = U16(data + coff + 2);
    Offset optional = coff + CoffHeaderSize;
    Offset optionalSize = U16(data + coff + 16);
    uint32_t characteristics = U16(data + coff + 18);
    if (characteristics & CharacteristicDll)
        return Found(problem, problemSize, "a DLL, not a program");
    if (!(characteristics & CharacteristicExecutable))
        return Found(problem, problemSize, "not an executable image (its linker did not mark it as one)");
    if (machine == MachineI386)
        return Found(problem, problemSize, "a 32-bit x86 program (machine 0x014C), not x86-64");
    if (machine == MachineArm64)
        return Found(problem, problemSize, "an ARM64 program (machine 0xAA64), not x86-64");
    if (machine != MachineAmd64)
        return Found(problem, problemSize, "a program for machine 0x%04llX, not x86-64", machine);

    Offset sectionTable = optional + optionalSize;
    if (optional + 2 > fileSize || sectionTable + Offset(sections) * SectionHeaderSize > fileSize)
        return Found(problem, problemSize, "a truncated image (%llu bytes, its headers need %llu)", fileSize,
                     sectionTable + Offset(sections) * SectionHeaderSize);
    Offset magic = U16(data + optional);
    if (magic == OptionalMagicPe32)
        return Found(problem, problemSize, "a 32-bit (PE32) image, not a 64-bit (PE32+) one");
    if (magic != OptionalMagicPe32Plus || optionalSize < OptionalPe32PlusMinimum)
        return Found(problem, problemSize, "not a Windows executable image (optional header 0x%04llX of %llu bytes)",
                     magic, optionalSize);
    Offset headers = U32(data + optional + OptionalSizeOfHeaders);
    if (headers > fileSize)
        return Found(problem, problemSize, "a truncated image (%llu bytes, its headers need %llu)", fileSize, headers);
    for (uint32_t i = 0; i < sections; i++) {
        const uint8_t *section = data + sectionTable + Offset(i) * SectionHeaderSize;
        Offset rawSize = U32(section + 16);
        Offset rawEnd = U32(section + 20) + rawSize;
        if (rawSize && rawEnd > fileSize)
            return Found(problem, problemSize, "a truncated image (%llu bytes, its sections need %llu)", fileSize,
                         rawEnd);
    }
    return true;
}
