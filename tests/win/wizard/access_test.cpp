// What people who do not use a mouse, use a screen reader or a high-DPI
// screen meet on the wizard pages: each page read through Microsoft Active
// Accessibility, the mnemonics of each page, and static texts that fit their
// controls at 96, 144 and 192 DPI.
#include <windows.h>

#include <oleacc.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resource.h"
#include "winutil.h"
#include "wizard.h"

namespace {

// MinGW's static import library gives a wrong address for IID_IAccessible.
const GUID AccessibleIid = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

const WCHAR ExpectedDpiVariable[] = L"ORBELUNE_EXPECTED_DPI";

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

std::wstring ClassOf(HWND window)
{
    WCHAR name[64] = L"";
    GetClassNameW(window, name, ARRAYSIZE(name));
    return name;
}

// What a screen reader gets from a control's client object.
struct Reading {
    bool found = false;
    LONG role = -1;
    LONG state = 0;
    std::wstring name, value;
};

Reading Read(HWND control)
{
    Reading reading;
    IAccessible *object = nullptr;
    if (FAILED(AccessibleObjectFromWindow(control, OBJID_CLIENT, AccessibleIid, reinterpret_cast<void **>(&object))) ||
        !object)
        return reading;
    reading.found = true;
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR text = nullptr;
    if (object->get_accName(self, &text) == S_OK && text)
        reading.name = text;
    SysFreeString(text);
    text = nullptr;
    if (object->get_accValue(self, &text) == S_OK && text)
        reading.value = text;
    SysFreeString(text);
    VARIANT result;
    VariantInit(&result);
    if (object->get_accRole(self, &result) == S_OK && result.vt == VT_I4)
        reading.role = result.lVal;
    VariantInit(&result);
    if (object->get_accState(self, &result) == S_OK && result.vt == VT_I4)
        reading.state = result.lVal;
    object->Release();
    return reading;
}

// Controls that can take the focus: visible and enabled, and a tab stop or
// an edit (read-only edits take the focus when clicked).
std::vector<HWND> FocusableControls(HWND page)
{
    std::vector<HWND> controls;
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        LONG style = GetWindowLongW(c, GWL_STYLE);
        if (IsWindowVisible(c) && IsWindowEnabled(c) && ((style & WS_TABSTOP) || ClassOf(c) == L"Edit"))
            controls.push_back(c);
    }
    return controls;
}

// Brings the wizard to page index through its buttons; on the progress page
// the details list is shown, so that it can take the focus.
void GoToPage(InProcessSetup &setup, UINT32 index)
{
    while (setup.State().currentPage < index)
        Click(setup.Control(setup.State().currentPage, IDC_FORWARD));
    if (index == ProgressPage)
        Click(setup.Control(ProgressPage, IDC_SHOW_DETAILS));
}

class WizardAccess : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        ASSERT_TRUE(setup.Start());
        KillTimer(setup.State().mainWindow, StepTimerId);  // no install step runs
    }
    void TearDown() override { CleanUserState(); }
    InProcessSetup setup;
};

}  // namespace

TEST_F(WizardAccess, ScreenReadersGetANameForEveryFocusableControlAndTheEditsTexts)
{
    int editsRead = 0;
    for (UINT32 page = 0; page < PageCount; page++) {
        GoToPage(setup, page);
        ASSERT_EQ(setup.State().currentPage, page);
        std::vector<HWND> controls = FocusableControls(setup.Page(page));
        EXPECT_GE(controls.size(), 2u) << "page " << page;
        for (HWND control : controls) {
            int id = GetDlgCtrlID(control);
            Reading r = Read(control);
            printf("[ MSAA     ] page %u id %d role %ld state 0x%lx name \"%s\" value \"%.40s\"\n", page, id, r.role,
                   r.state, Narrow(r.name).c_str(), Narrow(r.value).c_str());
            SCOPED_TRACE(testing::Message() << "page " << page << " control " << id);
            ASSERT_TRUE(r.found) << "no accessible object";
            EXPECT_NE(r.name, L"") << "a focusable control without a name";
            EXPECT_TRUE(r.state & STATE_SYSTEM_FOCUSABLE) << "state 0x" << std::hex << r.state;

            std::wstring cls = ClassOf(control);
            LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
            if (cls == L"Edit") {
                // The license text and the folder, as the edits hold them
                // (the pages' tests check those texts): a screen reader
                // must not read either page as blank.
                WCHAR text[600] = L"";
                GetWindowTextW(control, text, ARRAYSIZE(text));
                EXPECT_GT(wcslen(text), 10u) << "the edit's text";
                EXPECT_EQ(r.value, text) << "the edit's value is its text";
                EXPECT_EQ(r.role, ROLE_SYSTEM_TEXT);
                EXPECT_TRUE(r.state & STATE_SYSTEM_READONLY);
                editsRead++;
            } else if (cls == L"Button") {
                bool box = type == BS_AUTOCHECKBOX;
                bool checked = box && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
                if (RunningOnWine()) {
                    // Wine 8's oleacc has no button object: the generic
                    // client role and no checked state.
                    EXPECT_EQ(r.role, ROLE_SYSTEM_CLIENT) << "Wine's role changed: expect the Windows one below";
                    EXPECT_FALSE(r.state & STATE_SYSTEM_CHECKED) << "Wine now reports the checked state";
                } else {
                    EXPECT_EQ(r.role, box ? ROLE_SYSTEM_CHECKBUTTON : ROLE_SYSTEM_PUSHBUTTON);
                    EXPECT_EQ((r.state & STATE_SYSTEM_CHECKED) != 0, checked);
                }
            } else if (cls == L"ListBox") {
                // Wine: generic client role; Windows: a list.
                EXPECT_EQ(r.role, RunningOnWine() ? ROLE_SYSTEM_CLIENT : ROLE_SYSTEM_LIST);
            }
        }
    }
    EXPECT_EQ(editsRead, 2) << "the license and the folder edit";
}

TEST_F(WizardAccess, EachPagesMnemonicsAreUnique)
{
    for (UINT32 page = 0; page < PageCount; page++) {
        GoToPage(setup, page);
        std::set<WCHAR> seen;
        for (HWND c = GetWindow(setup.Page(page), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            WCHAR text[256] = L"";
            GetWindowTextW(c, text, ARRAYSIZE(text));
            const WCHAR *mark = wcschr(text, L'&');
            if (!IsWindowVisible(c) || ClassOf(c) != L"Button" || !mark || !mark[1])
                continue;
            WCHAR key = towupper(mark[1]);
            EXPECT_TRUE(seen.insert(key).second) << "page " << page << ": Alt+" << char(key) << " twice";
        }
        EXPECT_FALSE(seen.empty()) << "page " << page << " has no mnemonic";
    }
}

// Each static text, measured with the control's own font and wrapped as the
// control wraps it, fits the control at the DPI this process runs at: the
// one that ORBELUNE_EXPECTED_DPI names (the test below sets it), else 96 in
// the test prefix of Wine, and on Windows the DPI of the session, whatever
// its display scale.
TEST(StaticTextFit, EveryStaticTextFitsItsControlAtThisDpi)
{
    // The setup program is per-monitor aware by its manifest; the test
    // program has none, so it asks for the same.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    WCHAR expected[16] = L"";
    if (!GetEnvironmentVariableW(ExpectedDpiVariable, expected, ARRAYSIZE(expected)) && RunningOnWine())
        wcscpy(expected, L"96");
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (expected[0])
        ASSERT_EQ(dpi, _wtoi(expected)) << "the DPI of this run";

    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    KillTimer(setup.State().mainWindow, StepTimerId);
    // The longest texts these lines can hold: the longer final status line
    // and space figures of ten digits.
    SetDlgItemTextA(setup.Page(ProgressPage), IDC_STATUS, "Installation completed successfully.");
    int checked = 0;
    for (UINT32 page = 0; page < PageCount; page++) {
        GoToPage(setup, page);
        if (page == DirectoryPage) {
            SetDlgItemTextA(setup.Page(page), IDC_SPACE_REQUIRED, "Space required:  4096 MB");
            SetDlgItemTextA(setup.Page(page), IDC_SPACE_AVAILABLE, "Space available: 4294967295 MB");
        }
        for (HWND c = GetWindow(setup.Page(page), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            LONG style = GetWindowLongW(c, GWL_STYLE);
            if (ClassOf(c) != L"Static" || (style & SS_TYPEMASK) != SS_LEFT)
                continue;
            WCHAR text[512] = L"";
            int length = GetWindowTextW(c, text, ARRAYSIZE(text));
            RECT client = {}, needed = {};
            GetClientRect(c, &client);
            needed.right = client.right;
            HDC dc = GetDC(c);
            ASSERT_NE(dc, nullptr);
            HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
            // The flags with which the static control draws SS_LEFT text.
            DrawTextW(dc, text, length, &needed, DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS | DT_CALCRECT);
            SelectObject(dc, old);
            ReleaseDC(c, dc);
            printf("[ FIT      ] %d dpi page %u id %d: needs %ld x %ld, has %ld x %ld\n", dpi, page, GetDlgCtrlID(c),
                   needed.right, needed.bottom, client.right, client.bottom);
            EXPECT_LE(needed.right, client.right) << "page " << page << " id " << GetDlgCtrlID(c) << " too wide";
            EXPECT_LE(needed.bottom, client.bottom) << "page " << page << " id " << GetDlgCtrlID(c) << " clipped";
            checked++;
        }
    }
    EXPECT_EQ(checked, 6) << "three headers, two space lines and the status line";
    CleanUserState();
}

// Wine takes the DPI from "LogPixels" when a process starts: the test above
// runs again in a child process at 144 and at 192 DPI. Windows reads that
// value when the user signs in, and the system DPI stays the same for the
// whole session: a child started now would run at the session's DPI, and the
// value would change the user's display scale at the next sign-in.
TEST(StaticTextFit, AlsoAt144And192Dpi)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "Windows reads LogPixels at sign-in, not when a process starts; the test above runs at this "
                        "session's DPI";
    const WCHAR key[] = L"Control Panel\\Desktop";
    DWORD saved = 0, savedSize = sizeof(saved);
    bool hadValue = RegGetValueW(HKEY_CURRENT_USER, key, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &saved,
                                 &savedSize) == ERROR_SUCCESS;
    WCHAR self[MAX_PATH];
    ASSERT_TRUE(GetModuleFileNameW(nullptr, self, ARRAYSIZE(self)));
    for (DWORD dpi : {144u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " dpi");
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi)), ERROR_SUCCESS);
        WCHAR value[16];
        swprintf(value, ARRAYSIZE(value), L"%lu", dpi);
        SetEnvironmentVariableW(ExpectedDpiVariable, value);
        WCHAR command[MAX_PATH + 96];
        swprintf(command, ARRAYSIZE(command), L"\"%ls\" --gtest_filter=StaticTextFit.EveryStaticTextFitsItsControlAtThisDpi",
                 self);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child = {};
        bool started = CreateProcessW(self, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
        DWORD code = 99;
        if (started) {
            EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0) << "child test did not end";
            GetExitCodeProcess(child.hProcess, &code);
            CloseHandle(child.hThread);
            CloseHandle(child.hProcess);
        }
        EXPECT_TRUE(started) << "child test did not start";
        EXPECT_EQ(code, 0u) << "static texts at " << dpi << " dpi (its output above says which)";
    }
    SetEnvironmentVariableW(ExpectedDpiVariable, nullptr);
    if (hadValue)
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"LogPixels", REG_DWORD, &saved, sizeof(saved));
    else
        RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"LogPixels");
}
