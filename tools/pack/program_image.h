// What a payload entry that setup installs and starts as a program must be:
// a 64-bit x86-64 Windows executable image (PE32+), not a DLL, whose
// headers and sections lie inside the file.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Returns true for such an image; otherwise writes what was found instead
// ("a DLL, not a program") into problem.
bool CheckProgramImage(const uint8_t *data, size_t size, char *problem, size_t problemSize);
