// The entry of the Windows test programs. A crash, a DLL that fails to load
// or an assertion of the C runtime must end the program with what it wrote,
// never wait on a box that nobody is there to close. The error mode is set
// before any test runs, whatever --gtest_catch_exceptions says, and every
// program that a test starts inherits it.
#include <windows.h>

#include <stdlib.h>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    _set_error_mode(_OUT_TO_STDERR);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
