// A UI driver for the end-to-end runs and for make run: it walks the setup
// program's wizard and answers the uninstaller's boxes from outside, as a
// person's clicks would arrive (tests/win/journey/ui.cpp), and prints what
// it saw for the scripts to check.
//
//   e2e_driver install SETUP [--browse-first-child] [--screens DIR]
//   e2e_driver window TITLE          print the text of a component window, then close it
//   e2e_driver answer TITLE BUTTONID [SECONDS]
//                                    press a button of a message box when it appears (SECONDS later)
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <wchar.h>

#include "ui.h"

namespace {

int Install(const WCHAR *setup, bool browseFirstChild, const WCHAR *screens)
{
    WizardWalk walk = {};
    walk.browseFirstChild = browseFirstChild;
    walk.pictures = screens;
    bool walked = WalkWizard(setup, &walk);
    if (walk.dpiAwareness >= 0)
        printf("dpi awareness: %d\n", walk.dpiAwareness);
    if (walk.folder[0])
        wprintf(L"folder: %ls\n", walk.folder);
    if (walk.note[0])
        wprintf(L"%ls\n", walk.note);
    if (!walked) {
        printf("FAIL: %s\n", walk.failure);
        return 1;
    }
    wprintf(L"status: %ls\n", walk.status);
    for (int i = 0; i < walk.detailCount; i++)
        wprintf(L"detail: %ls\n", walk.details[i]);
    for (int i = 0; screens && i < WalkPictures; i++) {
        if (walk.pictureSources[i] == PictureNotTaken)
            wprintf(L"picture %ls not taken\n", PictureNames[i]);
    }
    printf("exit: %lu\n", walk.exitCode);
    return 0;
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    if (argc >= 3 && !wcscmp(argv[1], L"install")) {
        bool browse = false;
        const WCHAR *screens = nullptr;
        for (int i = 3; i < argc; i++) {
            if (!wcscmp(argv[i], L"--browse-first-child"))
                browse = true;
            else if (!wcscmp(argv[i], L"--screens") && i + 1 < argc)
                screens = argv[++i];
        }
        // The pictures are written through COM's imaging component.
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
            return 1;
        int result = Install(argv[2], browse, screens);
        CoUninitialize();
        return result;
    }
    if (argc == 3 && !wcscmp(argv[1], L"window")) {
        WCHAR text[600];
        if (!ReadProgramWindow(0, argv[2], text, ARRAYSIZE(text), 20000)) {
            printf("FAIL: no component window\n");
            return 1;
        }
        wprintf(L"%ls\n", text);
        return 0;
    }
    if ((argc == 4 || argc == 5) && !wcscmp(argv[1], L"answer")) {
        WCHAR text[1024];
        DWORD holdMs = argc == 5 ? static_cast<DWORD>(_wtoi(argv[4])) * 1000 : 0;
        const char *failure = AnswerBox(0, argv[2], _wtoi(argv[3]), holdMs, text, ARRAYSIZE(text));
        if (text[0])
            wprintf(L"box: %ls\n", text);
        fflush(stdout);
        if (failure) {
            printf("FAIL: %s\n", failure);
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: e2e_driver install|window|answer ...\n");
    return 2;
}
