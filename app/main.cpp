#include "dll_search.h"
#include "setup.h"

// The runtime's wide-character GUI entry hands the run to RunSetup. Before
// anything else runs, DLLs that are loaded by name come from the system
// folder only: a setup program is started from a downloads folder, where
// anyone may have left a DLL named like one that Windows loads on demand.
extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    RestrictDllSearch();
    return RunSetup(instance, previous, commandLine, show);
}
