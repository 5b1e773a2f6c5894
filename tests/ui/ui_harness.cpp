// UI harness: creates the main window with MainWindowProc as the program
// does, with a scripted child runner and power status, and
//   check REPORT          drives the state table, keyboard, timers, painting
//                         (pixel checks), resource counts and tiny windows;
//   shots DIR PREFIX REPORT  saves a screenshot of each of the five screens;
//   timing REPORT         prints the paint time of each screen.
// It runs inside a Wine virtual desktop (tests/ui/run-gui.sh).
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/ui/harness_support.h"
#include "ui/main_window.h"
#include "ui/screen_paint.h"
#include "ui/text_layout.h"
#include "ui/update_worker.h"

namespace {

const wchar_t kClassName[] = L"Velmorant_Quillmere_20160204_WndClass";

HWND s_hWnd = NULL;
bool s_bQuit = false;
WPARAM s_quitCode = 0;

const StubStep kOk = {0, 0, STUB_NOW, 0};
const StubStep kExit1 = {0, 1, STUB_NOW, 0};
const StubStep kRunTimeout = {RUN_TIMEOUT, 0, STUB_NOW, 0};

DWORD Now() { return GetTickCount(); }

// One pass of the program's message loop: IsDialogMessageW first.
void PumpOnce()
{
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            s_bQuit = true;
            s_quitCode = msg.wParam;
            continue;
        }
        if (s_hWnd != NULL && IsWindow(s_hWnd) && IsDialogMessageW(s_hWnd, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD dwTimeoutMs)
{
    const DWORD dwStart = Now();
    for (;;) {
        PumpOnce();
        if (done()) {
            return true;
        }
        if (Now() - dwStart > dwTimeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD dwMs)
{
    PumpUntil([] { return false; }, dwMs);
}

bool Gone() { return s_bQuit && !IsWindow(s_hWnd); }

void RegisterMainClass()
{
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = g_hInstance;
    wc.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = CreateSolidBrush(RGB(255, 255, 255));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
}

// Fresh window state, as a new process would have it.
void ResetState()
{
    g_nScreen = SCREEN_NOTICE;
    g_nQuitCode = 0;
    g_nRetriesLeft = 1;
    g_bRestart = FALSE;
    g_nLimitTimer = g_nProgressTimer = g_nForegroundTimer = g_nDisplayTimer = 0;
    s_bQuit = false;
    s_quitCode = 0;
    SetPowerStatus(true, 1, 1);
}

HWND CreateMain()
{
    ResetState();
    s_hWnd = CreateWindowExW(WS_EX_TOPMOST, kClassName, g_szTitle, WS_POPUP | WS_VISIBLE, CW_USEDEFAULT,
                             0, CW_USEDEFAULT, 0, NULL, NULL, g_hInstance, NULL);
    if (s_hWnd != NULL) {
        ShowWindow(s_hWnd, SW_SHOWMAXIMIZED);
        UpdateWindow(s_hWnd);
        PumpFor(150);
    }
    return s_hWnd;
}

// Ends a scenario whatever its state: a close request, then the loop until
// the quit message.
void CloseMain()
{
    if (s_hWnd != NULL && IsWindow(s_hWnd)) {
        PostMessageW(s_hWnd, WM_CLOSE, 0, 0);
    }
    PumpUntil(Gone, 5000);
    PumpFor(50);
}

void Key(HWND hTarget, WPARAM vk)
{
    PostMessageW(hTarget, WM_KEYDOWN, vk, 1);
    if (vk == VK_SPACE) {
        PostMessageW(hTarget, WM_CHAR, L' ', 1);
    }
    PostMessageW(hTarget, WM_KEYUP, vk, 0xC0000001);
    PumpFor(60);
}

void KeyToFocus(WPARAM vk)
{
    HWND hFocus = GetFocus();
    Key(hFocus ? hFocus : s_hWnd, vk);
}

bool WaitScreen(UINT nScreen, DWORD dwMs = 3000)
{
    return PumpUntil([nScreen] { return g_nScreen == nScreen && !s_bQuit; }, dwMs);
}

bool Visible(HWND h) { return IsWindowVisible(h) != FALSE; }

// Yes on the notice screen, then wait until the given screen shows.
bool StartFromNotice(UINT nExpected)
{
    SendMessageW(s_hWnd, WM_COMMAND, IDC_YES, 0);
    return WaitScreen(nExpected);
}

bool WaitStubWaiting()
{
    HANDLE h = StubWaitingEvent();
    return PumpUntil([h] { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }, 3000);
}

LRESULT QueryEnd() { return SendMessageW(s_hWnd, WM_QUERYENDSESSION, 0, 0); }

RECT ClientOnScreen()
{
    RECT rc;
    GetClientRect(s_hWnd, &rc);
    MapWindowPoints(s_hWnd, NULL, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

RECT ChildRectInClient(HWND hChild)
{
    RECT rc;
    GetWindowRect(hChild, &rc);
    MapWindowPoints(NULL, s_hWnd, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

void Repaint() { RedrawWindow(s_hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN); }

// ---------------------------------------------------------------------------
// State table, keyboard and timers.

void CheckNoticeScreen()
{
    ReportLine("# notice screen");
    StubReset({});
    CHECK(CreateMain() != NULL);
    CHECK(g_nScreen == SCREEN_NOTICE);
    CHECK(Visible(g_hYesButton) && Visible(g_hNoButton) && !Visible(g_hOkButton) && !Visible(g_hProgress));
    CHECK(GetFocus() == g_hNoButton);
    CHECK(QueryEnd() == 0);
    CHECK(g_nForegroundTimer == TIMER_FOREGROUND);
    CHECK(GetDlgCtrlID(g_hYesButton) == IDC_YES && GetDlgCtrlID(g_hNoButton) == IDC_NO &&
          GetDlgCtrlID(g_hOkButton) == IDC_OK && GetDlgCtrlID(g_hProgress) == 0);
    CHECK((GetWindowLongW(g_hProgress, GWL_STYLE) & (WS_CHILD | PBS_SMOOTH)) == (WS_CHILD | PBS_SMOOTH));
    CHECK((GetWindowLongW(g_hYesButton, GWL_STYLE) & 0xFFFF000F) == 0x5001000B);
    CHECK(SendMessageW(g_hProgress, PBM_GETRANGE, FALSE, 0) == PROGRESS_MAX);

    // Layout: buttons 40 pixels above the bottom, 20 apart around the middle.
    RECT rcClient;
    GetClientRect(s_hWnd, &rcClient);
    const int w = rcClient.right;
    const int h = rcClient.bottom;
    const RECT rcYes = ChildRectInClient(g_hYesButton);
    const RECT rcNo = ChildRectInClient(g_hNoButton);
    const RECT rcOk = ChildRectInClient(g_hOkButton);
    const RECT rcBar = ChildRectInClient(g_hProgress);
    CHECK(rcYes.left == w / 2 - 210 && rcYes.top == h - 100 && rcYes.right - rcYes.left == 200 &&
              rcYes.bottom - rcYes.top == 60,
          "yes at %ld,%ld", rcYes.left, rcYes.top);
    CHECK(rcNo.left == w / 2 + 10 && rcNo.top == h - 100);
    CHECK(rcOk.left == w / 2 - 100 && rcOk.top == h - 100);
    CHECK(rcBar.left == 30 && rcBar.top == h / 2 && rcBar.right == w - 30 && rcBar.bottom == h / 2 + 100);

    // A size notification other than maximized moves nothing.
    SendMessageW(s_hWnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(500, 400));
    const RECT rcYes2 = ChildRectInClient(g_hYesButton);
    CHECK(EqualRect(&rcYes, &rcYes2));

    // Enter at once: No, no attempt, no restart, no message.
    KeyToFocus(VK_RETURN);
    CHECK(PumpUntil(Gone, 2000));
    CHECK(s_quitCode == 0 && !g_bRestart && StubCalls().empty());

    // Escape and a close request also end the notice at once.
    for (int nWay = 0; nWay < 2; ++nWay) {
        CreateMain();
        const DWORD dwStart = Now();
        if (nWay == 0) {
            KeyToFocus(VK_ESCAPE);
        } else {
            PostMessageW(s_hWnd, WM_CLOSE, 0, 0);
        }
        CHECK(PumpUntil(Gone, 2000), "way %d", nWay);
        CHECK(Now() - dwStart < 1500 && s_quitCode == 0 && !g_bRestart, "way %d", nWay);
    }
}

void CheckSuccessfulAttempt()
{
    ReportLine("# success, keyboard");
    // Tab moves the focus to Yes, Space presses it.
    StubReset({kOk, kOk});
    CreateMain();
    KeyToFocus(VK_TAB);
    CHECK(GetFocus() == g_hYesButton);
    KeyToFocus(VK_TAB);
    CHECK(GetFocus() == g_hNoButton);
    KeyToFocus(VK_TAB);
    KeyToFocus(VK_SPACE);
    CHECK(WaitScreen(SCREEN_COMPLETED));
    const std::vector<StubCall> calls = StubCalls();
    CHECK(calls.size() == 2);
    if (calls.size() == 2) {
        CHECK(calls[0].program == g_szReflashToolPath &&
              calls[0].args == L"/S 2 /F 0 /W 2 /I FW2149928-kt2379-004_touchthr_40.img" &&
              calls[0].dwTimeoutMs == 600000 && !calls[0].bTerminate && calls[0].bHasCancel);
        CHECK(calls[1].program == g_szInfoToolPath && calls[1].args == L"/I 2149928" &&
              calls[1].dwTimeoutMs == 5000 && calls[1].bTerminate && calls[1].bHasCancel);
    }
    PumpFor(100);
    CHECK(Visible(g_hYesButton) && Visible(g_hNoButton) && !Visible(g_hOkButton) && Visible(g_hProgress));
    CHECK(GetFocus() == g_hYesButton);
    CHECK(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0) == PROGRESS_MAX);
    CHECK(g_nLimitTimer == 0 && g_nProgressTimer == 0);
    CHECK(QueryEnd() == 0);
    KeyToFocus(VK_RETURN);  // the focus is on Yes: restart
    CHECK(PumpUntil(Gone, 2000) && g_bRestart && s_quitCode == 0);

    // Completed, then No or Escape: no restart, no message.
    for (int nWay = 0; nWay < 2; ++nWay) {
        StubReset({kOk, kOk});
        CreateMain();
        CHECK(StartFromNotice(SCREEN_COMPLETED));
        if (nWay == 0) {
            SendMessageW(s_hWnd, WM_COMMAND, IDC_NO, 0);
        } else {
            KeyToFocus(VK_ESCAPE);
        }
        CHECK(PumpUntil(Gone, 2000) && !g_bRestart && s_quitCode == 0, "way %d", nWay);
    }
}

void CheckUpdatingScreen()
{
    ReportLine("# updating screen, limit timer, close during an attempt");
    StubReset({{0, 0, STUB_UNTIL_CANCEL, 0}});
    CreateMain();
    SendMessageW(s_hWnd, WM_COMMAND, IDC_YES, 0);
    CHECK(g_nScreen == SCREEN_UPDATING);
    CHECK(WaitStubWaiting());
    CHECK(!Visible(g_hYesButton) && !Visible(g_hNoButton) && !Visible(g_hOkButton) && Visible(g_hProgress));
    CHECK(g_nLimitTimer == TIMER_LIMIT && g_nProgressTimer == TIMER_PROGRESS);
    CHECK(QueryEnd() == 0);
    // Keys do nothing here: no visible button, Escape needs the No button.
    KeyToFocus(VK_ESCAPE);
    KeyToFocus(VK_RETURN);
    CHECK(!s_bQuit && g_nScreen == SCREEN_UPDATING);
    // The progress timer steps the bar.
    const LRESULT nPos = SendMessageW(g_hProgress, PBM_GETPOS, 0, 0);
    PumpFor(1150);
    CHECK(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0) > nPos);
    // Expiry of the limit: cancel, then the failed screen, even on the first
    // attempt, without a retry offer.
    PostMessageW(s_hWnd, WM_TIMER, TIMER_LIMIT, 0);
    CHECK(WaitScreen(SCREEN_FAILED));
    CHECK(StubCalls().size() == 1 && StubCalls()[0].bCancelSeen);
    PumpFor(50);
    CHECK(Visible(g_hOkButton) && !Visible(g_hProgress) && GetFocus() == g_hOkButton);
    CHECK(g_nRetriesLeft == 1);
    KeyToFocus(VK_ESCAPE);
    CHECK(!s_bQuit);
    KeyToFocus(VK_RETURN);
    CHECK(PumpUntil(Gone, 2000) && g_bRestart && s_quitCode == 0);

    // A close request during the first attempt waits for its worker.
    StubReset({{0, 0, STUB_UNTIL_CANCEL, 400}});
    CreateMain();
    CHECK(StartFromNotice(SCREEN_UPDATING) && WaitStubWaiting());
    DWORD dwStart = Now();
    SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
    const DWORD dwWaited = Now() - dwStart;
    CHECK(!IsWindow(s_hWnd) && dwWaited >= 350, "waited %lu ms", dwWaited);
    CHECK(StubCalls().size() == 1 && StubCalls()[0].bCancelSeen);
    PumpUntil(Gone, 2000);
    CHECK(s_quitCode == 0 && !g_bRestart);
}

void CheckRetry()
{
    ReportLine("# retry");
    // First attempt: the reflash tool fails; second: the check fails.
    StubReset({kExit1, kOk, {0, 2, STUB_NOW, 0}});
    CreateMain();
    CHECK(StartFromNotice(SCREEN_RETRY));
    PumpFor(50);
    CHECK(StubCalls().size() == 1);  // no verification after a failed reflash
    CHECK(!Visible(g_hYesButton) && !Visible(g_hNoButton) && Visible(g_hOkButton) && Visible(g_hProgress));
    CHECK(GetFocus() == g_hOkButton && g_nRetriesLeft == 0);
    CHECK(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0) == PROGRESS_MAX);
    CHECK(QueryEnd() == 0);
    KeyToFocus(VK_ESCAPE);
    CHECK(!s_bQuit && g_nScreen == SCREEN_RETRY);
    KeyToFocus(VK_RETURN);
    CHECK(WaitScreen(SCREEN_FAILED));
    PumpFor(50);
    CHECK(StubCalls().size() == 3 && g_nRetriesLeft == -1);
    CHECK(Visible(g_hOkButton) && !Visible(g_hProgress) && GetFocus() == g_hOkButton);
    CHECK(QueryEnd() == 0);
    SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
    CHECK(PumpUntil(Gone, 2000) && g_bRestart && s_quitCode == 0);
    CHECK(StubCalls().size() == 3);  // never a third attempt

    // Unknown result codes count as failures; a check that ran out of time
    // goes straight to the failed screen.
    StubReset({{0x1234, 0, STUB_NOW, 0}, kOk, kRunTimeout});
    CreateMain();
    CHECK(StartFromNotice(SCREEN_RETRY));
    SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
    CHECK(WaitScreen(SCREEN_FAILED) && g_nRetriesLeft == 0);
    CloseMain();

    // The second attempt starts with the bar full and a clear cancel event,
    // even when the limit timer fired just as the first attempt failed.
    StubReset({kExit1, {0, 0, STUB_UNTIL_CANCEL, 400}});
    CreateMain();
    CHECK(StartFromNotice(SCREEN_RETRY));
    SetEvent(g_WorkerContext.hCancelEvent);
    SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
    CHECK(g_nScreen == SCREEN_UPDATING && SendMessageW(g_hProgress, PBM_GETPOS, 0, 0) == PROGRESS_MAX);
    CHECK(WaitStubWaiting());
    CHECK(StubCalls().size() == 2 && !StubCalls()[1].bCancelSetOnEntry);
    // A close request during the second attempt waits for that attempt's
    // worker before the events are closed.
    const DWORD dwStart = Now();
    SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
    const DWORD dwWaited = Now() - dwStart;
    CHECK(!IsWindow(s_hWnd) && dwWaited >= 350, "waited %lu ms", dwWaited);
    CHECK(StubCalls()[1].bCancelSeen);
    PumpUntil(Gone, 2000);
    CHECK(s_quitCode == 0 && !g_bRestart);
}

void CheckPower()
{
    ReportLine("# power");
    struct Case {
        bool bOk;
        BYTE bAc;
        BYTE bBattery;
        int nQuit;  // -1: the attempt runs
    };
    const Case cases[] = {
        {true, 0, 1, IDS_CONNECT_AC_ADAPTER}, {true, 1, 128, IDS_ATTACH_BATTERY},
        {true, 0, 128, IDS_CONNECT_AC_ADAPTER}, {false, 0, 128, -1},
        {true, 255, 255, -1},                   {true, 1, 128 | 8, -1},
    };
    for (const Case& c : cases) {
        StubReset({kOk, kOk});
        CreateMain();
        SetPowerStatus(c.bOk, c.bAc, c.bBattery);
        SendMessageW(s_hWnd, WM_COMMAND, IDC_YES, 0);
        if (c.nQuit < 0) {
            CHECK(WaitScreen(SCREEN_COMPLETED), "ac %d battery %d", c.bAc, c.bBattery);
            CloseMain();
        } else {
            CHECK(PumpUntil(Gone, 2000) && static_cast<int>(s_quitCode) == c.nQuit && StubCalls().empty(),
                  "ac %d battery %d quit %d", c.bAc, c.bBattery, static_cast<int>(s_quitCode));
        }
    }
    // The adapter unplugged before the second attempt.
    StubReset({kExit1, kOk, kOk});
    CreateMain();
    CHECK(StartFromNotice(SCREEN_RETRY));
    SetPowerStatus(true, 0, 1);
    SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
    CHECK(PumpUntil(Gone, 2000) && s_quitCode == IDS_CONNECT_AC_ADAPTER && StubCalls().size() == 1);
}

void CheckWorkerGuards()
{
    ReportLine("# worker guards, creation failure");
    StubReset({kOk, kOk});
    UpdateWorker(NULL);
    HANDLE hDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    WorkerContext ctx = {NULL, hDone, NULL};
    UpdateWorker(&ctx);
    CHECK(WaitForSingleObject(hDone, 0) == WAIT_TIMEOUT && StubCalls().empty());
    CloseHandle(hDone);

    // An event that cannot be created fails the window's creation, quickly,
    // without a quit message for the caller's loop and without leaks.
    const ResourceCounts before = Counts();
    ResetState();
    FailCreateEvents(1);
    const DWORD dwStart = Now();
    HWND hWnd = CreateWindowExW(WS_EX_TOPMOST, kClassName, g_szTitle, WS_POPUP | WS_VISIBLE, CW_USEDEFAULT,
                                0, CW_USEDEFAULT, 0, NULL, NULL, g_hInstance, NULL);
    FailCreateEvents(0);
    CHECK(hWnd == NULL && Now() - dwStart < 2000);
    MSG msg;
    CHECK(!PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    CHECK(Counts().handlesLive == before.handlesLive && Counts().gdiLive == before.gdiLive);
}

void CheckDisplayChanges()
{
    ReportLine("# display changes");
    StubReset({});
    CreateMain();
    RECT rcFull;
    GetWindowRect(s_hWnd, &rcFull);
    SetWindowPos(s_hWnd, NULL, 100, 100, 400, 300, SWP_NOZORDER | SWP_NOACTIVATE);
    PumpFor(50);
    ResetMoveWindowCalls();
    for (int i = 0; i < 3; ++i) {
        SendMessageW(s_hWnd, i == 1 ? WM_DPICHANGED : WM_DISPLAYCHANGE, 24, MAKELPARAM(1280, 800));
        PumpFor(300);
    }
    PumpFor(550);  // 850 ms after the last change: not yet
    RECT rc;
    GetWindowRect(s_hWnd, &rc);
    CHECK(rc.right - rc.left == 400 && Counts().moveWindowCalls == 0);
    PumpFor(700);
    GetWindowRect(s_hWnd, &rc);
    CHECK(EqualRect(&rc, &rcFull) && Counts().moveWindowCalls == 1, "moves %ld", Counts().moveWindowCalls);
    CHECK(g_nDisplayTimer == 0);
    const RECT rcYes = ChildRectInClient(g_hYesButton);
    CHECK(rcYes.top == (rcFull.bottom - rcFull.top) - 100);

    // The callback itself: a monitor that cannot be read is passed over.
    SetWindowPos(s_hWnd, NULL, 10, 10, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
    CHECK(FitWindowToPrimaryMonitor(NULL, NULL, NULL, reinterpret_cast<LPARAM>(s_hWnd)) == TRUE);
    POINT pt = {0, 0};
    HMONITOR hPrimary = MonitorFromPoint(pt, MONITOR_DEFAULTTOPRIMARY);
    CHECK(FitWindowToPrimaryMonitor(hPrimary, NULL, NULL, reinterpret_cast<LPARAM>(s_hWnd)) == FALSE);
    GetWindowRect(s_hWnd, &rc);
    CHECK(EqualRect(&rc, &rcFull));
    CloseMain();
}

// ---------------------------------------------------------------------------
// DrawFittedText on a memory DC.

void CheckFittedText()
{
    ReportLine("# fitted text");
    HDC hScreen = GetDC(NULL);
    HDC hdc = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, 400, 400);
    HGDIOBJ hOldBitmap = SelectObject(hdc, hBitmap);
    const HGDIOBJ hFontBefore = GetCurrentObject(hdc, OBJ_FONT);
    const wchar_t* pszText = L"Fit\nthis block";

    SIZE size = {0, 0};
    int nPoints = 0;
    const RECT rcHuge = {0, 0, 4000, 4000};
    const int nDraws = DrawCallCount();
    DrawFittedText(hdc, pszText, 20, 0, &size, &nPoints, rcHuge);
    CHECK(nPoints == 20 && size.cx > 0 && size.cy > 0 && DrawCallCount() == nDraws);

    // A box exactly as wide (or high) as the block does not fit: one size less.
    const struct {
        int w, h;
    } exact[] = {{size.cx, 4000}, {4000, size.cy}, {size.cx + 1, size.cy + 1}};
    for (const auto& e : exact) {
        int n = 0;
        RECT rc = {10, 10, 10 + e.w, 10 + e.h};
        DrawFittedText(hdc, pszText, 20, 0, NULL, &n, rc);
        const bool bWhole = e.w > size.cx && e.h > size.cy;
        CHECK(bWhole ? n == 20 : (n > 0 && n < 20), "box %dx%d size %d", e.w, e.h, n);
    }
    // Empty and negative boxes, and a zero maximum, write nothing.
    const RECT empties[] = {{0, 0, 0, 100}, {0, 0, 100, 0}, {50, 50, 10, 100}};
    for (const RECT& rc : empties) {
        SIZE s = {-7, -7};
        int n = -7;
        DrawFittedText(hdc, pszText, 20, 0, &s, &n, rc);
        CHECK(s.cx == -7 && s.cy == -7 && n == -7);
    }
    SIZE s0 = {-7, -7};
    DrawFittedText(hdc, pszText, 0, 0, &s0, NULL, rcHuge);
    CHECK(s0.cx == -7 && DrawCallCount() == nDraws);

    // Vertical placement: centred with the odd pixel below, bottom on the
    // box's bottom edge, centred when both flags are set.
    const RECT rcBox = {20, 30, 380, 30 + size.cy + 61};
    const struct {
        UINT uFlags;
        int nTop;
    } placements[] = {
        {DT_CENTER | DT_VCENTER, 30 + 61 / 2},
        {DT_CENTER | DT_BOTTOM, 30 + 61},
        {DT_CENTER | DT_VCENTER | DT_BOTTOM, 30 + 61 / 2},
        {0, 30},
    };
    for (const auto& p : placements) {
        SIZE s = {0, 0};
        DrawFittedText(hdc, pszText, 20, p.uFlags, &s, NULL, rcBox);
        const RECT rc = LastDrawRect();
        CHECK(s.cy == size.cy && rc.top == p.nTop && rc.bottom == rcBox.bottom && rc.left == rcBox.left,
              "flags %u top %ld want %d", p.uFlags, rc.top, p.nTop);
    }
    CHECK(GetCurrentObject(hdc, OBJ_FONT) == hFontBefore);

    SelectObject(hdc, hOldBitmap);
    DeleteObject(hBitmap);
    DeleteDC(hdc);
    ReleaseDC(NULL, hScreen);
}

// ---------------------------------------------------------------------------
// Pixels.

// Horizontal black lines at least nMinLength long, merged over adjacent rows.
struct HLine {
    int y0, y1, x0, x1;
};
std::vector<HLine> FindLines(const Image& img, int nMinLength, int yFrom, int yTo)
{
    std::vector<HLine> lines;
    for (int y = std::max(0, yFrom); y < std::min(img.h, yTo); ++y) {
        int nRun = 0;
        for (int x = 0; x <= img.w; ++x) {
            if (x < img.w && IsBlack(img.at(x, y))) {
                ++nRun;
                continue;
            }
            if (nRun >= nMinLength) {
                const int x0 = x - nRun;
                const int x1 = x - 1;
                if (!lines.empty() && lines.back().y1 == y - 1 && abs(lines.back().x0 - x0) <= 2 &&
                    abs(lines.back().x1 - x1) <= 2) {
                    lines.back().y1 = y;
                } else {
                    lines.push_back({y, y, x0, x1});
                }
            }
            nRun = 0;
        }
    }
    return lines;
}

// True when every pixel of the rectangle (clipped to the image) is white.
bool AllWhite(const Image& img, int x0, int y0, int x1, int y1, const char* pszWhat)
{
    for (int y = std::max(0, y0); y <= std::min(img.h - 1, y1); ++y) {
        for (int x = std::max(0, x0); x <= std::min(img.w - 1, x1); ++x) {
            if (!IsWhite(img.at(x, y))) {
                ReportLine("  %s: pixel %06lx at %d,%d", pszWhat, img.at(x, y), x, y);
                return false;
            }
        }
    }
    return true;
}

// The band 3 to 6 pixels outside a frame whose outer lines are top and
// bottom holds no ink: nothing crosses the frame.
bool RingOutsideWhite(const Image& img, const HLine& top, const HLine& bottom, const char* pszWhat)
{
    const int x0 = top.x0, x1 = top.x1, y0 = top.y0, y1 = bottom.y1;
    return AllWhite(img, x0 - 6, y0 - 6, x1 + 6, y0 - 3, pszWhat) &&
           AllWhite(img, x0 - 6, y1 + 3, x1 + 6, y1 + 6, pszWhat) &&
           AllWhite(img, x0 - 6, y0, x0 - 3, y1, pszWhat) && AllWhite(img, x1 + 3, y0, x1 + 6, y1, pszWhat);
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    bool Empty() const { return x1 < 0; }
    void Add(int x, int y)
    {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    }
};

Box InkBox(const Image& img, int x0, int y0, int x1, int y1, bool (*pred)(DWORD))
{
    Box b;
    for (int y = std::max(0, y0); y <= std::min(img.h - 1, y1); ++y) {
        for (int x = std::max(0, x0); x <= std::min(img.w - 1, x1); ++x) {
            if (pred(img.at(x, y))) {
                b.Add(x, y);
            }
        }
    }
    return b;
}

void CheckButtonPixels(const Image& img, HWND hButton, bool bFocused, COLORREF face, const char* pszName)
{
    const RECT rc = ChildRectInClient(hButton);
    const int yMid = (rc.top + rc.bottom) / 2;
    const DWORD dwBorder = img.at(rc.left + 1, yMid);
    CHECK(Near(img.at(rc.left + 8, rc.top + 8), face) && Near(img.at(rc.right - 9, rc.bottom - 9), face),
          "%s face %06lx", pszName, img.at(rc.left + 8, rc.top + 8));
    if (bFocused) {
        CHECK(Near(dwBorder, UI_COLOR_FOCUS_BORDER) && Near(img.at(rc.right - 2, yMid), UI_COLOR_FOCUS_BORDER) &&
                  Near(img.at(rc.left + 8, rc.top + 2), UI_COLOR_FOCUS_BORDER),
              "%s border %06lx", pszName, dwBorder);
    } else {
        CHECK(Near(dwBorder, face), "%s edge %06lx", pszName, dwBorder);
    }
    // The caption is black and inside the button.
    const Box ink = InkBox(img, rc.left, rc.top, rc.right - 1, rc.bottom - 1, IsBlack);
    CHECK(!ink.Empty() && ink.x0 > rc.left + 20 && ink.x1 < rc.right - 20, "%s caption", pszName);
}

void CheckNoticePixels()
{
    ReportLine("# notice pixels");
    StubReset({});
    CreateMain();
    Repaint();
    PumpFor(200);
    Image img = CaptureScreen(ClientOnScreen());
    const int W = img.w, H = img.h;
    CheckButtonPixels(img, g_hNoButton, true, UI_COLOR_BUTTON_FACE, "no");
    CheckButtonPixels(img, g_hYesButton, false, UI_COLOR_BUTTON_FACE, "yes");

    // Frames: the notice frame (3-pixel lines) and the contact frame inside.
    const std::vector<HLine> lines = FindLines(img, 200, 60, H - 110);
    CHECK(lines.size() == 4, "%u lines", static_cast<unsigned>(lines.size()));
    if (lines.size() == 4) {
        const HLine& nTop = lines[0];
        const HLine& cTop = lines[1];
        const HLine& cBottom = lines[2];
        const HLine& nBottom = lines[3];
        CHECK(nTop.y1 - nTop.y0 == 2 && cTop.y1 - cTop.y0 == 1, "pen widths %d %d", nTop.y1 - nTop.y0 + 1,
              cTop.y1 - cTop.y0 + 1);
        CHECK(abs(nTop.x1 - (W - 50)) <= 2 && abs(nBottom.x0 - nTop.x0) <= 2, "frame %d..%d, bottom from %d, W %d",
              nTop.x0, nTop.x1, nBottom.x0, W);
        CHECK(RingOutsideWhite(img, nTop, nBottom, "around the notice frame"));
        CHECK(RingOutsideWhite(img, cTop, cBottom, "around the contact frame"));
        // Text keeps 10 pixels from the notice frame's sides, and 15 from
        // the contact frame's.
        CHECK(AllWhite(img, nTop.x0 + 3, nTop.y1 + 1, nTop.x0 + 8, nBottom.y0 - 1, "notice left band"));
        CHECK(AllWhite(img, nTop.x1 - 8, nTop.y1 + 1, nTop.x1 - 3, nBottom.y0 - 1, "notice right band"));
        CHECK(AllWhite(img, cTop.x0 + 2, cTop.y1 + 1, cTop.x0 + 10, cBottom.y0 - 1, "contact left band"));
        CHECK(AllWhite(img, cTop.x1 - 10, cTop.y1 + 1, cTop.x1 - 2, cBottom.y0 - 1, "contact right band"));
        const Box contactInk = InkBox(img, cTop.x0 + 2, cTop.y1 + 1, cTop.x1 - 2, cBottom.y0 - 1, IsBlack);
        CHECK(!contactInk.Empty());

        // The red piece of item 2 stands on one line with its black
        // neighbours, which touch it left and right, and overlaps nothing.
        const Box red = InkBox(img, nTop.x0 + 3, nTop.y1 + 1, nTop.x1 - 3, cTop.y0 - 1, IsRed);
        CHECK(!red.Empty());
        if (!red.Empty()) {
            const int nLineH = red.y1 - red.y0 + 1;
            const Box left = InkBox(img, red.x0 - 3 * nLineH, red.y0, red.x0 - 1, red.y1, IsBlack);
            const Box right = InkBox(img, red.x1 + 1, red.y0, red.x1 + 3 * nLineH, red.y1, IsBlack);
            CHECK(!left.Empty() && !right.Empty() && red.x0 - left.x1 < nLineH && right.x0 - red.x1 < nLineH,
                  "red %d..%d", red.x0, red.x1);
            CHECK(red.x0 > nTop.x0 + 10 * nLineH / 2, "red starts at %d", red.x0);
            const Box within = InkBox(img, red.x0, red.y0, red.x1, red.y1, IsBlack);
            CHECK(within.Empty(), "black ink under the red piece");
            // The neighbours' ink lies within the red line's rows, give or
            // take the glyphs' own shapes.
            const Box leftRows = InkBox(img, red.x0 - 5 * nLineH / 2, red.y0 - nLineH / 2, red.x0 - 1,
                                        red.y1 + nLineH / 2, IsBlack);
            CHECK(abs(leftRows.y0 - red.y0) <= nLineH / 3 && abs(leftRows.y1 - red.y1) <= nLineH / 3,
                  "left %d..%d red %d..%d", leftRows.y0, leftRows.y1, red.y0, red.y1);
        }
    }
    // Pressed face.
    SendMessageW(g_hYesButton, BM_SETSTATE, TRUE, 0);
    PumpFor(100);
    img = CaptureScreen(ClientOnScreen());
    CheckButtonPixels(img, g_hYesButton, false, UI_COLOR_BUTTON_PRESSED, "pressed yes");
    SendMessageW(g_hYesButton, BM_SETSTATE, FALSE, 0);
    // The focus border follows Tab.
    KeyToFocus(VK_TAB);
    PumpFor(100);
    img = CaptureScreen(ClientOnScreen());
    CheckButtonPixels(img, g_hYesButton, true, UI_COLOR_BUTTON_FACE, "focused yes");
    CheckButtonPixels(img, g_hNoButton, false, UI_COLOR_BUTTON_FACE, "no after tab");
    CloseMain();
}

void CheckOtherScreenPixels()
{
    ReportLine("# status and failed screen pixels");
    StubReset({kExit1, {0, 0, STUB_UNTIL_CANCEL, 0}});
    CreateMain();
    const int H = [] {
        RECT rc;
        GetClientRect(s_hWnd, &rc);
        return static_cast<int>(rc.bottom);
    }();
    CHECK(StartFromNotice(SCREEN_RETRY));
    PumpFor(150);
    Image img = CaptureScreen(ClientOnScreen());
    // The retry text's last line ends above the progress bar's top less 20.
    Box red = InkBox(img, 0, 0, img.w - 1, H / 2 - 1, IsRed);
    CHECK(!red.Empty() && red.y1 <= H / 2 - 20 && red.y1 > H / 2 - 60, "retry text bottom %d", red.y1);
    CheckButtonPixels(img, g_hOkButton, true, UI_COLOR_BUTTON_FACE, "ok");
    SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
    CHECK(WaitStubWaiting());
    PostMessageW(s_hWnd, WM_TIMER, TIMER_LIMIT, 0);
    CHECK(WaitScreen(SCREEN_FAILED));
    PumpFor(150);
    img = CaptureScreen(ClientOnScreen());
    const std::vector<HLine> lines = FindLines(img, 200, 0, H - 110);
    CHECK(lines.size() == 2, "%u lines", static_cast<unsigned>(lines.size()));
    if (lines.size() == 2) {
        CHECK(RingOutsideWhite(img, lines[0], lines[1], "around the failed screen's contact frame"));
        CHECK(AllWhite(img, lines[0].x0 + 2, lines[0].y1 + 1, lines[0].x0 + 10, lines[1].y0 - 1, "contact band"));
        // Red above and below the frame, none beside it.
        red = InkBox(img, 0, 0, img.w - 1, lines[0].y0 - 1, IsRed);
        const Box redBelow = InkBox(img, 0, lines[1].y1 + 1, img.w - 1, H - 1, IsRed);
        CHECK(!red.Empty() && !redBelow.Empty() && red.y0 >= H / 4);
    }
    CloseMain();
}

// Paints every screen into windows of several sizes, from tiny to small,
// over a magenta backdrop: nothing may crash and nothing may be drawn
// outside the window.
void CheckSmallWindows()
{
    ReportLine("# small windows");
    HWND hBackdrop = CreateWindowExW(0, L"static", L"", WS_POPUP | WS_VISIBLE, 0, 0,
                                     GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), NULL, NULL,
                                     g_hInstance, NULL);
    StubReset({});
    CreateMain();
    const SIZE sizes[] = {{1, 1}, {7, 5}, {60, 40}, {160, 120}, {420, 300}};
    const UINT screens[] = {SCREEN_NOTICE, SCREEN_UPDATING, SCREEN_COMPLETED, SCREEN_FAILED, SCREEN_RETRY};
    for (const SIZE& s : sizes) {
        SetWindowPos(s_hWnd, NULL, 200, 150, s.cx, s.cy, SWP_NOZORDER | SWP_NOACTIVATE);
        for (UINT nScreen : screens) {
            g_nScreen = nScreen;
            HDC hdc = GetDC(hBackdrop);
            HBRUSH hMagenta = CreateSolidBrush(RGB(255, 0, 255));
            RECT rcAll = {0, 0, 800, 600};
            FillRect(hdc, &rcAll, hMagenta);
            DeleteObject(hMagenta);
            ReleaseDC(hBackdrop, hdc);
            Repaint();
            PumpFor(30);
            const RECT rcArea = {0, 0, 800, 600};
            const Image img = CaptureScreen(rcArea);
            int nOutside = 0;
            for (int y = 0; y < img.h; ++y) {
                for (int x = 0; x < img.w; ++x) {
                    const bool bInside = x >= 200 && x < 200 + s.cx && y >= 150 && y < 150 + s.cy;
                    if (!bInside && img.at(x, y) != 0xFF00FF) {
                        ++nOutside;
                    }
                }
            }
            CHECK(nOutside == 0, "%ldx%ld screen %u: %d pixels outside", s.cx, s.cy, nScreen, nOutside);
        }
    }
    g_nScreen = SCREEN_NOTICE;
    CloseMain();
    DestroyWindow(hBackdrop);
}

// ---------------------------------------------------------------------------
// Resource hygiene: GDI objects and handles created by the window's code
// are counted through the import-table hooks.

// The count once it has come back to nWant, or its value after a second:
// threads that have just posted their last message may still be ending.
long Settled(long (*pCount)(), long nWant)
{
    long n = pCount();
    for (int i = 0; i < 20 && n != nWant; ++i) {
        PumpFor(50);
        n = pCount();
    }
    return n;
}

void CheckHygiene()
{
    ReportLine("# resource hygiene");
    StubReset({kExit1, {0, 0, STUB_UNTIL_CANCEL, 0}});
    CreateMain();
    const UINT screens[] = {SCREEN_NOTICE, SCREEN_UPDATING, SCREEN_COMPLETED, SCREEN_FAILED, SCREEN_RETRY};
    Repaint();
    PumpFor(50);
    const ResourceCounts before = Counts();
    const long nGdiBefore = ProcessGdiObjects();
    const long nHandlesBefore = ProcessOpenHandles();
    for (UINT nScreen : screens) {
        g_nScreen = nScreen;
        for (int i = 0; i < 100; ++i) {
            Repaint();
        }
    }
    PumpFor(50);
    const ResourceCounts after = Counts();
    const long nGdiAfter = Settled(ProcessGdiObjects, nGdiBefore);
    const long nHandlesAfter = Settled(ProcessOpenHandles, nHandlesBefore);
    ReportLine("  500 repaints: %ld GDI objects created, live before %ld after %ld; process GDI objects %ld -> %ld, "
               "handles %ld -> %ld",
               after.gdiCreated - before.gdiCreated, before.gdiLive, after.gdiLive, nGdiBefore, nGdiAfter,
               nHandlesBefore, nHandlesAfter);
    CHECK(after.gdiCreated - before.gdiCreated >= 500 && after.gdiLive == before.gdiLive);
    CHECK(nGdiBefore > 0 && nGdiAfter == nGdiBefore && nHandlesBefore > 0 && nHandlesAfter == nHandlesBefore);
    CHECK(after.deletedSelected == 0 && after.deletedUnknown == 0);
    g_nScreen = SCREEN_NOTICE;
    CloseMain();

    // Whole runs with a retry: everything made is released.
    const ResourceCounts start = Counts();
    long nGdiStart = 0;
    long nHandlesStart = 0;
    for (int nRun = 0; nRun < 4; ++nRun) {
        if (nRun == 1) {
            // Measured from the end of a first run, which leaves what the
            // system's libraries keep once made (classes, caches).
            PumpFor(100);
            nGdiStart = ProcessGdiObjects();
            nHandlesStart = ProcessOpenHandles();
        }
        StubReset({kExit1, kOk, kOk});
        CreateMain();
        CHECK(StartFromNotice(SCREEN_RETRY));
        SendMessageW(s_hWnd, WM_COMMAND, IDC_OK, 0);
        CHECK(WaitScreen(SCREEN_COMPLETED));
        Repaint();
        SendMessageW(s_hWnd, WM_COMMAND, IDC_YES, 0);
        CHECK(PumpUntil(Gone, 2000) && g_bRestart);
    }
    PumpFor(100);
    const ResourceCounts end = Counts();
    const long nGdiEnd = Settled(ProcessGdiObjects, nGdiStart);
    const long nHandlesEnd = Settled(ProcessOpenHandles, nHandlesStart);
    ReportLine("  4 runs with a retry: GDI live %ld -> %ld, handles live %ld -> %ld; after runs 2 to 4: process GDI "
               "objects %ld -> %ld, handles %ld -> %ld",
               start.gdiLive, end.gdiLive, start.handlesLive, end.handlesLive, nGdiStart, nGdiEnd, nHandlesStart,
               nHandlesEnd);
    CHECK(end.gdiLive == start.gdiLive && end.handlesLive == start.handlesLive);
    CHECK(nGdiEnd == nGdiStart && nHandlesEnd == nHandlesStart);
    CHECK(end.deletedSelected == 0 && end.deletedUnknown == 0);
    CHECK(g_WorkerContext.hCancelEvent == NULL && g_WorkerContext.hDoneEvent == NULL);
}

// ---------------------------------------------------------------------------
// Screens for pictures and timing.

// Brings a fresh window to the given screen with the real transitions.
bool DriveTo(UINT nScreen)
{
    switch (nScreen) {
    case SCREEN_NOTICE:
        StubReset({});
        return CreateMain() != NULL;
    case SCREEN_UPDATING:
        StubReset({{0, 0, STUB_UNTIL_CANCEL, 0}});
        return CreateMain() && StartFromNotice(SCREEN_UPDATING) && WaitStubWaiting();
    case SCREEN_COMPLETED:
        StubReset({kOk, kOk});
        return CreateMain() && StartFromNotice(SCREEN_COMPLETED);
    case SCREEN_RETRY:
        StubReset({kExit1});
        return CreateMain() && StartFromNotice(SCREEN_RETRY);
    case SCREEN_FAILED:
        StubReset({kRunTimeout});
        return CreateMain() && StartFromNotice(SCREEN_FAILED);
    default:
        return false;
    }
}

const wchar_t* const kScreenNames[] = {L"notice", L"updating", L"completed", L"failed", L"retry"};

int RunShots(const std::wstring& dir, const std::wstring& prefix)
{
    const UINT order[] = {SCREEN_NOTICE, SCREEN_UPDATING, SCREEN_COMPLETED, SCREEN_RETRY, SCREEN_FAILED};
    int n = 0;
    for (UINT nScreen : order) {
        CHECK(DriveTo(nScreen), "screen %u", nScreen);
        Repaint();
        PumpFor(300);
        RECT rc;
        GetWindowRect(s_hWnd, &rc);
        const Image img = CaptureScreen(rc);
        wchar_t name[64];
        swprintf(name, 64, L"%d-%ls", ++n, kScreenNames[nScreen]);
        CHECK(SaveBmp(img, dir + L"\\" + prefix + L"-" + name + L".bmp"));
        CloseMain();
    }
    return 0;
}

int RunTiming()
{
    const UINT order[] = {SCREEN_NOTICE, SCREEN_UPDATING, SCREEN_COMPLETED, SCREEN_RETRY, SCREEN_FAILED};
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    RECT rcClient = {0, 0, 0, 0};
    for (UINT nScreen : order) {
        CHECK(DriveTo(nScreen), "screen %u", nScreen);
        GetClientRect(s_hWnd, &rcClient);
        HDC hdc = GetDC(s_hWnd);
        const int nDpi = GetDeviceCaps(hdc, LOGPIXELSY);
        ReleaseDC(s_hWnd, hdc);
        std::vector<double> ms;
        for (int i = 0; i < 100; ++i) {
            // Only the window's own WM_PAINT (not the child controls'):
            // invalidate and erase first, then time the paint alone.
            RedrawWindow(s_hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ERASENOW | RDW_NOCHILDREN);
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            SendMessageW(s_hWnd, WM_PAINT, 0, 0);
            GdiFlush();
            QueryPerformanceCounter(&t1);
            ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart));
        }
        std::sort(ms.begin(), ms.end());
        ReportLine("paint %-9ls %ldx%ld %d dpi: min %.2f ms, median %.2f ms, max %.2f ms (%u paints)",
                   kScreenNames[nScreen], rcClient.right, rcClient.bottom, nDpi, ms.front(), ms[ms.size() / 2],
                   ms.back(), static_cast<unsigned>(ms.size()));
        CloseMain();
    }
    return 0;
}

void MakeDpiAware()
{
    typedef BOOL(WINAPI * SetContextFn)(HANDLE);
    HMODULE hUser = GetModuleHandleW(L"user32.dll");
    auto pSetContext = reinterpret_cast<SetContextFn>(
        reinterpret_cast<void*>(GetProcAddress(hUser, "SetProcessDpiAwarenessContext")));
    // The program's manifest asks for per-monitor awareness.
    if (pSetContext == NULL || !pSetContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)))) {
        SetProcessDPIAware();
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: ui_harness check REPORT | shots DIR PREFIX REPORT | timing REPORT\n");
        return 2;
    }
    const std::wstring mode = argv[1];
    ReportOpen(argv[argc - 1]);
    MakeDpiAware();
    g_hInstance = GetModuleHandleW(NULL);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    CHECK(InstallHooks());
    RegisterMainClass();
    {
        HDC hdc = GetDC(NULL);
        ReportLine("# desktop %dx%d, %d dpi", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                   GetDeviceCaps(hdc, LOGPIXELSY));
        ReleaseDC(NULL, hdc);
    }

    if (mode == L"check") {
        CheckFittedText();
        CheckWorkerGuards();
        CheckNoticeScreen();
        CheckSuccessfulAttempt();
        CheckUpdatingScreen();
        CheckRetry();
        CheckPower();
        CheckDisplayChanges();
        CheckNoticePixels();
        CheckOtherScreenPixels();
        CheckSmallWindows();
        CheckHygiene();
    } else if (mode == L"shots" && argc >= 5) {
        RunShots(argv[2], argv[3]);
    } else if (mode == L"timing") {
        RunTiming();
    } else {
        ReportLine("unknown mode");
        Check(false, "mode", __LINE__);
    }
    const int nFailed = ReportClose();
    return nFailed == 0 ? 0 : 1;
}
