// The nine install steps: one per component, then the final step.
#include "install.h"

#include <commctrl.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include "payload.h"
#include "resource.h"
#include "setup.h"

enum { WorkingStringUnits = 308, HeldRetryMs = 2000 };

// What of the due step another process held, to be tried again at the next
// tick (SetupState::heldPart).
enum HeldPart : UINT32 {
    NothingHeld = 0,
    FileWriteHeld,   // the temporary file could not be made: written again
    FilePlaceHeld,   // the complete temporary file waits to replace the target
    ShortcutHeld,
};

enum FileOutcome { FileWritten, FileTryAgain, FileFailed };

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

// A scanner, an indexer or a backup tool opens a new file for a moment, and
// a program that runs cannot be replaced until it is set aside. What they
// refuse is tried again at the following ticks, for HeldRetryMs from the
// first refusal, before it counts as failed; the rest of the step waits.
// False once that time is over.
static bool KeepTrying(UINT32 part)
{
    SetupState *state = setupState;
    DWORD now = GetTickCount();
    if (state->heldPart == NothingHeld)
        state->heldSince = now;
    if (now - state->heldSince >= HeldRetryMs) {
        state->heldPart = NothingHeld;
        return false;
    }
    state->heldPart = part;
    return true;
}

// Writes a payload entry to path, or, when its complete temporary file is
// waiting for a held target, tries only the replacement again.
static FileOutcome WriteEntryFile(const WCHAR *path, const PayloadEntry &entry, const FILETIME *time)
{
    SetupState *state = setupState;
    UINT32 status = state->heldPart == FilePlaceHeld
                        ? PlaceEntryFile(path)
                        : ExtractEntryToFile(&state->payload, path, entry.offset, entry.size, time);
    if (status == PayloadFileHeld || status == PayloadTemporaryHeld) {
        if (KeepTrying(status == PayloadFileHeld ? FilePlaceHeld : FileWriteHeld))
            return FileTryAgain;
        if (status == PayloadFileHeld)
            DiscardEntryFile(path);
        return FileFailed;
    }
    state->heldPart = NothingHeld;
    return status == PayloadOk ? FileWritten : FileFailed;
}

// A link refused because another process holds it, or denied once its
// read-only attribute is cleared; a folder in its place is no link of ours.
static bool IsHeldLink(HRESULT hr, const WCHAR *linkPath)
{
    if (!FAILED(hr) || (HRESULT_FACILITY(hr) != FACILITY_WIN32 && HRESULT_FACILITY(hr) != FACILITY_STORAGE))
        return false;
    DWORD code = HRESULT_CODE(hr);
    DWORD attributes = GetFileAttributesW(linkPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
}

// A link marked read-only is replaced as a program is: its attribute is
// cleared first, and given back when the link stays as it was.
static HRESULT SaveShortcut(const WCHAR *targetPath, const WCHAR *linkPath)
{
    DWORD attributes = ClearReadOnly(linkPath);
    HRESULT hr = CreateShortcut(targetPath, linkPath);
    if (hr != S_OK && attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(linkPath, attributes);
    return hr;
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

// Component step k: executable, shortcut, registrations. False when a held
// file is to be tried again at the next tick: the step goes on from there,
// and what it did before is not done again.
static bool InstallComponent(UINT32 k, WCHAR *iconString, WCHAR *commandString)
{
    SetupState *state = setupState;
    HWND components = state->pages[ComponentsPage];
    if (IsDlgButtonChecked(components, IDC_FIRST_COMPONENT + k) != BST_CHECKED)
        return true;

    const WCHAR *name = state->componentNames[k];
    bool again = state->heldPart != NothingHeld;
    bool shortcutAgain = state->heldPart == ShortcutHeld;
    if (!again) {
        SetDlgItemTextW(state->pages[ProgressPage], IDC_STATUS, name);
        EnsureDirectories(state->installDir);
    }
    Append(state->installDir, PathBufferUnits, name);
    Append(state->installDir, PathBufferUnits, L".exe");
    if (!again)
        AddDetailLine(state->installDir);

    if (!shortcutAgain) {
        const PayloadEntry &entry = state->entries[k + 1];
        FILETIME time;
        time.dwLowDateTime = entry.lastWriteTime.dwLowDateTime;
        time.dwHighDateTime = entry.lastWriteTime.dwHighDateTime;
        FileOutcome outcome = WriteEntryFile(state->installDir, entry, &time);
        if (outcome == FileTryAgain)
            return false;
        if (outcome == FileFailed) {
            ReportWriteFailure();
            return true;
        }
    }

    if (IsDlgButtonChecked(components, IDC_SHORTCUTS) == BST_CHECKED) {
        if (!shortcutAgain)
            EnsureDirectories(state->shortcutDir);
        Append(state->shortcutDir, PathBufferUnits, name);
        Append(state->shortcutDir, PathBufferUnits, L".lnk");
        if (!shortcutAgain)
            AddDetailLine(state->shortcutDir);
        HRESULT hr = SaveShortcut(state->installDir, state->shortcutDir);
        if (IsHeldLink(hr, state->shortcutDir) && KeepTrying(ShortcutHeld))
            return false;
        state->heldPart = NothingHeld;
        if (hr != S_OK)
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
    return true;
}

// Step 8: the recorded folder, the uninstaller and its uninstall entry.
// False when the uninstaller is to be tried again at the next tick.
static bool FinishInstallation(WCHAR *iconString, WCHAR *commandString, size_t folderLength)
{
    SetupState *state = setupState;
    if (state->requiredBytes != 0) {
        bool again = state->heldPart != NothingHeld;
        if (!again)
            state->folderRecordFailed = !WriteRegistryGroup(InstallFolderRecord, iconString, commandString);
        bool registered = !state->folderRecordFailed;

        Append(state->installDir, PathBufferUnits, state->componentNames[LastInstallStep]);
        Append(state->installDir, PathBufferUnits, L".exe");
        state->installDir[folderLength] = L'u';  // "uninstall.exe"; the key keeps "Uninstall"
        if (!again)
            AddDetailLine(state->installDir);

        FileOutcome outcome = WriteEntryFile(state->installDir, state->entries[10], nullptr);
        if (outcome == FileTryAgain)
            return false;
        if (outcome == FileFailed) {
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
    return true;
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

    bool done;
    if (step < LastInstallStep) {
        done = InstallComponent(step, iconString, commandString);
        if (done)
            PostMessageW(state->mainWindow, StepMessage, step + 1, 0);
    } else {
        done = FinishInstallation(iconString, commandString, folderLength);
    }

    state->installDir[folderLength] = 0;
    state->shortcutDir[shortcutLength] = 0;
    if (!done) {
        state->pendingStep = step + 1;  // the same step, at the next tick; the bar moves once it is done
        return;
    }
    SendDlgItemMessageW(state->pages[ProgressPage], IDC_PROGRESS_BAR, PBM_SETPOS, (step * 100 + 100) / 9, 0);
}
