// The registry layout that an installation writes, as the tests expect it:
// one table of its own, independent of setup's, for every test that reads
// an installation back.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "setup.h"

// The eight programs of the pack, in component order.
extern const WCHAR *const ProgramNames[8];

struct ExpectedValue {
    std::wstring key;  // below HKEY_CURRENT_USER
    const WCHAR *name; // null: the default value
    DWORD type;
    std::wstring text; // REG_SZ
    DWORD number;      // REG_DWORD
    DWORD bytes;
};

ExpectedValue Sz(const std::wstring &key, const WCHAR *name, const std::wstring &text, DWORD bytes);
// A text whose length follows from a path: (characters + 1) * 2 bytes.
ExpectedValue Computed(const std::wstring &key, const WCHAR *name, const std::wstring &text);
ExpectedValue Dword(const std::wstring &key, const WCHAR *name, DWORD number);

// What an installation into folder dir of the components in mask writes.
// Without uninstallEntry, the uninstaller could not be written.
std::vector<ExpectedValue> ExpectedLayout(const std::wstring &dir, UINT32 mask, DWORD estimatedKiB,
                                          bool uninstallEntry = true);

// Every value as written (type, byte length, data), and no other value in
// the keys that the rows name.
void ExpectRegistry(const std::vector<ExpectedValue> &rows);

// Bytes that the components in mask and the uninstaller take.
UINT32 RequiredBytes(const SetupState &state, UINT32 mask);
