// MainDialog: the step scheduler (timer ticks and step messages), close
// requests by phase, the quit message, and the license inset on DPI changes.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include "resource.h"
#include "winutil.h"

namespace {

// Removes a pending quit message; true if there was one (its code in *code).
bool TakeQuitMessage(WPARAM *code = nullptr)
{
    MSG message;
    if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    if (code)
        *code = message.wParam;
    return true;
}

RECT FormattingRect(HWND edit)
{
    RECT rect = {};
    SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&rect));
    return rect;
}

// How far the edit moves its formatting rect's left and top edges in when
// given back its own rect unchanged: the edit takes its border and margins
// off any rect given to EM_SETRECT (Wine does; the amount is measured rather
// than assumed, so that it cancels out).
POINT SetRectDrift(HWND edit)
{
    RECT before = FormattingRect(edit);
    RECT same = before;
    SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&same));
    RECT after = FormattingRect(edit);
    return {after.left - before.left, after.top - before.top};
}

// Gives the edit its own font again, as a rescaling does: the edit goes back
// to its default formatting rect.
void ResetFormattingRect(HWND edit)
{
    SendMessageW(edit, WM_SETFONT, SendMessageW(edit, WM_GETFONT, 0, 0), FALSE);
}

// Records the formatting rectangles given to the license edit.
struct EditSpy {
    WNDPROC original;
    int sets;
    RECT set;
};
EditSpy spy;

LRESULT CALLBACK SpyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == EM_SETRECT && lParam) {
        spy.sets++;
        spy.set = *reinterpret_cast<const RECT *>(lParam);
    }
    return CallWindowProcW(spy.original, window, message, wParam, lParam);
}

// Sends WM_DPICHANGED with the given DPI words and expects the license edit
// to get back its own formatting rect moved in by inset on the left and top,
// once the messages that the change posted have been handled.
void ExpectDpiInset(HWND window, HWND edit, WORD xDpi, WORD yDpi, int inset)
{
    SCOPED_TRACE(testing::Message() << "WM_DPICHANGED " << xDpi << " x " << yDpi);
    ResetFormattingRect(edit);
    POINT drift = SetRectDrift(edit);
    RECT before = FormattingRect(edit);
    RECT windowBefore = {}, windowAfter = {};
    GetWindowRect(window, &windowBefore);
    // A suggested rectangle far from the window's own: it must be ignored.
    RECT suggested = {windowBefore.left + 100, windowBefore.top + 50, windowBefore.right + 300,
                      windowBefore.bottom + 200};
    spy.sets = 0;
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(xDpi, yDpi), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(spy.sets, 0) << "the inset waits until the DPI change has been handled";
    PumpFor(0);
    ASSERT_EQ(spy.sets, 1) << "EM_SETRECT sent to the license edit";
    EXPECT_EQ(spy.set.left, before.left + inset) << "left edge";
    EXPECT_EQ(spy.set.top, before.top + inset) << "top edge";
    EXPECT_EQ(spy.set.right, before.right) << "right edge";
    EXPECT_EQ(spy.set.bottom, before.bottom) << "bottom edge";

    RECT after = FormattingRect(edit);
    EXPECT_EQ(after.left - before.left, inset + drift.x) << "left edge of the text";
    EXPECT_EQ(after.top - before.top, inset + drift.y) << "top edge of the text";
    GetWindowRect(window, &windowAfter);
    EXPECT_TRUE(EqualRect(&windowBefore, &windowAfter)) << "the window was moved or resized";
}

}  // namespace

TEST(MainDialog, TimerTickWithNoStepDueChangesNothing)
{
    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    SetupState &state = setup.State();
    ASSERT_EQ(state.pendingStep, 0u);

    static SetupState before;  // large; kept off the stack
    memcpy(&before, &state, sizeof(state));
    const WPARAM timerIds[] = {StepTimerId, 42};
    for (WPARAM id : timerIds) {
        SCOPED_TRACE(testing::Message() << "timer id " << id);
        EXPECT_EQ(MainDialogProc(state.mainWindow, WM_TIMER, id, 0), TRUE);
        EXPECT_EQ(memcmp(&before, &state, sizeof(state)), 0) << "the record changed";
    }
    EXPECT_EQ(SendMessageW(state.detailsList, LB_GETCOUNT, 0, 0), 0) << "lines in the details list";
    EXPECT_EQ(state.currentPage, LicensePage);

    // The real step timer ticks through the wizard without effect as well.
    PumpFor(300);
    EXPECT_EQ(memcmp(&before, &state, sizeof(state)), 0) << "the record changed while the timer ran";
    CleanUserState();
}

TEST(MainDialog, StepMessageMakesTheStepDueWithoutRunningIt)
{
    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    SetupState &state = setup.State();
    HWND window = state.mainWindow;

    EXPECT_EQ(MainDialogProc(window, StepMessage, 0, 0), TRUE);
    EXPECT_EQ(state.pendingStep, 1u) << "after the step message with 0";

    SendMessageW(window, StepMessage, 8, 0);
    EXPECT_EQ(state.pendingStep, 9u) << "after the step message with 8";

    // A later step message replaces a step that has not run yet.
    SendMessageW(window, StepMessage, 3, 0);
    SendMessageW(window, StepMessage, 5, 0);
    EXPECT_EQ(state.pendingStep, 6u) << "after 3 then 5";

    // Only the low 32 bits of wParam count.
    SendMessageW(window, StepMessage, static_cast<WPARAM>(0x100000002ull), 0);
    EXPECT_EQ(state.pendingStep, 3u) << "after 0x100000002";

    EXPECT_EQ(state.phase, Wizard) << "the step message alone changes no phase";
    EXPECT_EQ(SendMessageW(state.detailsList, LB_GETCOUNT, 0, 0), 0) << "a step ran without a tick";

    // No tick may run these steps: they would install into the user's profile.
    state.pendingStep = 0;
    CleanUserState();
}

TEST(MainDialog, TickRunsTheDueStepWhateverTheTimerId)
{
    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    SetupState &state = setup.State();
    HWND window = state.mainWindow;

    // The final step: with nothing selected (requiredBytes 0) it writes
    // nothing, shows the final status line and finishes.
    ASSERT_EQ(state.requiredBytes, 0u);
    state.phase = Installing;
    SendMessageW(window, StepMessage, LastInstallStep, 0);
    ASSERT_EQ(state.pendingStep, 9u);
    EXPECT_EQ(MainDialogProc(window, WM_TIMER, 42, 0), TRUE);
    EXPECT_EQ(state.pendingStep, 0u) << "the due step was taken";
    EXPECT_EQ(state.phase, Finished) << "the final step ran";
    char status[64] = "";
    GetDlgItemTextA(state.pages[ProgressPage], IDC_STATUS, status, sizeof(status));
    EXPECT_STREQ(status, "Installation completed successfully.") << "nothing failed, nothing was written";
    EXPECT_EQ(state.failureCount, 0u);
    CleanUserState();
}

TEST(MainDialog, CloseIsIgnoredWhileInstallingAndClosesOtherwise)
{
    CleanUserState();
    {
        SCOPED_TRACE("installing, then finished");
        InProcessSetup setup;
        ASSERT_TRUE(setup.Start());
        SetupState &state = setup.State();
        HWND window = state.mainWindow;
        ASSERT_FALSE(TakeQuitMessage()) << "quit message before the test";

        state.phase = Installing;
        EXPECT_EQ(MainDialogProc(window, WM_CLOSE, 0, 0), TRUE);
        SendMessageW(window, WM_CLOSE, 0, 0);
        // The title bar's close box and Alt+F4 arrive as SC_CLOSE.
        SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(IsWindow(window)) << "closed while installing";
        EXPECT_EQ(state.phase, Installing);
        EXPECT_FALSE(TakeQuitMessage()) << "quit message while installing";

        state.phase = Finished;
        SendMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindow(window)) << "still open after the installation finished";
        EXPECT_EQ(state.phase, Closing);
        WPARAM code = 1;
        EXPECT_TRUE(TakeQuitMessage(&code)) << "no quit message after closing";
        EXPECT_EQ(code, 0u) << "quit code";
    }
    {
        SCOPED_TRACE("wizard");
        InProcessSetup setup;
        ASSERT_TRUE(setup.Start());
        SetupState &state = setup.State();
        HWND window = state.mainWindow;
        ASSERT_EQ(state.phase, Wizard);
        SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_FALSE(IsWindow(window)) << "a close request in the wizard closes at once";
        EXPECT_EQ(state.phase, Closing);
        EXPECT_TRUE(TakeQuitMessage()) << "no quit message after closing";
    }
    CleanUserState();
}

TEST(MainDialog, DestroyOutsideClosingPostsNoQuitMessage)
{
    CleanUserState();
    const SetupPhase phases[] = {Wizard, Installing, Finished};
    for (SetupPhase phase : phases) {
        SCOPED_TRACE(testing::Message() << "phase " << phase);
        InProcessSetup setup;
        ASSERT_TRUE(setup.Start());
        SetupState &state = setup.State();
        ASSERT_FALSE(TakeQuitMessage()) << "quit message before the test";
        state.phase = phase;
        EXPECT_TRUE(DestroyWindow(state.mainWindow));
        EXPECT_FALSE(IsWindow(state.mainWindow));
        EXPECT_FALSE(TakeQuitMessage()) << "quit message after WM_DESTROY";
        EXPECT_EQ(state.phase, static_cast<UINT32>(phase)) << "WM_DESTROY changed the phase";
    }
    CleanUserState();
}

TEST(MainDialog, DpiChangeInsetsTheLicenseText)
{
    CleanUserState();
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    HWND window = setup.State().mainWindow;
    HWND edit = setup.Control(LicensePage, IDC_LICENSE_EDIT);
    ASSERT_NE(edit, nullptr) << "license edit 1004 on page 0";

    // The dialog manager rescales a dialog (Windows 10 1703 and later) on what
    // its procedure leaves to it. That is Windows' own, not shown by Wine, and
    // a made-up DPI would rescale this one: switched off where user32 has it.
    typedef BOOL(WINAPI * DialogDpiBehavior)(HWND, int mask, int values);
    void *behavior = reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetDialogDpiChangeBehavior"));
    if (behavior)
        EXPECT_TRUE(reinterpret_cast<DialogDpiBehavior>(behavior)(window, 1, 1)) << "DDC_DISABLE_ALL";

    spy = {};
    spy.original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SpyProc)));
    ASSERT_NE(spy.original, nullptr);

    // The dialog manager rescales the dialog only when the procedure leaves
    // the change to it.
    EXPECT_EQ(MainDialogProc(window, WM_DPICHANGED, MAKEWPARAM(96, 96), 0), FALSE);
    PumpFor(0);

    // Repeated changes with no new font in between (the dialog manager's
    // rescaling off, or Wine 10, which sends none) keep the text area of the
    // first, never the edit's fallback to its whole client area.
    {
        RECT startup = FormattingRect(edit), once = {};
        for (int i = 0; i < 10; i++) {
            SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(120, 120), 0);
            PumpFor(0);
            if (i == 0)
                once = FormattingRect(edit);
        }
        RECT now = FormattingRect(edit);
        printf("license text at start-up %ld,%ld,%ld,%ld; after one change to 120 DPI %ld,%ld,%ld,%ld; after ten "
               "%ld,%ld,%ld,%ld\n", startup.left, startup.top, startup.right, startup.bottom, once.left, once.top,
               once.right, once.bottom, now.left, now.top, now.right, now.bottom);
        EXPECT_TRUE(EqualRect(&now, &once)) << "text area after ten changes differs from after one";
        EXPECT_GE(now.left, setup.State().licenseTextRect.left + 6) << "the inset holds";
        EXPECT_GE(now.top, setup.State().licenseTextRect.top + 6) << "the inset holds";
    }
    // The rescaling of Per-Monitor V2 gives the edit a new font while the
    // change is handled, which resets its formatting rect: the inset comes
    // after it. (With the license text itself, which the inset rect holds.)
    {
        ResetFormattingRect(edit);
        RECT fresh = FormattingRect(edit);
        RECT inset = {fresh.left + 7, fresh.top + 7, fresh.right, fresh.bottom};
        SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&inset));
        RECT expected = FormattingRect(edit);  // what the edit makes of the inset rect
        ASSERT_GT(expected.left, fresh.left) << "the edit took the inset rect";
        ResetFormattingRect(edit);
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), 0);
        ResetFormattingRect(edit);
        PumpFor(0);
        RECT now = FormattingRect(edit);
        EXPECT_TRUE(EqualRect(&now, &expected)) << "formatting rect after a new font during the change: "
                                                << now.left << "," << now.top << " instead of " << expected.left
                                                << "," << expected.top;
    }
    // Two in a row, without anything in between: the last one alone. With
    // the license's eleven lines, an inset of 20 on the edit of this size (no
    // rescaling makes it larger here) leaves the text less room than it
    // needs. Windows documents EM_SETRECT as taking a rect smaller than the
    // window, and Wine 8 takes it; Wine 10 falls back to the edit's own rect
    // instead (measured here, as the drift is), and then the left inset must
    // still hold and the top one be cut to what the edit takes, not dropped.
    {
        ResetFormattingRect(edit);
        POINT drift = SetRectDrift(edit);
        ResetFormattingRect(edit);
        RECT start = FormattingRect(edit);
        RECT full = {start.left + 20, start.top + 20, start.right, start.bottom};
        SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&full));
        RECT probe = FormattingRect(edit);
        bool refused = EqualRect(&probe, &start) != FALSE;
        ResetFormattingRect(edit);
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(96, 96), 0);
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(480, 480), 0);
        PumpFor(0);
        RECT now = FormattingRect(edit);
        printf("license text after 96 and 480 DPI: %ld,%ld,%ld,%ld from %ld,%ld,%ld,%ld (%s)\n", now.left, now.top,
               now.right, now.bottom, start.left, start.top, start.right, start.bottom,
               refused ? "the edit refuses the whole inset" : "the edit takes the whole inset");
        EXPECT_EQ(now.left - start.left, 20 + drift.x) << "left edge after 96 and 480";
        if (!refused) {
            EXPECT_EQ(now.top - start.top, 20 + drift.y) << "top edge after 96 and 480";
        } else {
            EXPECT_GT(now.top - start.top, drift.y) << "top edge after 96 and 480: the inset was dropped";
            EXPECT_LT(now.top - start.top, 20 + drift.y) << "top edge after 96 and 480";
        }
    }
    // The inset's arithmetic, the rect sent and what comes back, with one
    // short line, for which every inset leaves room.
    SetWindowTextA(edit, "Short.");
    ExpectDpiInset(window, edit, 96, 96, 5);
    ExpectDpiInset(window, edit, 480, 480, 20);
    // Only the vertical DPI (high word) counts; the inset is capped at 20.
    ExpectDpiInset(window, edit, 96, 144, 7);
    ExpectDpiInset(window, edit, 480, 120, 6);
    ExpectDpiInset(window, edit, 96, 383, 19);
    ExpectDpiInset(window, edit, 96, 384, 20);
    ExpectDpiInset(window, edit, 96, 65535, 20);

    SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(spy.original));
    CleanUserState();
}
