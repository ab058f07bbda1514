// The wizard: the four pages over MainDialog, navigation, the destination
// page's folder picker and space figures.
#pragma once
#include <windows.h>

#include "format.h"

// Builds the pages, fills their texts, starts the step timer, centres and
// shows mainWindow. False when a page or the timer cannot be created.
bool CreateWizardPages(HWND mainWindow);

// Shows page index (0 to 3); any other index posts a close request.
void ShowPage(UINT32 index);

// The dialog procedure of all four pages; acts on currentPage.
INT_PTR CALLBACK PageDialogProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Lets the user pick the install folder ("B&rowse...").
void BrowseForDestination();

// Preselects browseDir when the picker opens. Always returns 0.
int CALLBACK BrowseCallback(HWND picker, UINT message, LPARAM parameter, LPARAM data);

// Sums the selected sizes into requiredBytes, shows both space lines and
// enables "&Install" when something is selected and fits, and installDir is
// at most InstallDirMaxUnits long.
void UpdateSpaceInfo();

// Free bytes for the install folder: its drive root first, then the folder
// itself; UndeterminedSpace when neither answers.
UINT64 QueryAvailableBytes(const WCHAR *installDir);
