// Helpers shared by the Windows tests.
#pragma once
#include <windows.h>

// Path of a file in the Windows build folder (the parent of the tests folder).
bool BuildOutputPath(const WCHAR *name, WCHAR *path, DWORD capacity);
