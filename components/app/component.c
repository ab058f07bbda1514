/* One of the eight programs of the Orbelune App Pack. Every program is built
 * from this source; COMPONENT_NAME gives its name. It opens a small window
 * titled with its name that shows the file or folder it was started with. */
#include <windows.h>
#include <shellapi.h>

#ifndef COMPONENT_NAME
#error COMPONENT_NAME must name the program, for example L"Vantok"
#endif

enum { ShownTextSize = 600 };

static WCHAR shownText[ShownTextSize];

static void CopyText(WCHAR *dest, int capacity, int *used, const WCHAR *text)
{
    while (*text && *used < capacity - 1)
        dest[(*used)++] = *text++;
    dest[*used] = 0;
}

/* The first argument after the program's own path, or none. */
static void DescribeStartFile(void)
{
    int used = 0;
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc > 1 && argv[1][0]) {
        CopyText(shownText, ShownTextSize, &used, L"Opened: ");
        CopyText(shownText, ShownTextSize, &used, argv[1]);
    } else {
        CopyText(shownText, ShownTextSize, &used, L"No file opened.");
    }
    if (argv)
        LocalFree(argv);
}

static LRESULT CALLBACK ComponentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        HWND label = CreateWindowExW(0, L"STATIC", shownText, WS_CHILD | WS_VISIBLE | SS_LEFT,
                                     12, 12, 440, 60, window, (HMENU)100,
                                     ((CREATESTRUCTW *)lParam)->hInstance, NULL);
        if (label)
            SendMessageW(label, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    DescribeStartFile();

    WNDCLASSW windowClass = {0};
    windowClass.lpfnWndProc = ComponentWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"Orbelune." COMPONENT_NAME;
    if (!RegisterClassW(&windowClass))
        return 1;

    HWND window = CreateWindowExW(0, windowClass.lpszClassName, COMPONENT_NAME,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 480, 140,
                                  NULL, NULL, instance, NULL);
    if (!window)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return (int)message.wParam;
}
