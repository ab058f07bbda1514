#include "ui.h"

#include <commctrl.h>
#include <objbase.h>
#include <wincodec.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

const WCHAR SetupTitle[] = L"Orbelune App Pack (Single User)";
const WCHAR UninstallCaption[] = L"Orbelune App Pack (Single User) Uninstall";
const WCHAR *const PictureNames[WalkPictures] = {L"page1-license", L"page2-components", L"page3-destination",
                                                 L"page4-installing", L"page4-progress"};

namespace {

// Long enough for a Wine process that starts while the machine is busy,
// which can stall for seconds; a passing run never waits them out.
const DWORD PageTimeoutMs = 20000;

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

// The visible page among MainDialog's child dialogs.
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

bool Fail(WizardWalk *walk, const char *what)
{
    walk->failure = what;
    return false;
}

// Page `number` once it is the visible one; null, with the walk failed
// for what did not come, when it is not in time.
HWND Reach(WizardWalk *walk, HWND main, int number, const char *failure)
{
    HWND page = WaitForPage(main, number, PageTimeoutMs);
    if (!page)
        Fail(walk, failure);
    return page;
}

// A picture of the window, when the walk keeps them.
void Picture(WizardWalk *walk, HWND main, int index)
{
    if (!walk->pictures)
        return;
    Sleep(400);  // let the page paint
    WCHAR path[MAX_PATH];
    swprintf(path, ARRAYSIZE(path), L"%ls\\%ls%ls.png", walk->pictures, walk->picturePrefix ? walk->picturePrefix : L"",
             PictureNames[index]);
    walk->pictureSources[index] = SavePicture(main, path);
}

// The text of the picker tree's selected item. A tree view's item text does
// not cross processes, so the request and its buffer are placed in the
// picker's process.
bool SelectedTreeText(HWND tree, WCHAR (&text)[MAX_PATH])
{
    text[0] = 0;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
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

// Browse, then in the picker the first folder below the one that setup
// preselects (the shown folder's last name but one), then OK.
bool BrowseFirstChild(WizardWalk *walk, DWORD processId, HWND page)
{
    WCHAR shown[WalkTextUnits] = {};
    GetDlgItemTextW(page, 1005, shown, ARRAYSIZE(shown));
    size_t end = wcslen(shown);
    while (end && shown[end - 1] == L'\\')
        shown[--end] = 0;
    WCHAR *last = wcsrchr(shown, L'\\');
    if (!last)
        return Fail(walk, "no folder shown before Browse");
    *last = 0;
    last = wcsrchr(shown, L'\\');
    const WCHAR *preselected = last ? last + 1 : shown;
    Press(page, 4);
    HWND picker = WaitForWindow(processId, nullptr, L"#32770", 10000);
    DWORD start = GetTickCount();
    while (picker && picker == GetParent(page) && GetTickCount() - start < 10000)
        picker = WaitForWindow(processId, nullptr, L"#32770", 200);
    if (!picker || picker == GetParent(page))
        return Fail(walk, "no folder picker");
    HWND tree = nullptr;
    for (start = GetTickCount(); !tree && GetTickCount() - start < 10000; Sleep(50))
        tree = FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
    if (!tree)
        return Fail(walk, "no folder tree in the picker");
    // Keys go to the tree only once it shows the preselected folder: Right
    // expands it (unless it is open already), Down goes to its first child.
    WCHAR selected[MAX_PATH];
    if (!WaitForTreeSelection(tree, preselected, selected)) {
        swprintf(walk->note, ARRAYSIZE(walk->note), L"picker selection: %ls, not %ls", selected, preselected);
        return Fail(walk, "the picker did not select the preselected folder");
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
        return Fail(walk, "no first child selected in the picker");
    Press(picker, IDOK);
    Sleep(500);
    return true;
}

// Copies every line of the details list.
void ReadDetails(WizardWalk *walk, HWND page)
{
    HWND list = GetDlgItem(page, 1019);
    LRESULT lines = SendMessageW(list, LB_GETCOUNT, 0, 0);
    walk->detailCount = 0;
    for (LRESULT i = 0; i < lines && walk->detailCount < WalkDetailLines; i++) {
        WCHAR *line = walk->details[walk->detailCount++];
        line[0] = 0;
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < WalkTextUnits)
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
    }
}

// The pixels of a window as a top-down 24-bit DIB section, filled with one
// colour before PrintWindow draws. PrintWindow under Wine sends the window
// this process's DC handle, which means nothing in the window's process,
// and returns TRUE with nothing drawn: the screen's copy of the window is
// taken then. Returns the DIB section (null when none could be made).
HBITMAP CaptureWindow(HWND window, int width, int height, BYTE **pixels, PictureSource *source)
{
    *source = PictureNotTaken;
    HDC screen = GetDC(nullptr);
    if (!screen)
        return nullptr;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(screen);
    if (bitmap && memory) {
        DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        const BYTE unset = 0x5A;  // no pixel of the wizard is this grey-green
        memset(bits, unset, static_cast<size_t>(stride) * height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BOOL printed = PrintWindow(window, memory, 0);
        GdiFlush();
        BYTE *bytes = static_cast<BYTE *>(bits);
        bool drawn = false;
        for (size_t i = 0; printed && i < static_cast<size_t>(stride) * height && !drawn; i++)
            drawn = bytes[i] != unset;
        if (drawn) {
            *source = PictureByPrintWindow;
        } else {
            RECT rect;
            if (GetWindowRect(window, &rect) &&
                BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
                GdiFlush();
                *source = PictureFromScreen;
            }
        }
        SelectObject(memory, old);
        // A picture of one colour shows nothing of the window.
        bool varied = false;
        for (int y = 0; y < height && !varied; y++) {
            const BYTE *row = bytes + static_cast<size_t>(y) * stride;
            for (int x = 0; x < width && !varied; x++)
                varied = memcmp(row + x * 3, bytes, 3) != 0;
        }
        if (!varied)
            *source = PictureNotTaken;
        *pixels = bytes;
    }
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (*source == PictureNotTaken && bitmap) {
        DeleteObject(bitmap);
        return nullptr;
    }
    return bitmap;
}

// Writes 24-bit BGR pixels, top-down, as a PNG file through the imaging
// component's encoder. Returns the first failing HRESULT.
HRESULT WritePng(const WCHAR *path, int width, int height, DWORD stride, BYTE *pixels)
{
    IWICImagingFactory *factory = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void **>(&factory));
    if (FAILED(hr))
        return hr;
    IWICStream *stream = nullptr;
    IWICBitmapEncoder *encoder = nullptr;
    IWICBitmapFrameEncode *frame = nullptr;
    IPropertyBag2 *options = nullptr;
    hr = factory->CreateStream(&stream);
    if (SUCCEEDED(hr))
        hr = stream->InitializeFromFilename(path, GENERIC_WRITE);
    if (SUCCEEDED(hr))
        hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr))
        hr = encoder->CreateNewFrame(&frame, &options);
    if (SUCCEEDED(hr))
        hr = frame->Initialize(options);
    if (SUCCEEDED(hr))
        hr = frame->SetSize(width, height);
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(hr))
        hr = frame->SetPixelFormat(&format);
    // The encoder names the format that it would rather have; these pixels
    // are in no other.
    if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
        hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr))
        hr = frame->WritePixels(height, stride, stride * height, pixels);
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    if (options)
        options->Release();
    if (frame)
        frame->Release();
    if (encoder)
        encoder->Release();
    if (stream)
        stream->Release();
    factory->Release();
    return hr;
}

}  // namespace

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
        // The page shows before the setup thread has given it the focus and
        // posted its own focus message; keys posted now could run ahead of
        // that message. A message sent to the page is handled only once the
        // thread is back in its message loop, with that message queued.
        DWORD_PTR ignored;
        if (PageNumber(page) == number &&
            SendMessageTimeoutW(page, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &ignored))
            return page;
        Sleep(30);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

void Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

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

int FocusedId(HWND page)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(page, nullptr), &info) || !info.hwndFocus)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

bool WaitForFocus(HWND page, int id)
{
    DWORD start = GetTickCount();
    while (FocusedId(page) != id) {
        if (GetTickCount() - start > PageTimeoutMs)
            return false;
        Sleep(30);
    }
    return true;
}

// The dialog handling reads Shift from the keyboard state, which posted
// keystrokes do not change.
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

// As the keyboard delivers Alt and a letter: system key messages, which the
// setup's loop translates into the mnemonic.
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

void WaitForFinalStatus(HWND page, WCHAR *status, DWORD capacity)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000; Sleep(50)) {
        GetDlgItemTextW(page, 1003, status, static_cast<int>(capacity));
        if (!wcscmp(status, L"Installation completed successfully.") || !wcscmp(status, L"Installation failed."))
            break;
    }
}

bool StartProgram(const WCHAR *path, const WCHAR *arguments, PROCESS_INFORMATION *process)
{
    WCHAR command[2 * MAX_PATH + 16];
    int length = swprintf(command, ARRAYSIZE(command), L"\"%ls\"%ls%ls", path, arguments ? L" " : L"",
                          arguments ? arguments : L"");
    if (length < 0)
        return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(path, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process);
}

PictureSource SavePicture(HWND window, const WCHAR *path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return PictureNotTaken;
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return PictureNotTaken;
    BYTE *pixels = nullptr;
    PictureSource source;
    HBITMAP bitmap = CaptureWindow(window, width, height, &pixels, &source);
    if (!bitmap)
        return PictureNotTaken;
    DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    HRESULT hr = WritePng(path, width, height, stride, pixels);
    DeleteObject(bitmap);
    return SUCCEEDED(hr) ? source : PictureNotTaken;
}

bool WalkWizard(const WCHAR *setup, WizardWalk *walk)
{
    walk->failure = nullptr;
    walk->note[0] = 0;
    walk->dpiAwareness = -1;
    walk->folder[0] = 0;
    walk->status[0] = 0;
    walk->detailCount = 0;
    walk->exitCode = 0xFFFFFFFFu;
    for (PictureSource &source : walk->pictureSources)
        source = PictureNotTaken;

    PROCESS_INFORMATION process;
    if (!StartProgram(setup, nullptr, &process))
        return Fail(walk, "setup did not start");
    bool walked = false;
    do {
        HWND main = WaitForWindow(process.dwProcessId, SetupTitle, nullptr, 30000);
        if (!main) {
            Fail(walk, "no setup window");
            break;
        }
        HWND page = Reach(walk, main, 0, "license page not shown");
        if (!page)
            break;
        walk->dpiAwareness =
            static_cast<int>(GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(main)));
        Picture(walk, main, 0);
        Press(page, 1);  // "I &Agree"
        if (!(page = Reach(walk, main, 1, "components page not shown after I Agree")))
            break;
        Picture(walk, main, 1);
        Press(page, 1);  // "&Next >"
        if (!(page = Reach(walk, main, 2, "destination page not shown after Next")))
            break;
        if (walk->browseFirstChild && !BrowseFirstChild(walk, process.dwProcessId, page))
            break;
        GetDlgItemTextW(page, 1005, walk->folder, ARRAYSIZE(walk->folder));
        Picture(walk, main, 2);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (walk->holdFile) {
            WCHAR path[2 * WalkTextUnits];
            swprintf(path, ARRAYSIZE(path), L"%ls%ls", walk->folder, walk->holdFile);
            held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (held == INVALID_HANDLE_VALUE) {
                Fail(walk, "the file to hold could not be opened");
                break;
            }
        }
        Press(page, 1);  // "&Install"
        if (held != INVALID_HANDLE_VALUE) {
            Sleep(walk->holdMs);
            CloseHandle(held);
        }
        if (!(page = Reach(walk, main, 3, "progress page not shown after Install")))
            break;
        if (walk->killAfter) {
            WCHAR written[2 * WalkTextUnits];
            swprintf(written, ARRAYSIZE(written), L"%ls%ls", walk->folder, walk->killAfter);
            for (DWORD begin = GetTickCount(); GetTickCount() - begin < 30000; Sleep(5)) {
                if (GetFileAttributesW(written) != INVALID_FILE_ATTRIBUTES)
                    break;
            }
            // What a crash or a power cut leaves: no step finishes, nothing is closed.
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 15000);
            walked = true;
            break;
        }
        Picture(walk, main, 3);
        // A close request during the steps must change nothing.
        PostMessageW(main, WM_CLOSE, 0, 0);
        WaitForFinalStatus(page, walk->status, ARRAYSIZE(walk->status));
        Press(page, 5);  // "Show &Details"
        Sleep(300);
        ReadDetails(walk, page);
        Picture(walk, main, 4);
        Press(page, 1);  // "&Close"
        if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) {
            Fail(walk, "setup did not end after Close");
            break;
        }
        walked = true;
    } while (false);

    if (!walked) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 15000);
    }
    GetExitCodeProcess(process.hProcess, &walk->exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return walked;
}

HWND WaitForBox(DWORD processId, const WCHAR *title, int button, WCHAR *text, DWORD capacity)
{
    // Only a box that has the button: a question box and the box after it
    // share their title.
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (!box && GetTickCount() - start < 30000) {
        box = WaitForWindow(processId, title, L"#32770", 200);
        if (box && !GetDlgItem(box, button))
            box = nullptr;
    }
    text[0] = 0;
    // The text's control id differs between Windows (0xFFFF) and Wine: take
    // the static that has text (the icon is a static too).
    for (HWND label = box ? FindWindowExW(box, nullptr, L"Static", nullptr) : nullptr; label && !text[0];
         label = FindWindowExW(box, label, L"Static", nullptr))
        GetWindowTextW(label, text, static_cast<int>(capacity));
    return box;
}

const char *AnswerBox(DWORD processId, const WCHAR *title, int button, DWORD holdMs, WCHAR *text, DWORD capacity)
{
    HWND box = WaitForBox(processId, title, button, text, capacity);
    if (!box)
        return "no message box";
    if (holdMs) {
        Sleep(holdMs);  // the user leaves it open
        if (!IsWindow(box))
            return "the message box went away by itself";
    }
    Press(box, button);
    return nullptr;
}

bool ReadProgramWindow(DWORD processId, const WCHAR *title, WCHAR *text, DWORD capacity, DWORD timeoutMs)
{
    text[0] = 0;
    HWND window = WaitForWindow(processId, title, nullptr, timeoutMs);
    if (!window)
        return false;
    GetDlgItemTextW(window, 100, text, static_cast<int>(capacity));
    PostMessageW(window, WM_CLOSE, 0, 0);
    return true;
}
