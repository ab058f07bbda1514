// Page creation, page switching and the shared page procedure.
#include "wizard.h"

#include <string.h>

#include "resource.h"
#include "setup.h"

static const COLORREF DetailsBackground = RGB(0x02, 0x26, 0x09);
static const COLORREF DetailsText = RGB(0x06, 0xB0, 0x25);

static const char *const HeaderTexts[3] = {
    "Please review the license agreement before installing Orbelune App Pack. If you accept all terms of the "
    "agreement, click I Agree.",
    "Check the components you want to install and uncheck the components you don't want to install. Click Next "
    "to continue.",
    "Setup will install Orbelune App Pack in the following folder. To install in a different folder, click Browse "
    "and select another folder. Click Install to start the installation.",
};
static const int HeaderIds[3] = {IDC_LICENSE_HEADER, IDC_COMPONENTS_HEADER, IDC_DIRECTORY_HEADER};
static const char *const ForwardTexts[PageCount] = {"I &Agree", "&Next >", "&Install", "&Close"};

bool CreateWizardPages(HWND mainWindow)
{
    SetupState *state = setupState;
    for (UINT32 i = 0; i < PageCount; i++) {
        state->pages[i] = CreateDialogParamW(state->instance, MAKEINTRESOURCEW(IDD_LICENSE + i), mainWindow,
                                             PageDialogProc, 0);
        if (!state->pages[i])
            return false;
    }
    state->detailsList = GetDlgItem(state->pages[ProgressPage], IDC_DETAILS_LIST);
    SetEditMargins(GetDlgItem(state->pages[LicensePage], IDC_LICENSE_EDIT), 6, 6);
    SetWindowTextW(mainWindow, L"Orbelune App Pack (Single User)");

    for (int i = 0; i < 3; i++)
        SetDlgItemTextA(state->pages[i], HeaderIds[i], HeaderTexts[i]);
    SetDlgItemTextA(state->pages[DirectoryPage], IDC_DESTINATION_GROUP, "Destination Folder");
    for (UINT32 i = 0; i < PageCount; i++)
        SetDlgItemTextA(state->pages[i], IDC_FORWARD, ForwardTexts[i]);
    for (UINT32 i = 0; i < 3; i++)
        SetDlgItemTextA(state->pages[i], IDC_CANCEL, "Cancel");
    SetDlgItemTextA(state->pages[DirectoryPage], IDC_BROWSE, "B&rowse...");
    SetDlgItemTextA(state->pages[ComponentsPage], IDC_BACK, "< &Back");
    SetDlgItemTextA(state->pages[DirectoryPage], IDC_BACK, "< &Back");
    SetDlgItemTextA(state->pages[ProgressPage], IDC_SHOW_DETAILS, "Show &Details");

    for (UINT32 k = 0; k < ComponentCount; k++) {
        SetDlgItemTextW(state->pages[ComponentsPage], IDC_FIRST_COMPONENT + k, state->componentNames[k]);
        CheckDlgButton(state->pages[ComponentsPage], IDC_FIRST_COMPONENT + k, BST_CHECKED);
    }
    SetDlgItemTextA(state->pages[ComponentsPage], IDC_SHORTCUTS, "Start Menu Shortcuts");
    CheckDlgButton(state->pages[ComponentsPage], IDC_SHORTCUTS, BST_CHECKED);
    SetDlgItemTextW(state->pages[DirectoryPage], IDC_FOLDER_EDIT, state->installDir);

    // Screen readers name an edit after the static text created before it,
    // which is the page's icon in the templates: the header goes just before
    // each read-only edit, so that neither is read as unnamed. Only statics
    // move, so the tab order stays as the templates give it.
    static const int LabelledEdits[2][3] = {{LicensePage, IDC_LICENSE_HEADER, IDC_LICENSE_EDIT},
                                            {DirectoryPage, IDC_DIRECTORY_HEADER, IDC_FOLDER_EDIT}};
    for (const int *labelled : LabelledEdits) {
        HWND page = state->pages[labelled[0]];
        SetWindowPos(GetDlgItem(page, labelled[1]), GetWindow(GetDlgItem(page, labelled[2]), GW_HWNDPREV), 0, 0, 0,
                     0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }

    // The license is shown as stored, cut after 511 bytes, always terminated.
    memset(state->scratch, 0, sizeof(state->scratch));
    const PayloadEntry &license = state->entries[0];
    UINT32 licenseBytes = license.size < PayloadLicenseLimit ? license.size : PayloadLicenseLimit;
    if (state->payload.data)
        memcpy(state->scratch, state->payload.data + license.offset, licenseBytes);
    SetDlgItemTextA(state->pages[LicensePage], IDC_LICENSE_EDIT, reinterpret_cast<char *>(state->scratch));

    state->appIcon = LoadIconW(state->instance, MAKEINTRESOURCEW(IDI_APP));
    SendMessageW(mainWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state->appIcon));
    SendMessageW(mainWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state->appIcon));

    if (!SetTimer(mainWindow, StepTimerId, StepTimerPeriodMs, nullptr))
        return false;

    RECT work = {}, window = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(mainWindow, &window);
    int left = work.left + ((work.right - work.left) - (window.right - window.left)) / 2;
    int top = work.top + ((work.bottom - work.top) - (window.bottom - window.top)) / 2;
    SetWindowPos(mainWindow, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    ShowPage(LicensePage);
    ShowWindow(mainWindow, SW_SHOWNORMAL);
    return true;
}

void ShowPage(UINT32 index)
{
    SetupState *state = setupState;
    if (index >= PageCount) {
        PostMessageW(state->mainWindow, WM_CLOSE, 0, 0);
        return;
    }
    state->currentPage = index;
    for (UINT32 i = 0; i < PageCount; i++)
        ShowWindow(state->pages[i], i == index ? SW_SHOW : SW_HIDE);

    HWND page = state->pages[index];
    SetFocus(page);
    PostMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(page, IDC_FORWARD)), TRUE);

    if (index == DirectoryPage)
        UpdateSpaceInfo();
    if (index == ProgressPage) {
        state->phase = Installing;
        PostMessageW(state->mainWindow, StepMessage, 0, 0);
    }
}

static void ShowDetailsList()
{
    SetupState *state = setupState;
    SendMessageW(state->detailsList, LB_SETHORIZONTALEXTENT, GetSystemMetrics(SM_CXSCREEN) / 2, 0);
    HWND button = GetDlgItem(state->pages[ProgressPage], IDC_SHOW_DETAILS);
    // The list takes the focus in the button's place: a screen reader names
    // it by its window text, so it carries the button's.
    char name[32];
    GetWindowTextA(button, name, sizeof(name));
    SetWindowTextA(state->detailsList, name);
    ShowWindow(button, SW_HIDE);
    ShowWindow(state->detailsList, SW_SHOW);
    SetFocus(state->detailsList);
}

INT_PTR CALLBACK PageDialogProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    SetupState *state = setupState;
    if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
        case IDC_FORWARD:
            ShowPage(state->currentPage + 1);
            return TRUE;
        case IDC_CANCEL:
            PostMessageW(state->mainWindow, WM_CLOSE, 0, 0);
            return TRUE;
        case IDC_BACK:
            ShowPage(state->currentPage - 1);
            return TRUE;
        case IDC_BROWSE:
            BrowseForDestination();
            return TRUE;
        case IDC_SHOW_DETAILS:
            ShowDetailsList();
            return TRUE;
        }
        return FALSE;
    }
    if (message == WM_CTLCOLORLISTBOX && reinterpret_cast<HWND>(lParam) == state->detailsList) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetDCBrushColor(dc, DetailsBackground);
        SetBkColor(dc, DetailsBackground);
        SetTextColor(dc, DetailsText);
        return reinterpret_cast<INT_PTR>(GetStockObject(DC_BRUSH));
    }
    return FALSE;
}
