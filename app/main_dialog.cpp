// MainDialog: page set-up, the step scheduler, closing, and the license
// inset on DPI changes.
#include "setup.h"

#include "install.h"
#include "resource.h"
#include "wizard.h"

void SetEditMargins(HWND edit, int dx, int dy)
{
    SetupState *state = setupState;
    // Each inset starts from the edit's own rect, not from the last inset,
    // so that many changes leave the same text area as one. The edit is not
    // asked to restore its own rect (EM_SETRECT with NULL is ignored where a
    // touch keyboard or a hook is installed): it is read before the first
    // inset and kept. A rect other than the one the last inset left means
    // that the edit has set its own again (a new font or size from a DPI
    // rescaling), which is then the one to start from.
    RECT rect = {};
    SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&rect));
    if (!EqualRect(&rect, &state->licenseInsetRect))
        state->licenseTextRect = rect;
    // An edit may refuse a rect shorter than its text and fall back to its own
    // (Wine 10 does; Windows documents rects smaller than the window as
    // taken). That leaves no inset at all, so the top inset is then cut, a
    // pixel at a time, to the largest that the edit takes.
    for (int top = dy;; top--) {
        rect = state->licenseTextRect;
        rect.left += dx;
        rect.top += top;
        SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&rect));
        SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&state->licenseInsetRect));
        bool refused = (dx > 0 || top > 0) && EqualRect(&state->licenseInsetRect, &state->licenseTextRect);
        if (!refused || top <= 0)
            return;
    }
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

    // Under Per-Monitor V2 the dialog manager rescales the dialog, its
    // controls and their fonts itself, but only when the procedure leaves the
    // message to it: FALSE. The window is neither moved nor resized here. A
    // new font resets an edit's formatting rectangle; a posted message is
    // retrieved only after every sent message of the rescaling, so the inset
    // lands on the rectangle that the edit keeps.
    case WM_DPICHANGED:
        PostMessageW(window, LicenseInsetMessage, static_cast<WPARAM>(LicenseInsetForDpi(HIWORD(wParam))), 0);
        return FALSE;

    case LicenseInsetMessage: {
        int inset = static_cast<int>(wParam);
        SetEditMargins(GetDlgItem(state->pages[LicensePage], IDC_LICENSE_EDIT), inset, inset);
        return TRUE;
    }
    }
    return FALSE;
}
