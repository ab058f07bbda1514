// The nine install steps: one per component, then the final step.
#include "install.h"

#include <commctrl.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include "payload.h"
#include "resource.h"
#include "setup.h"

enum { WorkingStringUnits = 308 };

static const WCHAR WriteFailedLine[] = L"ERROR: Write failed.";

// Appends text in place, within a buffer of capacity units.
static void Append(WCHAR *buffer, size_t capacity, const WCHAR *text)
{
    size_t used = wcslen(buffer);
    while (*text && used + 1 < capacity)
        buffer[used++] = *text++;
    buffer[used] = 0;
}

static void AddDetailLine(const WCHAR *line)
{
    SendMessageW(setupState->detailsList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
}

static void ReportWriteFailure()
{
    AddDetailLine(WriteFailedLine);
    setupState->failureCount++;
}

static UINT32 SzBytes(const WCHAR *text) { return static_cast<UINT32>((wcslen(text) + 1) * sizeof(WCHAR)); }

// Writes every value of the group, whatever fails; true when all were written.
static bool WriteRegistryGroup(const RegistryGroup &group, const WCHAR *iconString, const WCHAR *commandString)
{
    SetupState *state = setupState;
    bool written = true;
    for (UINT32 i = 0; i < group.count; i++) {
        const RegistryWrite &write = group.writes[i];
        const WCHAR *const *names = write.keyNames;
        const WCHAR *key = BuildKeyPath(names[0], names[1], names[2], names[3], names[4], names[5]);
        DWORD number = 0;
        const void *data = write.text;
        UINT32 bytes = write.bytes;
        switch (write.data) {
        case FixedText:
            break;
        case IconString:
            data = iconString;
            bytes = SzBytes(iconString);
            break;
        case CommandString:
            data = commandString;
            bytes = SzBytes(commandString);
            break;
        case InstallFolder:
            data = state->installDir;
            bytes = SzBytes(state->installDir);
            break;
        case EstimatedSizeKiB:
            number = state->requiredBytes >> 10;
            data = &number;
            bytes = sizeof(number);
            break;
        case DwordOne:
            number = 1;
            data = &number;
            bytes = sizeof(number);
            break;
        }
        if (!WriteRegistryValue(key, write.valueName, write.type, data, bytes))
            written = false;
    }
    return written;
}

// Component step k: executable, shortcut, registrations.
static void InstallComponent(UINT32 k, WCHAR *iconString, WCHAR *commandString)
{
    SetupState *state = setupState;
    HWND components = state->pages[ComponentsPage];
    if (IsDlgButtonChecked(components, IDC_FIRST_COMPONENT + k) != BST_CHECKED)
        return;

    const WCHAR *name = state->componentNames[k];
    SetDlgItemTextW(state->pages[ProgressPage], IDC_STATUS, name);
    EnsureDirectories(state->installDir);
    Append(state->installDir, PathBufferUnits, name);
    Append(state->installDir, PathBufferUnits, L".exe");
    AddDetailLine(state->installDir);

    const PayloadEntry &entry = state->entries[k + 1];
    FILETIME time;
    time.dwLowDateTime = entry.lastWriteTime.dwLowDateTime;
    time.dwHighDateTime = entry.lastWriteTime.dwHighDateTime;
    if (ExtractEntryToFile(&state->payload, state->installDir, entry.offset, entry.size, &time) != 0) {
        ReportWriteFailure();
        return;
    }

    if (IsDlgButtonChecked(components, IDC_SHORTCUTS) == BST_CHECKED) {
        EnsureDirectories(state->shortcutDir);
        Append(state->shortcutDir, PathBufferUnits, name);
        Append(state->shortcutDir, PathBufferUnits, L".lnk");
        AddDetailLine(state->shortcutDir);
        if (CreateShortcut(state->installDir, state->shortcutDir) != S_OK)
            ReportWriteFailure();
    }

    Append(iconString, WorkingStringUnits, state->installDir);
    Append(iconString, WorkingStringUnits, L",0");
    Append(commandString, WorkingStringUnits, L"\"");
    Append(commandString, WorkingStringUnits, state->installDir);
    Append(commandString, WorkingStringUnits, L"\" \"%1\"");
    // A registration that could not be written is reported as a file is: one
    // line for the step, and the run counts as failed (the pack could not be
    // opened by its file types, nor removed without its uninstall entry).
    if (!WriteRegistryGroup(ComponentRegistrations[k], iconString, commandString))
        ReportWriteFailure();
    if (ComponentRegistrations[k].count != 0)
        state->associationsWritten = 1;
}

// Step 8: the recorded folder, the uninstaller and its uninstall entry.
static void FinishInstallation(WCHAR *iconString, WCHAR *commandString, size_t folderLength)
{
    SetupState *state = setupState;
    if (state->requiredBytes != 0) {
        bool registered = WriteRegistryGroup(InstallFolderRecord, iconString, commandString);

        Append(state->installDir, PathBufferUnits, state->componentNames[LastInstallStep]);
        Append(state->installDir, PathBufferUnits, L".exe");
        state->installDir[folderLength] = L'u';  // "uninstall.exe"; the key keeps "Uninstall"
        AddDetailLine(state->installDir);

        const PayloadEntry &entry = state->entries[10];
        if (ExtractEntryToFile(&state->payload, state->installDir, entry.offset, entry.size, nullptr) != 0) {
            ReportWriteFailure();
        } else {
            Append(iconString, WorkingStringUnits, state->installDir);
            Append(iconString, WorkingStringUnits, L",0");
            Append(commandString, WorkingStringUnits, L"\"");
            Append(commandString, WorkingStringUnits, state->installDir);
            Append(commandString, WorkingStringUnits, L"\"");
            registered = WriteRegistryGroup(UninstallEntry, iconString, commandString) && registered;
        }
        if (!registered)
            ReportWriteFailure();
    }
    // Explorer keeps the icons and verbs of the file types that it has read
    // until it is told that associations changed.
    if (state->associationsWritten)
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    SetDlgItemTextA(state->pages[ProgressPage], IDC_STATUS,
                    state->failureCount ? "Installation failed." : "Installation completed successfully.");
    state->phase = Finished;
}

void RunInstallStep(UINT32 step)
{
    SetupState *state = setupState;
    if (step > LastInstallStep) {
        state->pendingStep = 0;  // not a step of ours
        return;
    }
    WCHAR iconString[WorkingStringUnits];
    WCHAR commandString[WorkingStringUnits];
    memset(iconString, 0, sizeof(iconString));
    memset(commandString, 0, sizeof(commandString));
    size_t folderLength = wcslen(state->installDir);
    size_t shortcutLength = wcslen(state->shortcutDir);
    state->pendingStep = 0;

    if (step < LastInstallStep) {
        InstallComponent(step, iconString, commandString);
        PostMessageW(state->mainWindow, StepMessage, step + 1, 0);
    } else {
        FinishInstallation(iconString, commandString, folderLength);
    }

    state->installDir[folderLength] = 0;
    state->shortcutDir[shortcutLength] = 0;
    SendDlgItemMessageW(state->pages[ProgressPage], IDC_PROGRESS_BAR, PBM_SETPOS, (step * 100 + 100) / 9, 0);
}
