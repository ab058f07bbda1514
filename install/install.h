// Installation: the nine install steps and everything they write (folders,
// files, shortcuts, registry values), and the key-path buffer.
#pragma once
#include <windows.h>

#include "paths.h"

// Performs install step 0 to 8 on the setup record (see RunInstallStep in
// steps.cpp for the order of work).
void RunInstallStep(UINT32 step);

// Creates every missing folder up to the path's last separator. False at the
// first folder that cannot be created, and for a path of 260 units or more,
// which is refused without touching the file system. A missing folder whose
// path (its separator included) is over 248 units is one that cannot be
// created, as on Windows.
bool EnsureDirectories(const WCHAR *path);

// Creates or opens HKCU\keyPath and sets one value (valueName null: the
// default value). True when the key could be opened and the value set.
bool WriteRegistryValue(const WCHAR *keyPath, const WCHAR *valueName, DWORD type, const void *data,
                        UINT32 bytes);

// Saves a shell link at linkPath that points at targetPath. Returns S_OK or
// the failing call's HRESULT.
HRESULT CreateShortcut(const WCHAR *targetPath, const WCHAR *linkPath);

// "Software" and the given names, in the record's key-path buffer (scratch).
// Valid until the next call.
WCHAR *BuildKeyPath(const WCHAR *name1 = nullptr, const WCHAR *name2 = nullptr, const WCHAR *name3 = nullptr,
                    const WCHAR *name4 = nullptr, const WCHAR *name5 = nullptr, const WCHAR *name6 = nullptr);

// What a registry write puts in its value.
enum RegistryData : UINT32 {
    FixedText,          // text, with its fixed byte length
    IconString,         // the written file's path and ",0"
    CommandString,      // the quoted command of the written file
    InstallFolder,      // installDir with its trailing backslash
    EstimatedSizeKiB,   // requiredBytes >> 10, REG_DWORD
    DwordOne,           // 1, REG_DWORD
};

struct RegistryWrite {
    const WCHAR *keyNames[KeyPathMaxNames];  // below "Software", up to the first null
    const WCHAR *valueName;                  // null: the default value
    DWORD type;
    RegistryData data;
    const WCHAR *text;                       // for FixedText
    UINT32 bytes;                            // fixed length; 0 where computed
};

struct RegistryGroup {
    const RegistryWrite *writes;
    UINT32 count;
};

// The registry layout, in the order of writing: the registrations of
// components 0 to 7 (empty for 0 to 3), the recorded folder, and the
// uninstall entry.
extern const RegistryGroup ComponentRegistrations[8];
extern const RegistryGroup InstallFolderRecord;
extern const RegistryGroup UninstallEntry;
