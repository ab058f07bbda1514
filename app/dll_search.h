/* Restricting where DLLs loaded by name come from; shared by the setup
 * program and the uninstaller (C and C++). */
#pragma once
#include <windows.h>

/* Loads by name come from the system folder only. SetDefaultDllDirectories
 * is looked up at run time, never imported: Vista and Windows 7 without
 * KB2533623 lack it, and there the loader would refuse to start a program
 * that imports it. Where it is missing, SetDllDirectoryW(L"") at least takes
 * the current folder out of the search. */
static inline void RestrictDllSearch(void)
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesRoutine)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    /* Through void (*)(void): the cast that compilers accept between routine types. */
    SetDefaultDllDirectoriesRoutine setDefault = (SetDefaultDllDirectoriesRoutine)(void (*)(void))found;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}
