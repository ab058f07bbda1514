// The destination page: folder picker and space figures.
#include "wizard.h"

#include <objbase.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include "install.h"
#include "resource.h"
#include "setup.h"

int CALLBACK BrowseCallback(HWND picker, UINT message, LPARAM, LPARAM data)
{
    const WCHAR *folder = reinterpret_cast<const WCHAR *>(data);
    if (message == BFFM_INITIALIZED && folder && folder[0])
        SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder));
    return 0;
}

void BrowseForDestination()
{
    SetupState *state = setupState;
    WCHAR displayName[MAX_PATH];
    memset(displayName, 0, sizeof(displayName));

    BROWSEINFOW request;
    memset(&request, 0, sizeof(request));
    request.hwndOwner = state->pages[state->currentPage];
    request.pidlRoot = nullptr;
    request.pszDisplayName = displayName;
    request.lpszTitle = L"Select a destination folder for Orbelune App Pack.";
    request.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    request.lpfn = BrowseCallback;
    request.lParam = reinterpret_cast<LPARAM>(state->browseDir);
    request.iImage = 0;

    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&request);
    if (!item)
        return;
    // Converted aside first, so that a pick without a file-system path
    // leaves the folder that the next Browse preselects as it was.
    WCHAR picked[MAX_PATH];
    memset(picked, 0, sizeof(picked));
    BOOL converted = SHGetPathFromIDListW(item, picked);
    CoTaskMemFree(item);
    if (!converted || !picked[0])
        return;
    memcpy(state->browseDir, picked, sizeof(picked));

    memcpy(state->installDir, state->browseDir, sizeof(state->installDir));
    AppendSeparator(state->installDir);
    SetDlgItemTextW(state->pages[DirectoryPage], IDC_FOLDER_EDIT, state->installDir);
    UpdateSpaceInfo();
}

UINT64 QueryAvailableBytes(const WCHAR *installDir)
{
    // The drive root: the first three units (drive letter, colon, backslash).
    WCHAR root[4] = {};
    for (int i = 0; i < 3 && installDir[i]; i++)
        root[i] = installDir[i];
    ULARGE_INTEGER available;
    if (GetDiskFreeSpaceExW(root, &available, nullptr, nullptr))
        return available.QuadPart;
    if (GetDiskFreeSpaceExW(installDir, &available, nullptr, nullptr))
        return available.QuadPart;
    return UndeterminedSpace;
}

void UpdateSpaceInfo()
{
    SetupState *state = setupState;
    HWND components = state->pages[ComponentsPage];
    HWND directory = state->pages[DirectoryPage];

    state->requiredBytes = 0;
    for (UINT32 k = 0; k < ComponentCount; k++) {
        if (IsDlgButtonChecked(components, IDC_FIRST_COMPONENT + k) == BST_CHECKED)
            state->requiredBytes += state->entries[k + 1].size;
    }
    if (state->requiredBytes != 0)
        state->requiredBytes += state->entries[10].size;

    char *line = reinterpret_cast<char *>(state->scratch);
    FormatSpaceRequired(line, state->requiredBytes);
    SetDlgItemTextA(directory, IDC_SPACE_REQUIRED, line);

    UINT64 available = QueryAvailableBytes(state->installDir);
    FormatSpaceAvailable(line, available);
    SetDlgItemTextA(directory, IDC_SPACE_AVAILABLE, line);

    // A folder in which the pack's longest file name would reach MAX_PATH is
    // refused as a folder without room is.
    bool fits = InstallFits(state->requiredBytes, available) && wcslen(state->installDir) <= InstallDirMaxUnits;
    EnableWindow(GetDlgItem(directory, IDC_FORWARD), fits);
}
