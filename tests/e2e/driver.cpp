// A UI driver for the end-to-end runs: it starts or finds windows by title
// and control id, and posts clicks and keystrokes into the other process's
// own message loop, as a person's would arrive.
//
//   e2e_driver install SETUP [--uncheck-shortcuts] [--browse-first-child] [--screens DIR]
//                            [--kill-after FILE]  end setup as a crash would, once FILE is in the folder
//                            [--hold FILE MS]     hold FILE of the folder open (read sharing only) for MS
//                                                 from the moment Install is pressed, as a scanner would
//   e2e_driver keyboard SETUP        a whole installation by keystrokes only
//   e2e_driver cancel SETUP
//   e2e_driver window TITLE          print the text of a component window, then close it
//   e2e_driver answer TITLE BUTTONID [SECONDS]
//                                    press a button of a message box when it appears (SECONDS later;
//                                    SECONDS < 0: leave it open)
//   e2e_driver wait-gone IMAGE SECONDS
//                                    wait until no process runs IMAGE ("cmd.exe")
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

const WCHAR SetupTitle[] = L"Orbelune App Pack (Single User)";

struct WindowQuery {
    DWORD processId;  // 0: any process
    const WCHAR *title;
    const WCHAR *className;  // null: any class
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowQuery *query = reinterpret_cast<WindowQuery *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (query->processId && owner != query->processId)
        return TRUE;
    if (!IsWindowVisible(window))
        return TRUE;
    WCHAR text[256] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    if (query->title && wcscmp(text, query->title) != 0)
        return TRUE;
    if (query->className) {
        WCHAR name[64] = {};
        GetClassNameW(window, name, ARRAYSIZE(name));
        if (wcscmp(name, query->className) != 0)
            return TRUE;
    }
    query->found = window;
    return FALSE;
}

HWND WaitForWindow(DWORD processId, const WCHAR *title, const WCHAR *className, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        WindowQuery query = {processId, title, className, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
        if (query.found)
            return query.found;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

struct PageList {
    HWND pages[8];
    int count;
};

BOOL CALLBACK CollectPage(HWND child, LPARAM parameter)
{
    PageList *list = reinterpret_cast<PageList *>(parameter);
    WCHAR name[32] = {};
    GetClassNameW(child, name, ARRAYSIZE(name));
    if (wcscmp(name, L"#32770") == 0 && GetParent(child) && list->count < 8)
        list->pages[list->count++] = child;
    return TRUE;
}

// The visible page among MainDialog's child dialogs, identified by a control
// only that page has.
HWND VisiblePage(HWND main)
{
    PageList list = {};
    EnumChildWindows(main, CollectPage, reinterpret_cast<LPARAM>(&list));
    for (int i = 0; i < list.count; i++) {
        if (IsWindowVisible(list.pages[i]))
            return list.pages[i];
    }
    return nullptr;
}

int PageNumber(HWND page)
{
    if (!page)
        return -1;
    if (GetDlgItem(page, 1004))
        return 0;
    if (GetDlgItem(page, 1006))
        return 1;
    if (GetDlgItem(page, 1005))
        return 2;
    if (GetDlgItem(page, 1019))
        return 3;
    return -1;
}

HWND WaitForPage(HWND main, int number, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        HWND page = VisiblePage(main);
        if (PageNumber(page) == number)
            return page;
        Sleep(30);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

void Press(HWND page, int id)
{
    PostMessageW(GetDlgItem(page, id), BM_CLICK, 0, 0);
}

// A keystroke into the other process's queue, where its message loop hands
// it to the page's dialog handling: the control that has the focus there
// gets it, or the page itself when the focus is unknown.
void PressKey(HWND page, UINT key)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    HWND target = page;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(page, nullptr), &info) && info.hwndFocus &&
        IsChild(page, info.hwndFocus))
        target = info.hwndFocus;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

// The id of the control that has the focus in the setup's thread; 0 if none.
int FocusedId(HWND page)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(page, nullptr), &info) || !info.hwndFocus)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

// Waits until the control with this id has the focus; false on time-out.
// The time-outs here are long: a Wine process that starts while the machine
// is busy can stall for seconds, and a passing run never waits them out.
bool WaitForFocus(HWND page, int id)
{
    DWORD start = GetTickCount();
    while (FocusedId(page) != id) {
        if (GetTickCount() - start > 20000)
            return false;
        Sleep(30);
    }
    return true;
}

// Shift+Tab: the dialog handling reads Shift from the keyboard state, which
// posted keystrokes do not change. The driver shares the setup thread's
// input state (AttachThreadInput) and holds Shift there for the keystroke.
void PressShiftTab(HWND page)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    PressKey(page, VK_TAB);
    Sleep(300);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
}

// Alt and a letter, as the keyboard delivers it while Alt is held: system
// key messages, which the setup's loop translates into the mnemonic.
void PressAlt(HWND page, char letter)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    HWND target = page;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(page, nullptr), &info) && info.hwndFocus)
        target = info.hwndFocus;
    PostMessageW(target, WM_SYSKEYDOWN, letter, 0x20000001);  // context code: Alt is down
    PostMessageW(target, WM_SYSKEYUP, letter, 0xE0000001);
}

// Saves the window's screen area as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const WCHAR *path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    if (!screen)
        return false;
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    bool ok = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        SelectObject(memory, old);
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof(header);
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = 24;
        DWORD stride = ((width * 3) + 3) & ~3u;
        DWORD imageSize = stride * height;
        BYTE *pixels = static_cast<BYTE *>(malloc(imageSize));
        if (pixels && GetDIBits(memory, bitmap, 0, height, pixels, reinterpret_cast<BITMAPINFO *>(&header),
                                DIB_RGB_COLORS)) {
            BITMAPFILEHEADER file = {};
            file.bfType = 0x4D42;
            file.bfOffBits = sizeof(file) + sizeof(header);
            file.bfSize = file.bfOffBits + imageSize;
            HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (out != INVALID_HANDLE_VALUE) {
                DWORD written;
                ok = WriteFile(out, &file, sizeof(file), &written, nullptr) &&
                     WriteFile(out, &header, sizeof(header), &written, nullptr) &&
                     WriteFile(out, pixels, imageSize, &written, nullptr);
                CloseHandle(out);
            }
        }
        free(pixels);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

void Screenshot(const WCHAR *folder, HWND main, const WCHAR *name)
{
    if (!folder)
        return;
    Sleep(400);  // let the page paint
    WCHAR path[MAX_PATH];
    swprintf(path, ARRAYSIZE(path), L"%ls\\%ls.bmp", folder, name);
    if (!SaveScreenshot(main, path))
        fwprintf(stderr, L"screenshot %ls failed\n", path);
}

bool StartProcess(const WCHAR *path, PROCESS_INFORMATION *process)
{
    WCHAR command[MAX_PATH + 4];
    swprintf(command, ARRAYSIZE(command), L"\"%ls\"", path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process);
}

int Fail(const char *what)
{
    printf("FAIL: %s\n", what);
    return 1;
}

// The text of the picker tree's selected item. A tree view's item text does
// not cross processes, so the request and its buffer are placed in the
// picker's process.
bool TreeItemText(HWND tree, HTREEITEM item, WCHAR (&text)[MAX_PATH])
{
    text[0] = 0;
    DWORD processId = 0;
    GetWindowThreadProcessId(tree, &processId);
    if (!item || !processId)
        return false;
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (!process)
        return false;
    struct Request {
        TVITEMW item;
        WCHAR text[MAX_PATH];
    };
    Request *remote = static_cast<Request *>(
        VirtualAllocEx(process, nullptr, sizeof(Request), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    bool read = false;
    if (remote) {
        Request local = {};
        local.item.mask = TVIF_TEXT;
        local.item.hItem = item;
        local.item.pszText = remote->text;
        local.item.cchTextMax = MAX_PATH;
        SIZE_T moved = 0;
        read = WriteProcessMemory(process, remote, &local, sizeof(local), &moved) &&
               SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&remote->item)) &&
               ReadProcessMemory(process, remote->text, text, sizeof(text), &moved);
        text[MAX_PATH - 1] = 0;
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return read;
}

bool SelectedTreeText(HWND tree, WCHAR (&text)[MAX_PATH])
{
    return TreeItemText(tree, reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)), text);
}

// The children that the tree shows below its selected item, for a run that
// did not get where it should.
void PrintSelectedChildren(HWND tree)
{
    HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    LRESULT state = SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED);
    wprintf(L"picker selection %ls, children:", state & TVIS_EXPANDED ? L"expanded" : L"closed");
    for (HTREEITEM child = reinterpret_cast<HTREEITEM>(
             SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
         child; child = reinterpret_cast<HTREEITEM>(
                    SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child)))) {
        WCHAR text[MAX_PATH];
        TreeItemText(tree, child, text);
        wprintf(L" \"%ls\"", text);
    }
    wprintf(L"\n");
}

// Waits until the tree's selected item is named name; false on time-out.
bool WaitForTreeSelection(HWND tree, const WCHAR *name, WCHAR (&selected)[MAX_PATH])
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(50)) {
        if (SelectedTreeText(tree, selected) && !wcscmp(selected, name))
            return true;
    }
    return false;
}

// Waits until the tree's selected item is another than item and returns it.
HTREEITEM WaitForOtherTreeItem(HWND tree, HTREEITEM item)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(50)) {
        HTREEITEM now = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
        if (now && now != item)
            return now;
    }
    return nullptr;
}

// Waits for the final status line of the progress page and prints it.
void PrintFinalStatus(HWND page)
{
    WCHAR status[128] = {};
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 30000) {
        GetDlgItemTextW(page, 1003, status, ARRAYSIZE(status));
        if (!wcscmp(status, L"Installation completed successfully.") || !wcscmp(status, L"Installation failed."))
            break;
        Sleep(50);
    }
    wprintf(L"status: %ls\n", status);
}

// Prints every line of the details list.
void PrintDetails(HWND page)
{
    HWND list = GetDlgItem(page, 1019);
    LRESULT lines = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < lines; i++) {
        WCHAR line[400] = {};
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < static_cast<LRESULT>(ARRAYSIZE(line)))
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        wprintf(L"detail: %ls\n", line);
    }
}

// Waits for setup to end after what was done and prints its exit code.
int PrintExit(PROCESS_INFORMATION *process, const char *after)
{
    if (WaitForSingleObject(process->hProcess, 15000) != WAIT_OBJECT_0) {
        printf("FAIL: setup did not end after %s\n", after);
        return 1;
    }
    DWORD code = 1;
    GetExitCodeProcess(process->hProcess, &code);
    printf("exit: %lu\n", code);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    return 0;
}

// Reads the destination page's folder into folder and prints it.
void PrintFolder(HWND page, WCHAR (&folder)[300])
{
    folder[0] = 0;
    GetDlgItemTextW(page, 1005, folder, ARRAYSIZE(folder));
    wprintf(L"folder: %ls\n", folder);
}

// "ticked" or "unticked", as a check box of page stands.
const char *TickState(HWND page, int id)
{
    return SendMessageW(GetDlgItem(page, id), BM_GETCHECK, 0, 0) == BST_UNCHECKED ? "unticked" : "ticked";
}

// Starts setup and waits for its window and license page; prints what
// failed and returns null when one does not come.
HWND StartAtLicensePage(const WCHAR *setup, PROCESS_INFORMATION *process, HWND *main)
{
    if (!StartProcess(setup, process)) {
        Fail("setup did not start");
        return nullptr;
    }
    *main = WaitForWindow(process->dwProcessId, SetupTitle, nullptr, 30000);
    HWND page = *main ? WaitForPage(*main, 0, 20000) : nullptr;
    if (!page) {
        Fail(*main ? "license page not shown" : "no setup window");
        return nullptr;
    }
    // What the system made of the manifest's DPI awareness (2: per monitor).
    printf("dpi awareness: %d\n",
           static_cast<int>(GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(*main))));
    return page;
}

int Install(const WCHAR *setup, bool uncheckShortcuts, bool browseFirstChild, const WCHAR *screens,
            const WCHAR *killAfter, const WCHAR *holdFile, int holdMs)
{
    PROCESS_INFORMATION process;
    HWND main = nullptr;
    HWND page = StartAtLicensePage(setup, &process, &main);
    if (!page)
        return 1;
    Screenshot(screens, main, L"page1-license");
    PressKey(page, VK_RETURN);  // Enter presses the default button, "I Agree"

    page = WaitForPage(main, 1, 20000);
    if (!page)
        return Fail("components page not shown");
    if (uncheckShortcuts)
        PostMessageW(GetDlgItem(page, 1015), BM_SETCHECK, BST_UNCHECKED, 0);
    Screenshot(screens, main, L"page2-components");
    Press(page, 1);

    page = WaitForPage(main, 2, 20000);
    if (!page)
        return Fail("destination page not shown");
    if (browseFirstChild) {
        // The picker opens on the folder above the one shown, which setup
        // preselects (the folder's last name but one).
        WCHAR shown[300] = {};
        GetDlgItemTextW(page, 1005, shown, ARRAYSIZE(shown));
        size_t end = wcslen(shown);
        while (end && shown[end - 1] == L'\\')
            shown[--end] = 0;
        WCHAR *last = wcsrchr(shown, L'\\');
        if (!last)
            return Fail("no folder shown before Browse");
        *last = 0;
        last = wcsrchr(shown, L'\\');
        const WCHAR *preselected = last ? last + 1 : shown;
        Press(page, 4);
        HWND picker = WaitForWindow(process.dwProcessId, nullptr, L"#32770", 10000);
        DWORD start = GetTickCount();
        while (picker && picker == GetParent(page) && GetTickCount() - start < 10000)
            picker = WaitForWindow(process.dwProcessId, nullptr, L"#32770", 200);
        if (!picker || picker == main)
            return Fail("no folder picker");
        HWND tree = nullptr;
        for (start = GetTickCount(); !tree && GetTickCount() - start < 10000; Sleep(50))
            tree = FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
        if (!tree)
            return Fail("no folder tree in the picker");
        // Keys go to the tree only once it shows the preselected folder:
        // Right expands it (unless it is open already), Down goes to its
        // first child.
        WCHAR selected[MAX_PATH];
        if (!WaitForTreeSelection(tree, preselected, selected)) {
            wprintf(L"picker selection: %ls, not %ls\n", selected, preselected);
            PrintSelectedChildren(tree);
            return Fail("the picker did not select the preselected folder");
        }
        HTREEITEM parent = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
        if (!(SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(parent), TVIS_EXPANDED) & TVIS_EXPANDED)) {
            PostMessageW(tree, WM_KEYDOWN, VK_RIGHT, 0);
            for (start = GetTickCount(); GetTickCount() - start < 10000; Sleep(50)) {
                if (SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(parent), TVIS_EXPANDED) & TVIS_EXPANDED)
                    break;
            }
        }
        PostMessageW(tree, WM_KEYDOWN, VK_DOWN, 0);
        if (!WaitForOtherTreeItem(tree, parent))
            return Fail("no first child selected in the picker");
        PostMessageW(GetDlgItem(picker, IDOK), BM_CLICK, 0, 0);
        Sleep(500);
    }
    WCHAR folder[300];
    PrintFolder(page, folder);
    Screenshot(screens, main, L"page3-destination");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (holdFile) {
        WCHAR path[MAX_PATH];
        swprintf(path, ARRAYSIZE(path), L"%ls%ls", folder, holdFile);
        held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return Fail("the file to hold could not be opened");
    }
    Press(page, 1);
    if (held != INVALID_HANDLE_VALUE) {
        Sleep(holdMs);
        CloseHandle(held);
        wprintf(L"held: %ls for %d ms\n", holdFile, holdMs);
    }

    page = WaitForPage(main, 3, 20000);
    if (!page)
        return Fail("progress page not shown");
    if (killAfter) {
        WCHAR written[MAX_PATH];
        swprintf(written, ARRAYSIZE(written), L"%ls%ls", folder, killAfter);
        for (DWORD begin = GetTickCount(); GetTickCount() - begin < 30000; Sleep(5)) {
            if (GetFileAttributesW(written) != INVALID_FILE_ATTRIBUTES)
                break;
        }
        // What a crash or a power cut leaves: no step finishes, nothing is closed.
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 15000);
        wprintf(L"killed after: %ls\n", written);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    // A close request during the steps must change nothing.
    PostMessageW(main, WM_CLOSE, 0, 0);
    PrintFinalStatus(page);
    PostMessageW(GetDlgItem(page, 5), BM_CLICK, 0, 0);
    Sleep(300);
    PrintDetails(page);
    Screenshot(screens, main, L"page4-progress");
    Press(page, 1);
    return PrintExit(&process, "Close");
}

// A whole installation with keystrokes only: Tab, Shift+Tab, Space, Enter
// and Alt mnemonics. Component 3 (Zafrin) is reached back from component 4
// with Shift+Tab and unticked with Space; Alt+B goes back from the
// destination page and Alt+N on again.
int KeyboardInstall(const WCHAR *setup)
{
    PROCESS_INFORMATION process;
    HWND main = nullptr;
    HWND page = StartAtLicensePage(setup, &process, &main);
    if (!page)
        return 1;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // a queue of our own to attach
    if (!AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(main, nullptr), TRUE))
        return Fail("cannot share the setup's input state");

    if (!WaitForFocus(page, 1))
        return Fail("I Agree not focused");
    PressKey(page, VK_TAB);
    printf("tab: %d\n", WaitForFocus(page, 2) ? 2 : FocusedId(page));
    PressKey(page, VK_TAB);
    if (!WaitForFocus(page, 1))
        return Fail("Tab from Cancel did not wrap to I Agree");
    PressAlt(page, 'A');

    page = WaitForPage(main, 1, 20000);
    if (!page || !WaitForFocus(page, 1))
        return Fail("components page not shown with Next focused");
    for (int i = 0; i < 5; i++)
        PressKey(page, VK_TAB);
    if (!WaitForFocus(page, 1010))
        return Fail("five Tabs did not reach Kestrefond");
    PressShiftTab(page);
    printf("shift-tab: %d\n", WaitForFocus(page, 1009) ? 1009 : FocusedId(page));
    PressKey(page, VK_SPACE);
    Sleep(300);
    printf("zafrin after space: %s\n", TickState(page, 1009));
    PressAlt(page, 'N');
    page = WaitForPage(main, 2, 20000);
    if (!page || !WaitForFocus(page, 1))
        return Fail("destination page not shown with Install focused");
    PressAlt(page, 'B');
    page = WaitForPage(main, 1, 20000);
    if (!page)
        return Fail("Alt+B did not go back");
    printf("back: zafrin %s\n", TickState(page, 1009));
    if (!WaitForFocus(page, 1))
        return Fail("Next not focused after going back");
    PressAlt(page, 'N');
    page = WaitForPage(main, 2, 20000);
    if (!page || !WaitForFocus(page, 1))
        return Fail("destination page not shown again");
    WCHAR folder[300];
    PrintFolder(page, folder);
    PressKey(page, VK_RETURN);

    page = WaitForPage(main, 3, 20000);
    if (!page)
        return Fail("Enter did not start the installation");
    PrintFinalStatus(page);
    PressAlt(page, 'D');
    if (!WaitForFocus(page, 1019))
        return Fail("Alt+D did not show the details list");
    PrintDetails(page);
    PressAlt(page, 'C');
    return PrintExit(&process, "Alt+C");
}

int Cancel(const WCHAR *setup)
{
    PROCESS_INFORMATION process;
    HWND main = nullptr;
    HWND page = StartAtLicensePage(setup, &process, &main);
    if (!page)
        return 1;
    PressKey(page, VK_ESCAPE);  // Escape delivers "Cancel"
    return PrintExit(&process, "Cancel");
}

int ShowComponentWindow(const WCHAR *title)
{
    HWND window = WaitForWindow(0, title, nullptr, 20000);
    if (!window)
        return Fail("no component window");
    WCHAR text[600] = {};
    GetDlgItemTextW(window, 100, text, ARRAYSIZE(text));
    wprintf(L"%ls\n", text);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

int Answer(const WCHAR *title, int button, int holdSeconds)
{
    // Only a box that has the button: a question box and the box after it
    // share their title.
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (!box && GetTickCount() - start < 30000) {
        box = WaitForWindow(0, title, L"#32770", 200);
        if (box && !GetDlgItem(box, button))
            box = nullptr;
    }
    if (!box)
        return Fail("no message box");
    WCHAR text[1024] = {};
    // The text's control id differs between Windows (0xFFFF) and Wine: take
    // the static that has text (the icon is a static too).
    for (HWND label = FindWindowExW(box, nullptr, L"Static", nullptr); label && !text[0];
         label = FindWindowExW(box, label, L"Static", nullptr))
        GetWindowTextW(label, text, ARRAYSIZE(text));
    wprintf(L"box: %ls\n", text);
    fflush(stdout);
    if (holdSeconds < 0)
        return 0;
    if (holdSeconds > 0) {
        Sleep(holdSeconds * 1000);  // the user leaves it open
        if (!IsWindow(box))
            return Fail("the message box went away by itself");
    }
    PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
    return 0;
}

int CountProcesses(const WCHAR *image)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (!_wcsicmp(entry.szExeFile, image))
            count++;
    CloseHandle(snapshot);
    return count;
}

int WaitGone(const WCHAR *image, int seconds)
{
    DWORD start = GetTickCount();
    int count;
    while ((count = CountProcesses(image)) != 0 && GetTickCount() - start < static_cast<DWORD>(seconds) * 1000)
        Sleep(250);
    if (count != 0)
        return Fail("the processes did not end");
    printf("gone after %lu ms\n", GetTickCount() - start);
    return 0;
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    if (argc >= 3 && !wcscmp(argv[1], L"install")) {
        bool uncheck = false, browse = false;
        const WCHAR *screens = nullptr, *killAfter = nullptr, *holdFile = nullptr;
        int holdMs = 0;
        for (int i = 3; i < argc; i++) {
            if (!wcscmp(argv[i], L"--uncheck-shortcuts"))
                uncheck = true;
            else if (!wcscmp(argv[i], L"--browse-first-child"))
                browse = true;
            else if (!wcscmp(argv[i], L"--screens") && i + 1 < argc)
                screens = argv[++i];
            else if (!wcscmp(argv[i], L"--kill-after") && i + 1 < argc)
                killAfter = argv[++i];
            else if (!wcscmp(argv[i], L"--hold") && i + 2 < argc) {
                holdFile = argv[++i];
                holdMs = _wtoi(argv[++i]);
            }
        }
        return Install(argv[2], uncheck, browse, screens, killAfter, holdFile, holdMs);
    }
    if (argc == 3 && !wcscmp(argv[1], L"keyboard"))
        return KeyboardInstall(argv[2]);
    if (argc == 3 && !wcscmp(argv[1], L"cancel"))
        return Cancel(argv[2]);
    if (argc == 3 && !wcscmp(argv[1], L"window"))
        return ShowComponentWindow(argv[2]);
    if ((argc == 4 || argc == 5) && !wcscmp(argv[1], L"answer"))
        return Answer(argv[2], _wtoi(argv[3]), argc == 5 ? _wtoi(argv[4]) : 0);
    if (argc == 4 && !wcscmp(argv[1], L"wait-gone"))
        return WaitGone(argv[2], _wtoi(argv[3]));
    fprintf(stderr, "usage: e2e_driver install|keyboard|cancel|window|answer|wait-gone ...\n");
    return 2;
}
