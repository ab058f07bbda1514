// The wizard pages driven through real messages: what start-up shows, page
// navigation by buttons and keys, close requests, and the details list.
#include <windows.h>

#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include <gtest/gtest.h>

#include "resource.h"
#include "winutil.h"
#include "wizard.h"

namespace {

std::wstring WindowTextW(HWND window)
{
    WCHAR text[1024] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    return text;
}

std::string WindowTextA(HWND window)
{
    char text[2048] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

// Dispatches as the setup's loop does until the quit message arrives.
bool PumpUntilQuit(DWORD timeoutMs, WPARAM *code)
{
    DWORD start = GetTickCount();
    MSG message;
    for (;;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                *code = message.wParam;
                return true;
            }
            HWND page = setupState->pages[setupState->currentPage];
            if (!IsWindow(page) || !IsDialogMessageW(page, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// A key press as the message loop receives it: queued for the control that
// has the focus, then offered to the current page's dialog handling.
void PressKey(WPARAM key)
{
    HWND focus = GetFocus();
    ASSERT_NE(focus, nullptr) << "no control has the focus";
    PostMessageW(focus, WM_KEYDOWN, key, 1);
    PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
    PumpFor(50);
}

// Removes a close request that the code under test posted to MainDialog;
// true if there was one.
bool TakeCloseRequest(HWND mainWindow)
{
    MSG message;
    return PeekMessageW(&message, mainWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE;
}

// Exactly page index is visible and current.
void ExpectOnlyPageVisible(InProcessSetup &setup, UINT32 index)
{
    SCOPED_TRACE(testing::Message() << "page " << index);
    EXPECT_EQ(setup.State().currentPage, index);
    for (UINT32 i = 0; i < PageCount; i++)
        EXPECT_EQ(IsWindowVisible(setup.Page(i)) != FALSE, i == index) << "visibility of page " << i;
}

// The focus reaches the page's forward button once the posted move is handled.
void ExpectForwardFocused(InProcessSetup &setup, UINT32 index)
{
    SCOPED_TRACE(testing::Message() << "page " << index);
    HWND forward = setup.Control(index, IDC_FORWARD);
    EXPECT_TRUE(PumpUntil([&] { return GetFocus() == forward; }, 2000))
        << "focus on the forward button; it is on id " << GetDlgCtrlID(GetFocus());
}

class WizardPages : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        ASSERT_TRUE(setup.Start()) << "MainDialog and its pages";
    }
    void TearDown() override { CleanUserState(); }

    // Stops the step timer, so that no install step can run even if the
    // progress page is reached.
    void StopStepTimer() { KillTimer(setup.State().mainWindow, StepTimerId); }

    InProcessSetup setup;
};

}  // namespace

TEST_F(WizardPages, StartUpShowsTheLicensePageInACentredWindow)
{
    SetupState &state = setup.State();
    HWND main = state.mainWindow;
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_EQ(WindowTextW(main), L"Orbelune App Pack (Single User)");
    EXPECT_EQ(state.phase, static_cast<UINT32>(Wizard));
    ExpectOnlyPageVisible(setup, LicensePage);
    ExpectForwardFocused(setup, LicensePage);

    RECT work = {}, window = {};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    ASSERT_TRUE(GetWindowRect(main, &window));
    LONG width = window.right - window.left, height = window.bottom - window.top;
    EXPECT_EQ(window.left, work.left + (work.right - work.left - width) / 2) << "centred horizontally";
    EXPECT_EQ(window.top, work.top + (work.bottom - work.top - height) / 2) << "centred vertically";

    // The pages lie on top of each other and fill the client area exactly:
    // 280 x 162 dialog units.
    RECT client = {};
    GetClientRect(main, &client);
    for (UINT32 i = 0; i < PageCount; i++) {
        SCOPED_TRACE(testing::Message() << "page " << i);
        HWND page = setup.Page(i);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(GetParent(page), main);
        RECT size = {0, 0, 280, 162};
        MapDialogRect(page, &size);
        RECT placed = {};
        GetWindowRect(page, &placed);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&placed), 2);
        EXPECT_EQ(placed.left, 0);
        EXPECT_EQ(placed.top, 0);
        EXPECT_EQ(placed.right, size.right);
        EXPECT_EQ(placed.bottom, size.bottom);
        EXPECT_EQ(client.right, size.right) << "client width";
        EXPECT_EQ(client.bottom, size.bottom) << "client height";

        // The icon control (id -1) comes first in every template.
        HWND iconControl = GetWindow(page, GW_CHILD);
        ASSERT_NE(iconControl, nullptr) << "the icon control";
        EXPECT_EQ(GetWindowLongW(iconControl, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
        EXPECT_NE(SendMessageW(iconControl, STM_GETICON, 0, 0), 0) << "the icon control shows an icon";
    }

    ASSERT_NE(state.appIcon, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(main, WM_GETICON, ICON_SMALL, 0)), state.appIcon);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(main, WM_GETICON, ICON_BIG, 0)), state.appIcon);
}

TEST_F(WizardPages, LicenseEditShowsTheLicenseEntryAsStored)
{
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(L"payload\\license.txt", path, ARRAYSIZE(path)));
    BYTE *license = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(ReadWholeFile(path, &license, &size)) << "the built payload's license";
    std::string expected(reinterpret_cast<char *>(license), size < 511 ? size : 511);
    free(license);

    EXPECT_EQ(setup.State().entries[0].size, size) << "payload entry 0 is the license";
    EXPECT_NE(expected.find("\r\n"), std::string::npos) << "the license is stored with CR LF";
    EXPECT_EQ(WindowTextA(setup.Control(LicensePage, IDC_LICENSE_EDIT)), expected);
}

TEST_F(WizardPages, TextsAndCheckBoxesAreFilledIn)
{
    struct Text {
        UINT32 page;
        int id;
        const char *text;
    } texts[] = {
        {LicensePage, IDC_LICENSE_HEADER,
         "Please review the license agreement before installing Orbelune App Pack. If you accept all terms of the "
         "agreement, click I Agree."},
        {ComponentsPage, IDC_COMPONENTS_HEADER,
         "Check the components you want to install and uncheck the components you don't want to install. Click "
         "Next to continue."},
        {DirectoryPage, IDC_DIRECTORY_HEADER,
         "Setup will install Orbelune App Pack in the following folder. To install in a different folder, click "
         "Browse and select another folder. Click Install to start the installation."},
        {DirectoryPage, IDC_DESTINATION_GROUP, "Destination Folder"},
        {LicensePage, IDC_FORWARD, "I &Agree"},
        {ComponentsPage, IDC_FORWARD, "&Next >"},
        {DirectoryPage, IDC_FORWARD, "&Install"},
        {ProgressPage, IDC_FORWARD, "&Close"},
        {LicensePage, IDC_CANCEL, "Cancel"},
        {ComponentsPage, IDC_CANCEL, "Cancel"},
        {DirectoryPage, IDC_CANCEL, "Cancel"},
        {DirectoryPage, IDC_BROWSE, "B&rowse..."},
        {ComponentsPage, IDC_BACK, "< &Back"},
        {DirectoryPage, IDC_BACK, "< &Back"},
        {ProgressPage, IDC_SHOW_DETAILS, "Show &Details"},
        {ComponentsPage, IDC_SHORTCUTS, "Start Menu Shortcuts"},
        {ProgressPage, IDC_STATUS, ""},
    };
    for (const Text &t : texts) {
        SCOPED_TRACE(testing::Message() << "page " << t.page << " control " << t.id);
        HWND control = setup.Control(t.page, t.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(WindowTextA(control), t.text);
    }
    EXPECT_EQ(setup.Control(LicensePage, IDC_BACK), nullptr) << "the license page has no Back button";
    EXPECT_EQ(setup.Control(ProgressPage, IDC_CANCEL), nullptr) << "the progress page has no Cancel button";
    EXPECT_EQ(setup.Control(ProgressPage, IDC_BACK), nullptr) << "the progress page has no Back button";

    static const WCHAR *const names[ComponentCount] = {L"Vantok",     L"Brindlecap", L"Ostravelind", L"Zafrin",
                                                       L"Kestrefond", L"Quillmarsh", L"Cryvane",     L"Drumlake"};
    HWND components = setup.Page(ComponentsPage);
    for (int k = 0; k < ComponentCount; k++) {
        SCOPED_TRACE(testing::Message() << "component " << k);
        HWND box = GetDlgItem(components, IDC_FIRST_COMPONENT + k);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(WindowTextW(box), names[k]);
        EXPECT_EQ(IsDlgButtonChecked(components, IDC_FIRST_COMPONENT + k), static_cast<UINT>(BST_CHECKED));
        EXPECT_TRUE(GetWindowLongW(box, GWL_STYLE) & WS_VISIBLE) << "shown on its page";
    }
    EXPECT_EQ(IsDlgButtonChecked(components, IDC_SHORTCUTS), static_cast<UINT>(BST_CHECKED)) << "shortcuts box";

    HWND spare = GetDlgItem(components, IDC_SPARE_BOX);
    ASSERT_NE(spare, nullptr);
    EXPECT_FALSE(GetWindowLongW(spare, GWL_STYLE) & WS_VISIBLE) << "box 1014 stays hidden";
    EXPECT_FALSE(IsWindowEnabled(spare)) << "box 1014 stays disabled";
    EXPECT_EQ(WindowTextW(spare), L"");
    EXPECT_EQ(IsDlgButtonChecked(components, IDC_SPARE_BOX), static_cast<UINT>(BST_UNCHECKED));

    // The default install folder, with its backslash, in the folder edit.
    WCHAR appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    std::wstring expectedDir = std::wstring(appData) + L"\\Orbelune\\";
    EXPECT_EQ(std::wstring(setup.State().installDir), expectedDir);
    EXPECT_EQ(WindowTextW(setup.Control(DirectoryPage, IDC_FOLDER_EDIT)), expectedDir);
}

TEST_F(WizardPages, ForwardAndBackMoveOnePageAndFocusTheForwardButton)
{
    Click(setup.Control(LicensePage, IDC_FORWARD));
    ExpectOnlyPageVisible(setup, ComponentsPage);
    ExpectForwardFocused(setup, ComponentsPage);

    Click(setup.Control(ComponentsPage, IDC_BACK));
    ExpectOnlyPageVisible(setup, LicensePage);
    ExpectForwardFocused(setup, LicensePage);

    Click(setup.Control(LicensePage, IDC_FORWARD));
    Click(setup.Control(ComponentsPage, IDC_FORWARD));
    ExpectOnlyPageVisible(setup, DirectoryPage);
    ExpectForwardFocused(setup, DirectoryPage);
    EXPECT_NE(WindowTextA(setup.Control(DirectoryPage, IDC_SPACE_REQUIRED)), "") << "space figures filled in";

    Click(setup.Control(DirectoryPage, IDC_BACK));
    ExpectOnlyPageVisible(setup, ComponentsPage);
    ExpectForwardFocused(setup, ComponentsPage);
    EXPECT_EQ(setup.State().phase, static_cast<UINT32>(Wizard));
    EXPECT_TRUE(IsWindow(setup.State().mainWindow));
}

TEST(WizardCancel, CancelOnPagesZeroToTwoEndsTheRunAtOnceWithoutWriting)
{
    for (UINT32 page = LicensePage; page <= DirectoryPage; page++) {
        SCOPED_TRACE(testing::Message() << "Cancel on page " << page);
        CleanUserState();
        {
            InProcessSetup setup;
            ASSERT_TRUE(setup.Start());
            for (UINT32 i = 0; i < page; i++)
                Click(setup.Control(i, IDC_FORWARD));
            ASSERT_EQ(setup.State().currentPage, page);

            // Not Click(): its pump would swallow the quit message.
            SendMessageW(setup.Control(page, IDC_CANCEL), BM_CLICK, 0, 0);
            WPARAM code = 99;
            ASSERT_TRUE(PumpUntilQuit(2000, &code)) << "the quit message";
            EXPECT_EQ(code, 0u) << "quit code";
            EXPECT_FALSE(IsWindow(setup.State().mainWindow)) << "MainDialog destroyed";
            EXPECT_EQ(setup.State().phase, static_cast<UINT32>(Closing));
        }
        EXPECT_FALSE(UserKeyExists(L"Software\\Orbelune")) << "nothing written to the registry";
        EXPECT_FALSE(AppDataFolderExists()) << "no install folder created";
    }
    CleanUserState();
}

TEST_F(WizardPages, EnterPressesTheDefaultButtonAndEscapeCancels)
{
    ExpectForwardFocused(setup, LicensePage);
    PressKey(VK_RETURN);
    ExpectOnlyPageVisible(setup, ComponentsPage);

    // Enter on a check box still presses the page's default button and leaves
    // the box as it was.
    HWND box = setup.Control(ComponentsPage, IDC_FIRST_COMPONENT + 2);
    SetFocus(box);
    ASSERT_EQ(GetFocus(), box);
    PressKey(VK_RETURN);
    ExpectOnlyPageVisible(setup, DirectoryPage);
    EXPECT_EQ(IsDlgButtonChecked(setup.Page(ComponentsPage), IDC_FIRST_COMPONENT + 2),
              static_cast<UINT>(BST_CHECKED));

    ExpectForwardFocused(setup, DirectoryPage);
    HWND focus = GetFocus();
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 1);
    WPARAM code = 99;
    ASSERT_TRUE(PumpUntilQuit(2000, &code)) << "Escape on the destination page closes";
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(IsWindow(setup.State().mainWindow));
    EXPECT_FALSE(UserKeyExists(L"Software\\Orbelune"));
    EXPECT_FALSE(AppDataFolderExists());
}

TEST_F(WizardPages, PageIndexOutOfRangeRequestsCloseAndKeepsThePage)
{
    SetupState &state = setup.State();
    Click(setup.Control(LicensePage, IDC_FORWARD));
    ASSERT_EQ(state.currentPage, ComponentsPage);
    ASSERT_FALSE(TakeCloseRequest(state.mainWindow)) << "no close request queued yet";

    const UINT32 indexes[] = {4, 4294967295u};
    for (UINT32 index : indexes) {
        SCOPED_TRACE(testing::Message() << "ShowPage(" << index << ")");
        ShowPage(index);
        EXPECT_TRUE(TakeCloseRequest(state.mainWindow)) << "WM_CLOSE posted to MainDialog";
        ExpectOnlyPageVisible(setup, ComponentsPage);
    }

    // Command 3 on the license page, which has no Back button, asks for page
    // 0 - 1 = 4294967295: a close request as well. (The dialog manager does
    // not pass on a dialog procedure's answer to WM_COMMAND, so the procedure
    // is called directly to see it.)
    Click(setup.Control(ComponentsPage, IDC_BACK));
    ASSERT_EQ(state.currentPage, LicensePage);
    EXPECT_EQ(PageDialogProc(setup.Page(LicensePage), WM_COMMAND, MAKEWPARAM(IDC_BACK, BN_CLICKED), 0), TRUE);
    EXPECT_TRUE(TakeCloseRequest(state.mainWindow)) << "command 3 on page 0";
    ExpectOnlyPageVisible(setup, LicensePage);

    // Commands of the check boxes and edits are not handled.
    EXPECT_EQ(PageDialogProc(setup.Page(ComponentsPage), WM_COMMAND, MAKEWPARAM(IDC_FIRST_COMPONENT, BN_CLICKED), 0),
              FALSE);
    EXPECT_EQ(PageDialogProc(setup.Page(LicensePage), WM_COMMAND, MAKEWPARAM(IDC_LICENSE_EDIT, EN_SETFOCUS), 0),
              FALSE);
    EXPECT_EQ(state.currentPage, LicensePage);
    EXPECT_FALSE(TakeCloseRequest(state.mainWindow));
    EXPECT_TRUE(IsWindow(state.mainWindow));
}

TEST_F(WizardPages, ShowDetailsReplacesTheButtonWithTheList)
{
    SetupState &state = setup.State();
    StopStepTimer();
    Click(setup.Control(LicensePage, IDC_FORWARD));
    Click(setup.Control(ComponentsPage, IDC_FORWARD));
    HWND install = setup.Control(DirectoryPage, IDC_FORWARD);
    ASSERT_TRUE(IsWindowEnabled(install)) << "everything selected and the volume has room";
    Click(install);

    ExpectOnlyPageVisible(setup, ProgressPage);
    EXPECT_EQ(state.phase, static_cast<UINT32>(Installing));
    EXPECT_TRUE(PumpUntil([&] { return state.pendingStep == 1; }, 1000)) << "step 0 is due";
    ExpectForwardFocused(setup, ProgressPage);

    HWND button = setup.Control(ProgressPage, IDC_SHOW_DETAILS);
    HWND list = setup.Control(ProgressPage, IDC_DETAILS_LIST);
    ASSERT_EQ(state.detailsList, list);
    EXPECT_FALSE(IsWindowVisible(list)) << "the list starts hidden";
    EXPECT_TRUE(IsWindowVisible(button));

    Click(button);
    EXPECT_FALSE(IsWindowVisible(button)) << "the button is hidden";
    EXPECT_TRUE(IsWindowVisible(list)) << "the list is shown";
    EXPECT_EQ(GetFocus(), list) << "the list has the focus";
    EXPECT_EQ(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), GetSystemMetrics(SM_CXSCREEN) / 2);

    // Escape acts as a close request on the progress page too; it is ignored
    // while installing.
    PressKey(VK_ESCAPE);
    EXPECT_TRUE(IsWindow(state.mainWindow)) << "no close while installing";
    EXPECT_EQ(state.phase, static_cast<UINT32>(Installing));
    EXPECT_FALSE(UserKeyExists(L"Software\\Orbelune")) << "no install step ran";
}

TEST_F(WizardPages, DetailsListIsDrawnGreenOnDarkGreen)
{
    SetupState &state = setup.State();
    HWND list = state.detailsList;
    ASSERT_NE(list, nullptr);
    HDC dc = GetDC(list);
    ASSERT_NE(dc, nullptr);
    SetDCBrushColor(dc, RGB(1, 2, 3));
    SetBkColor(dc, RGB(4, 5, 6));
    SetTextColor(dc, RGB(7, 8, 9));

    // A list box that is not the details list: the page leaves it alone.
    HWND other = CreateWindowW(L"ListBox", L"", WS_CHILD, 0, 0, 50, 50, setup.Page(ProgressPage), nullptr,
                               nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(PageDialogProc(setup.Page(ProgressPage), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(dc),
                             reinterpret_cast<LPARAM>(other)),
              FALSE);
    EXPECT_EQ(GetDCBrushColor(dc), RGB(1, 2, 3));
    EXPECT_EQ(GetBkColor(dc), RGB(4, 5, 6));
    EXPECT_EQ(GetTextColor(dc), RGB(7, 8, 9));
    DestroyWindow(other);

    // Through the page's dialog handling the brush is returned as is.
    LRESULT brush = SendMessageW(setup.Page(ProgressPage), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(brush), GetStockObject(DC_BRUSH));
    EXPECT_EQ(GetDCBrushColor(dc), static_cast<COLORREF>(0x00092602)) << "brush: dark green";
    EXPECT_EQ(GetBkColor(dc), static_cast<COLORREF>(0x00092602)) << "text background: dark green";
    EXPECT_EQ(GetTextColor(dc), static_cast<COLORREF>(0x0025B006)) << "text: green";
    ReleaseDC(list, dc);
}
