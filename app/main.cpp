#include "setup.h"

// The runtime's wide-character GUI entry hands the run to RunSetup.
extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    return RunSetup(instance, previous, commandLine, show);
}
