#include "dll_search.h"
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
    RestrictDllSearch();
    ExitProcess(static_cast<UINT>(RunSetup(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT)));
}
