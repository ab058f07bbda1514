// Helpers of the hardening tests: driving whole installations through the
// wizard, reading back what they showed and wrote, and checking that the
// fields of SetupState around the path buffers stay intact.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "winutil.h"

extern const WCHAR *const ComponentFileNames[8];
// The setup program and the ten payload programs, relative to the build folder.
extern const WCHAR *const ShippedPrograms[11];
extern const char InstallSucceeded[];
extern const char InstallFailed[];
extern const WCHAR WriteFailedLine[];
const UINT32 EveryComponent = 0xFF;

std::string Narrow(const std::wstring &text);
bool Exists(const std::wstring &path);
bool IsFolder(const std::wstring &path);

// A shell folder plus "\Orbelune\", as start-up builds it.
std::wstring ProductFolder(int csidl);


// Lines of a run in which nothing fails.
std::vector<std::wstring> CleanRunLines(const std::wstring &dir, const std::wstring &links, UINT32 mask,
                                        bool shortcuts);

// The file holds exactly payload entry `entry`, and with stamped its recorded
// last-write time.

// Reads a REG_SZ value under HKCU; empty when missing.
std::wstring ReadUserText(const WCHAR *key, const WCHAR *name);

// Starts the setup and goes to DirectoryPage with the components in mask.
void GoToDirectoryPage(InProcessSetup &setup, UINT32 mask, bool shortcuts);

// Presses "&Install" and runs the steps to the end; afterStep runs each time
// the bar moves, that is once after every step.
void RunInstallation(InProcessSetup &setup, const std::function<void(int step)> &afterStep);

// The fields of SetupState that installation must leave as they were: those
// after installDir (shortcutDir compared as its string, since steps extend it
// in place; scratch aside, which holds key paths) and requiredBytes.
class RecordGuard {
public:
    explicit RecordGuard(const SetupState &state);
    void Expect(const SetupState &state, const char *when) const;

private:
    std::wstring shortcutDir_;
    WCHAR browseDir_[PathBufferUnits];
    PayloadEntry entries_[PayloadEntryCount];
    PayloadBuffer payload_;
    const WCHAR *componentNames_[ComponentNameCount];
    UINT32 requiredBytes_;
};
