// SetDefaultDllDirectories needs Windows 8 or later (Windows 7 with
// KB2533623) in the SDK headers.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include "setup.h"

// The process entry (linked with -nostartfiles, see app/CMakeLists.txt), in
// place of the C runtime's start-up: the setup has no constructors, no
// thread-local data, no arguments and no atexit work for it to do, and
// msvcrt.dll sets itself up when the loader maps it.
//
// Before anything else runs, DLLs that are loaded by name come from the
// system folder only: a setup program is started from a downloads folder,
// where anyone may have left a DLL named like one that Windows loads on
// demand.
extern "C" void SetupEntry()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ExitProcess(static_cast<UINT>(RunSetup(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT)));
}
