// MainDialog: page set-up, the step scheduler, closing, and the license
// inset on DPI changes.
#include "setup.h"

#include "install.h"
#include "resource.h"
#include "wizard.h"

void SetEditMargins(HWND edit, int dx, int dy)
{
    RECT rect = {};
    SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&rect));
    rect.left += dx;
    rect.top += dy;
    SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&rect));
}

int LicenseInsetForDpi(UINT dpi)
{
    UINT inset = dpi * 5 / 96;
    return inset > 20 ? 20 : static_cast<int>(inset);
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    SetupState *state = setupState;
    switch (message) {
    case WM_INITDIALOG:
        // mainWindow is still null here: everything addresses window.
        if (!CreateWizardPages(window)) {
            ShowInitFailure();
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return TRUE;

    case WM_TIMER:
        if (state->pendingStep != 0)
            RunInstallStep(state->pendingStep - 1);
        return TRUE;

    case StepMessage:
        state->pendingStep = static_cast<UINT32>(wParam) + 1;
        return TRUE;

    case WM_CLOSE:
        if (state->phase == Installing)
            return TRUE;
        KillTimer(state->mainWindow, StepTimerId);
        state->phase = Closing;
        DestroyWindow(state->mainWindow);
        return TRUE;

    case WM_DESTROY:
        if (state->phase == Closing)
            PostQuitMessage(0);
        return TRUE;

    // Under Per-Monitor V2 the dialog manager rescales the controls and gives
    // them the new font while the DPI change is being handled, and a new font
    // resets an edit's formatting rectangle. A posted message is retrieved
    // only after every sent message of that handling, so the inset lands on
    // the rectangle that the edit keeps.
    case WM_DPICHANGED:
        PostMessageW(window, LicenseInsetMessage, static_cast<WPARAM>(LicenseInsetForDpi(HIWORD(wParam))), 0);
        return TRUE;

    case LicenseInsetMessage: {
        int inset = static_cast<int>(wParam);
        SetEditMargins(GetDlgItem(state->pages[LicensePage], IDC_LICENSE_EDIT), inset, inset);
        return TRUE;
    }
    }
    return FALSE;
}
