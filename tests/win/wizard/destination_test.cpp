// The destination page: the space figures and "&Install" on the real page,
// and the shell's folder picker behind "B&rowse...".
#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include <gtest/gtest.h>

#include "install.h"
#include "resource.h"
#include "winutil.h"
#include "wizard.h"

namespace {

const WCHAR PickerTitle[] = L"Select a destination folder for Orbelune App Pack.";

std::wstring WindowTextW(HWND window)
{
    WCHAR text[MAX_PATH * 2] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    return text;
}

std::string WindowTextA(HWND window)
{
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

// Size of a file of the built payload.
UINT32 PayloadFileSize(const WCHAR *name)
{
    WCHAR relative[MAX_PATH], path[MAX_PATH];
    swprintf(relative, ARRAYSIZE(relative), L"payload\\%ls", name);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!BuildOutputPath(relative, path, ARRAYSIZE(path)) ||
        !GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        ADD_FAILURE() << "payload file missing";
        return 0;
    }
    return data.nFileSizeLow;
}

std::string RequiredLine(UINT32 bytes)
{
    char line[64];
    snprintf(line, sizeof(line), "Space required:  %u MB", (bytes + 1048575u) >> 20);
    return line;
}

UINT64 FreeBytes(const WCHAR *root)
{
    ULARGE_INTEGER available = {};
    EXPECT_TRUE(GetDiskFreeSpaceExW(root, &available, nullptr, nullptr));
    return available.QuadPart;
}

// The megabytes of a "Space available: N MB" line; -1 when it has another form.
long long AvailableMegabytes(const std::string &line)
{
    unsigned long long figure = 0;
    char unit[4] = {};
    if (sscanf(line.c_str(), "Space available: %llu %3s", &figure, unit) != 2 || strcmp(unit, "MB") != 0)
        return -1;
    return static_cast<long long>(figure);
}

class DestinationPage : public testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        ASSERT_TRUE(setup.Start());
        // No install step may ever run here, even if "&Install" were pressed.
        KillTimer(setup.State().mainWindow, StepTimerId);
    }
    void TearDown() override { CleanUserState(); }

    void GoToDirectoryPage()
    {
        while (setup.State().currentPage < DirectoryPage)
            Click(setup.Control(setup.State().currentPage, IDC_FORWARD));
        ASSERT_EQ(setup.State().currentPage, DirectoryPage);
    }
    void BackToComponentsPage()
    {
        Click(setup.Control(DirectoryPage, IDC_BACK));
        ASSERT_EQ(setup.State().currentPage, ComponentsPage);
    }
    // Toggles a component box as a click does.
    void ClickComponent(int k) { Click(setup.Control(ComponentsPage, IDC_FIRST_COMPONENT + k)); }

    std::string Required() { return WindowTextA(setup.Control(DirectoryPage, IDC_SPACE_REQUIRED)); }
    std::string Available() { return WindowTextA(setup.Control(DirectoryPage, IDC_SPACE_AVAILABLE)); }
    bool InstallEnabled() { return IsWindowEnabled(setup.Control(DirectoryPage, IDC_FORWARD)) != FALSE; }

    InProcessSetup setup;
};

}  // namespace

TEST_F(DestinationPage, RequiredSpaceFollowsTheSelection)
{
    static const WCHAR *const programs[ComponentCount] = {
        L"Vantok.exe",     L"Brindlecap.exe", L"Ostravelind.exe", L"Zafrin.exe",
        L"Kestrefond.exe", L"Quillmarsh.exe", L"Cryvane.exe",     L"Drumlake.exe"};
    UINT32 uninstaller = PayloadFileSize(L"uninstall.exe");
    UINT32 all = uninstaller;
    for (const WCHAR *program : programs)
        all += PayloadFileSize(program);
    UINT32 first = PayloadFileSize(programs[0]) + uninstaller;

    GoToDirectoryPage();
    EXPECT_EQ(setup.State().requiredBytes, all) << "all eight components and the uninstaller";
    EXPECT_EQ(Required(), RequiredLine(all));
    EXPECT_TRUE(InstallEnabled()) << "everything selected, and it fits";

    // Check-box clicks take effect when the page is entered again.
    BackToComponentsPage();
    for (int k = 1; k < ComponentCount; k++)
        ClickComponent(k);
    EXPECT_EQ(setup.State().requiredBytes, all) << "not recomputed on a click";
    Click(setup.Control(ComponentsPage, IDC_SHORTCUTS));  // not a component
    GoToDirectoryPage();
    EXPECT_EQ(setup.State().requiredBytes, first) << "component 0 alone, with the uninstaller";
    EXPECT_EQ(Required(), RequiredLine(first));
    EXPECT_TRUE(InstallEnabled());

    // Nothing selected: no uninstaller either, and "&Install" is disabled.
    // The hidden box 1014 is never counted, even when checked.
    BackToComponentsPage();
    ClickComponent(0);
    CheckDlgButton(setup.Page(ComponentsPage), IDC_SPARE_BOX, BST_CHECKED);
    GoToDirectoryPage();
    EXPECT_EQ(setup.State().requiredBytes, 0u);
    EXPECT_EQ(Required(), "Space required:  0 MB");
    EXPECT_FALSE(InstallEnabled()) << "nothing selected";
    EXPECT_NE(AvailableMegabytes(Available()), -1) << Available();

    // Enter cannot press the disabled default button.
    HWND focus = GetFocus();
    ASSERT_NE(focus, nullptr);
    PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 1);
    PumpFor(50);
    EXPECT_EQ(setup.State().currentPage, DirectoryPage);
    EXPECT_EQ(setup.State().phase, static_cast<UINT32>(Wizard));
}

TEST_F(DestinationPage, AvailableSpaceIsTheInstallVolumesFreeSpace)
{
    const WCHAR *installDir = setup.State().installDir;
    WCHAR root[4] = {installDir[0], installDir[1], installDir[2], 0};
    ASSERT_EQ(root[1], L':') << "the default folder is on a drive";

    // Other programs may write to the volume meanwhile: the figure must lie
    // between the free space measured before and after.
    UINT64 before = FreeBytes(root);
    GoToDirectoryPage();
    UINT64 after = FreeBytes(root);
    ASSERT_LT(before, 1ull << 52) << "a volume small enough to be shown in MB";
    long long shown = AvailableMegabytes(Available());
    UINT64 low = (before < after ? before : after) >> 20, high = (before < after ? after : before) >> 20;
    EXPECT_GE(shown, static_cast<long long>(low)) << Available();
    EXPECT_LE(shown, static_cast<long long>(high)) << Available();
}

TEST_F(DestinationPage, UndeterminedSpaceShowsAQuestionMarkAndNeverBlocks)
{
    // A drive letter that the prefix does not map: neither the root nor the
    // folder can be measured.
    DWORD drives = GetLogicalDrives();
    WCHAR letter = 0;
    for (WCHAR candidate = L'Q'; candidate <= L'Y' && !letter; candidate++) {
        if (!(drives & (1u << (candidate - L'A'))))
            letter = candidate;
    }
    ASSERT_NE(letter, 0) << "a free drive letter";
    swprintf(setup.State().installDir, PathBufferUnits, L"%lc:\\Orbelune\\", letter);
    ASSERT_EQ(QueryAvailableBytes(setup.State().installDir), UndeterminedSpace);

    GoToDirectoryPage();
    EXPECT_EQ(Available(), "Space available: ?");
    EXPECT_TRUE(InstallEnabled()) << "an undetermined figure never blocks installation";

    // Without a drive root in its first three units, the folder itself is
    // measured.
    WCHAR windowsDir[MAX_PATH];
    ASSERT_NE(GetWindowsDirectoryW(windowsDir, ARRAYSIZE(windowsDir)), 0u);
    swprintf(setup.State().installDir, PathBufferUnits, L"\\\\?\\%ls\\", windowsDir);
    WCHAR root[4] = {windowsDir[0], windowsDir[1], windowsDir[2], 0};
    UINT64 before = FreeBytes(root);
    BackToComponentsPage();
    GoToDirectoryPage();
    UINT64 after = FreeBytes(root);
    long long shown = AvailableMegabytes(Available());
    EXPECT_GE(shown, static_cast<long long>((before < after ? before : after) >> 20)) << Available();
    EXPECT_LE(shown, static_cast<long long>((before < after ? after : before) >> 20)) << Available();
}

// The longest install folder is the one in which the pack's longest file
// name, "Ostravelind.exe" (15 units), still ends below MAX_PATH: 244 units
// with its backslash. A folder one unit longer, as a pick leaves it, keeps
// "&Install" disabled, as a folder without room does; the volume has room.
TEST_F(DestinationPage, FolderTooLongForTheLongestFileLeavesInstallDisabled)
{
    WCHAR appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    for (size_t length : {244u, 245u}) {
        SCOPED_TRACE(std::to_string(length) + " units");
        std::wstring folder = std::wstring(appData) + L"\\";
        folder.append(length - 1 - folder.size(), L'x');
        folder += L"\\";
        wcscpy(setup.State().installDir, folder.c_str());
        GoToDirectoryPage();
        EXPECT_NE(AvailableMegabytes(Available()), -1) << Available();
        EXPECT_EQ(InstallEnabled(), length == 244u);
        BackToComponentsPage();
    }
}

// ---------------------------------------------------------------------------
// The folder picker runs its own modal loop on the user-interface thread, so
// a second thread finds it, reads what it shows and presses one of its
// buttons.

namespace {

struct PickerVisit {
    DWORD uiThread;
    HWND mainWindow;
    int button;               // IDOK or IDCANCEL
    const WCHAR *expected;    // the tree item that the picker should open on
    const WCHAR *moveTo;      // a folder to select before pressing, or null
    bool tryComputer;         // select "My Computer", which has no path
    // what the thread saw
    HWND picker;
    HWND owner;
    bool titleShown;
    bool hasOk;
    bool okForComputer;       // OK enabled while "My Computer" was selected
    WCHAR computerItem[MAX_PATH];  // the tree item selected for it
    WCHAR selection[MAX_PATH];  // text of the selected tree item
};

BOOL CALLBACK FindPickerWindow(HWND window, LPARAM parameter)
{
    PickerVisit *visit = reinterpret_cast<PickerVisit *>(parameter);
    WCHAR className[32] = {};
    GetClassNameW(window, className, ARRAYSIZE(className));
    if (window != visit->mainWindow && !wcscmp(className, L"#32770") && IsWindowVisible(window)) {
        visit->picker = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindTitleText(HWND child, LPARAM parameter)
{
    PickerVisit *visit = reinterpret_cast<PickerVisit *>(parameter);
    if (WindowTextW(child) == PickerTitle)
        visit->titleShown = true;
    return TRUE;
}

BOOL CALLBACK FindTree(HWND child, LPARAM parameter)
{
    WCHAR className[32] = {};
    GetClassNameW(child, className, ARRAYSIZE(className));
    if (_wcsicmp(className, WC_TREEVIEWW) != 0)
        return TRUE;
    *reinterpret_cast<HWND *>(parameter) = child;
    return FALSE;
}

// The text of the picker's selected tree item. The tree is looked for among
// all the picker's windows: Wine's picker has it as a child of the dialog,
// Windows' new-style picker inside a control of its own.
void ReadSelection(HWND picker, WCHAR *text, int capacity)
{
    text[0] = 0;
    HWND tree = nullptr;
    EnumChildWindows(picker, FindTree, reinterpret_cast<LPARAM>(&tree));
    if (!tree)
        return;
    TVITEMW item = {};
    item.mask = TVIF_TEXT;
    item.hItem = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    item.pszText = text;
    item.cchTextMax = capacity;
    if (item.hItem)
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

DWORD WINAPI VisitPicker(void *parameter)
{
    PickerVisit *visit = static_cast<PickerVisit *>(parameter);
    for (int i = 0; i < 500 && !visit->picker; i++) {
        EnumThreadWindows(visit->uiThread, FindPickerWindow, reinterpret_cast<LPARAM>(visit));
        if (!visit->picker)
            Sleep(20);
    }
    if (!visit->picker)
        return 1;
    // The picker may still be filling its tree when it appears.
    for (int i = 0; i < 100; i++) {
        ReadSelection(visit->picker, visit->selection, ARRAYSIZE(visit->selection));
        if (!wcscmp(visit->selection, visit->expected))
            break;
        Sleep(50);
    }
    visit->owner = GetWindow(visit->picker, GW_OWNER);
    EnumChildWindows(visit->picker, FindTitleText, reinterpret_cast<LPARAM>(visit));
    visit->hasOk = GetDlgItem(visit->picker, IDOK) != nullptr;
    if (visit->tryComputer) {
        PIDLIST_ABSOLUTE computer = nullptr;
        if (SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &computer) == S_OK) {
            SendMessageW(visit->picker, BFFM_SETSELECTIONW, FALSE, reinterpret_cast<LPARAM>(computer));
            Sleep(100);
            visit->okForComputer = IsWindowEnabled(GetDlgItem(visit->picker, IDOK)) != FALSE;
            ReadSelection(visit->picker, visit->computerItem, ARRAYSIZE(visit->computerItem));
            CoTaskMemFree(computer);
        }
    }
    if (visit->moveTo) {
        // What a click on the folder in the tree does.
        SendMessageW(visit->picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(visit->moveTo));
        Sleep(100);
    }
    PostMessageW(visit->picker, WM_COMMAND, MAKEWPARAM(visit->button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(visit->picker, visit->button)));
    return 0;
}

// Lists every folder on a path once. Wine's picker preselects a folder by
// walking its tree and comparing each item byte for byte with the parsed
// path, and Wine's items carry the folder's last-access time. The host file
// system updates a folder's access time the first time it is listed after a
// change, so a folder changed just before the picker opens can fail to
// match: the picker then opens on the user's profile folder instead. Listing
// the folders first settles their access times, as for any folder looked at
// since it last changed. Windows is not known to show this.
void SettleAccessTimes(const WCHAR *path)
{
    WCHAR prefix[MAX_PATH * 2];
    size_t length = wcslen(path);
    for (size_t i = 3; i <= length && i < MAX_PATH; i++) {
        if (i < length && path[i] != L'\\')
            continue;
        swprintf(prefix, ARRAYSIZE(prefix), L"%.*ls\\*", static_cast<int>(i), path);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(prefix, &found);
        if (search != INVALID_HANDLE_VALUE) {
            while (FindNextFileW(search, &found)) {
            }
            FindClose(search);
        }
    }
}

// Presses "B&rowse..." and lets a second thread handle the picker.
void Browse(InProcessSetup &setup, PickerVisit *visit)
{
    SettleAccessTimes(setup.State().browseDir);
    visit->uiThread = GetCurrentThreadId();
    visit->mainWindow = setup.State().mainWindow;
    HANDLE thread = CreateThread(nullptr, 0, VisitPicker, visit, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Posted: the picker is modal, so a sent click would not return.
    PostMessageW(setup.Control(DirectoryPage, IDC_BROWSE), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 20000));
    PumpFor(50);
    DWORD code = 2;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    ASSERT_EQ(code, 0u) << "the picker was not found";
    EXPECT_FALSE(IsWindow(visit->picker)) << "the picker closed";
}

// How the shell names a folder in the picker's tree.
std::wstring DisplayName(const WCHAR *path)
{
    SHFILEINFOW info = {};
    if (!SHGetFileInfoW(path, 0, &info, sizeof(info), SHGFI_DISPLAYNAME))
        return L"?";
    return info.szDisplayName;
}

}  // namespace

TEST_F(DestinationPage, FirstBrowseOpensOnTheDefaultParentAndCancelChangesNothing)
{
    SetupState &state = setup.State();
    GoToDirectoryPage();
    std::wstring installDir = state.installDir, browseDir = state.browseDir;
    WCHAR appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    ASSERT_EQ(browseDir, std::wstring(appData) + L"\\") << "the parent of the default install folder";
    // Marks that show whether the figures were recomputed.
    SetDlgItemTextA(setup.Page(DirectoryPage), IDC_SPACE_REQUIRED, "mark");
    SetDlgItemTextA(setup.Page(DirectoryPage), IDC_SPACE_AVAILABLE, "mark");

    std::wstring roaming = DisplayName(appData);
    PickerVisit visit = {};
    visit.button = IDCANCEL;
    visit.expected = roaming.c_str();
    visit.tryComputer = true;
    Browse(setup, &visit);
    EXPECT_EQ(visit.owner, state.mainWindow) << "owned by the window of the current page";
    EXPECT_TRUE(visit.titleShown) << "the picker shows the request's title";
    EXPECT_TRUE(visit.hasOk);
    SHFILEINFOW computer = {};
    PIDLIST_ABSOLUTE drives = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &drives), S_OK);
    SHGetFileInfoW(reinterpret_cast<const WCHAR *>(drives), 0, &computer, sizeof(computer),
                   SHGFI_PIDL | SHGFI_DISPLAYNAME);
    CoTaskMemFree(drives);
    EXPECT_EQ(std::wstring(visit.computerItem), computer.szDisplayName) << "moved to the computer";
    EXPECT_FALSE(visit.okForComputer) << "only file-system folders can be confirmed";
    EXPECT_EQ(std::wstring(visit.selection), roaming) << "opens on the roaming application-data folder";

    EXPECT_EQ(std::wstring(state.installDir), installDir);
    EXPECT_EQ(std::wstring(state.browseDir), browseDir);
    EXPECT_EQ(WindowTextW(setup.Control(DirectoryPage, IDC_FOLDER_EDIT)), installDir);
    EXPECT_EQ(Required(), "mark") << "no recomputation after a cancelled pick";
    EXPECT_EQ(Available(), "mark");
    EXPECT_EQ(state.currentPage, DirectoryPage);
}

TEST_F(DestinationPage, PickedFolderBecomesTheInstallFolderAndTheNextBrowseOpensOnIt)
{
    SetupState &state = setup.State();
    // Folders of the user's own: Base, to start on, and Base\Picked.
    WCHAR appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    std::wstring base = std::wstring(appData) + L"\\Orbelune\\Base";
    std::wstring picked = base + L"\\Picked";
    ASSERT_TRUE(EnsureDirectories((picked + L"\\").c_str()));
    // The picker starts on Base, given as start-up leaves browseDir for a
    // recorded folder (the final install step records it with its backslash);
    // the later Browses start on the form without a backslash.
    swprintf(state.browseDir, PathBufferUnits, L"%ls\\", base.c_str());
    GoToDirectoryPage();

    // Confirming the preselected folder makes it the install folder.
    SetDlgItemTextA(setup.Page(DirectoryPage), IDC_SPACE_REQUIRED, "mark");
    PickerVisit first = {};
    first.button = IDOK;
    first.expected = L"Base";
    Browse(setup, &first);
    EXPECT_EQ(std::wstring(first.selection), first.expected) << "opens on browseDir";
    EXPECT_EQ(std::wstring(state.browseDir), base) << "as the shell returns it, without a backslash";
    // The picked folder itself, plus one backslash: no product folder below it.
    EXPECT_EQ(std::wstring(state.installDir), base + L"\\");
    EXPECT_EQ(WindowTextW(setup.Control(DirectoryPage, IDC_FOLDER_EDIT)), base + L"\\");
    EXPECT_EQ(Required(), RequiredLine(state.requiredBytes)) << "figures recomputed";
    EXPECT_NE(AvailableMegabytes(Available()), -1) << Available();
    EXPECT_TRUE(InstallEnabled());

    // The next Browse opens on the picked folder; there the user moves to
    // the subfolder and confirms it.
    PickerVisit second = {};
    second.button = IDOK;
    second.expected = L"Base";
    second.moveTo = picked.c_str();
    Browse(setup, &second);
    EXPECT_EQ(std::wstring(second.selection), second.expected) << "opens on the picked folder";
    EXPECT_EQ(std::wstring(state.browseDir), picked);
    EXPECT_EQ(std::wstring(state.installDir), picked + L"\\");
    EXPECT_EQ(WindowTextW(setup.Control(DirectoryPage, IDC_FOLDER_EDIT)), picked + L"\\");

    // And the one after that on the subfolder; cancelling keeps everything.
    SetDlgItemTextA(setup.Page(DirectoryPage), IDC_SPACE_REQUIRED, "mark");
    PickerVisit third = {};
    third.button = IDCANCEL;
    third.expected = L"Picked";
    Browse(setup, &third);
    EXPECT_EQ(std::wstring(third.selection), third.expected) << "opens on the newly picked folder";
    EXPECT_EQ(std::wstring(state.browseDir), picked);
    EXPECT_EQ(std::wstring(state.installDir), picked + L"\\");
    EXPECT_EQ(Required(), "mark") << "no recomputation after a cancelled pick";
}
