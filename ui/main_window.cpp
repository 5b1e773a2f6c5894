// The main window: its child controls, timers, screens and the two update
// attempts with one retry offer between them.
#include "ui/main_window.h"

#include <commctrl.h>

#include "ui/screen_paint.h"
#include "ui/screen_texts.h"
#include "ui/text_layout.h"
#include "ui/update_worker.h"

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(WNDCLASSEXW) == 48, "WNDCLASSEXW of a 32-bit program is 48 bytes");
#endif

UINT g_nScreen = SCREEN_NOTICE;
UINT g_nQuitCode = 0;
LONG g_nRetriesLeft = 1;
UINT_PTR g_nLimitTimer = 0;
UINT_PTR g_nProgressTimer = 0;
UINT_PTR g_nForegroundTimer = 0;
UINT_PTR g_nDisplayTimer = 0;
HWND g_hProgress = NULL;
HWND g_hYesButton = NULL;
HWND g_hNoButton = NULL;
HWND g_hOkButton = NULL;
WorkerContext g_WorkerContext = {NULL, NULL, NULL};

namespace {

// Set when WM_CREATE fails: the window then never ran, so its destruction
// must neither wait for an attempt nor end the caller's message loop.
bool s_bCreateFailed = false;

const WCHAR kWindowClassName[] = L"Velmorant_Quillmere_20160204_WndClass";

const DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
const int kButtonWidth = 200;
const int kButtonHeight = 60;

void StopTimer(HWND hWnd, UINT_PTR* pnTimer)
{
    if (*pnTimer != 0) {
        KillTimer(hWnd, *pnTimer);
        *pnTimer = 0;
    }
}

// Stops a running instance with the stored id, then starts the timer and
// stores the new id (0 if it could not be started).
void RestartTimer(HWND hWnd, UINT_PTR* pnTimer, UINT_PTR nId, UINT uPeriodMs)
{
    if (*pnTimer != 0) {
        KillTimer(hWnd, *pnTimer);
    }
    *pnTimer = SetTimer(hWnd, nId, uPeriodMs, NULL);
}

HWND CreateButton(HWND hWnd, int nId, DWORD dwStyle)
{
    return CreateWindowExW(0, L"button", L"", dwStyle, 0, 0, kButtonWidth, kButtonHeight, hWnd,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(nId)), g_hInstance, NULL);
}

void CloseWorkerEvents()
{
    if (g_WorkerContext.hCancelEvent != NULL) {
        CloseHandle(g_WorkerContext.hCancelEvent);
        g_WorkerContext.hCancelEvent = NULL;
    }
    if (g_WorkerContext.hDoneEvent != NULL) {
        CloseHandle(g_WorkerContext.hDoneEvent);
        g_WorkerContext.hDoneEvent = NULL;
    }
}

void Redraw(HWND hWnd)
{
    RedrawWindow(hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

// What each screen shows of the four controls, and where the focus goes
// when the window changes to it. The progress bar is shown, hidden, or left
// as it was (full, after an attempt).
enum BarChange { BAR_KEEP, BAR_SHOW, BAR_HIDE };
struct ScreenControls {
    bool bYes, bNo, bOk;
    BarChange bar;
    HWND* phFocus;  // NULL: the focus is not moved
};
const ScreenControls kScreenControls[] = {
    // by g_nScreen
    {true, true, false, BAR_HIDE, &g_hNoButton},     // SCREEN_NOTICE (as created)
    {false, false, false, BAR_SHOW, NULL},           // SCREEN_UPDATING
    {true, true, false, BAR_KEEP, &g_hYesButton},    // SCREEN_COMPLETED
    {false, false, true, BAR_HIDE, &g_hOkButton},    // SCREEN_FAILED
    {false, false, true, BAR_KEEP, &g_hOkButton},    // SCREEN_RETRY
};
static_assert(sizeof(kScreenControls) / sizeof(kScreenControls[0]) == SCREEN_RETRY + 1, "one row per screen");

void ApplyControls(const ScreenControls& c)
{
    ShowWindow(g_hYesButton, c.bYes ? SW_SHOW : SW_HIDE);
    ShowWindow(g_hNoButton, c.bNo ? SW_SHOW : SW_HIDE);
    ShowWindow(g_hOkButton, c.bOk ? SW_SHOW : SW_HIDE);
    if (c.bar != BAR_KEEP) {
        ShowWindow(g_hProgress, c.bar == BAR_SHOW ? SW_SHOW : SW_HIDE);
    }
    if (c.phFocus != NULL) {
        SetFocus(*c.phFocus);
    }
}

// The two orders of a screen change: an attempt's start shows its controls
// before the screen is set and painted; a result's screen is set and
// painted first, and the controls follow.
enum ChangeOrder { CONTROLS_FIRST, PAINT_FIRST };

// While the updating screen shows, Windows' shutdown screen names the reason
// the window refuses the end of the session: a firmware flash is under way.
// Withdrawn when another screen follows or the window goes.
bool s_bBlockReason = false;

void SetShutdownBlockReason(HWND hWnd, bool bUpdating)
{
    if (bUpdating && !s_bBlockReason) {
        s_bBlockReason = ShutdownBlockReasonCreate(hWnd, UI_TEXT_UPDATING) != FALSE;
    } else if (!bUpdating && s_bBlockReason) {
        ShutdownBlockReasonDestroy(hWnd);
        s_bBlockReason = false;
    }
}

void ChangeScreen(HWND hWnd, UINT nScreen, ChangeOrder order)
{
    SetShutdownBlockReason(hWnd, nScreen == SCREEN_UPDATING);
    const ScreenControls& c = kScreenControls[nScreen];
    if (order == CONTROLS_FIRST) {
        ApplyControls(c);
    }
    g_nScreen = nScreen;
    Redraw(hWnd);
    if (order == PAINT_FIRST) {
        ApplyControls(c);
    }
}

LRESULT OnCreate(HWND hWnd)
{
    s_bCreateFailed = false;
    g_WorkerContext.hCancelEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    // Signalled: no worker runs yet (see StartWorker).
    g_WorkerContext.hDoneEvent = CreateEventW(NULL, TRUE, TRUE, NULL);
    g_WorkerContext.hWnd = hWnd;

    g_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, NULL, WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0, hWnd,
                                  NULL, g_hInstance, NULL);
    if (g_hProgress != NULL) {
        SendMessageW(g_hProgress, PBM_SETRANGE32, 0, PROGRESS_MAX);
        SendMessageW(g_hProgress, PBM_SETSTEP, 1, 0);
    }
    g_hYesButton = CreateButton(hWnd, IDC_YES, kButtonStyle);
    g_hNoButton = CreateButton(hWnd, IDC_NO, kButtonStyle);
    g_hOkButton = CreateButton(hWnd, IDC_OK, kButtonStyle & ~WS_VISIBLE);

    SetFocus(g_hNoButton);
    RestartTimer(hWnd, &g_nForegroundTimer, TIMER_FOREGROUND, FOREGROUND_PERIOD_MS);
    LockSetForegroundWindow(LSFW_LOCK);

    if (g_WorkerContext.hCancelEvent == NULL || g_WorkerContext.hDoneEvent == NULL ||
        g_hProgress == NULL || g_hYesButton == NULL || g_hNoButton == NULL ||
        g_hOkButton == NULL) {
        // No attempt will ever run. Release what was made here, so that the
        // destruction that may follow has nothing to wait for, and remember
        // not to post a quit message: the caller reports the failure itself,
        // and a stray WM_QUIT would end its message box at once.
        s_bCreateFailed = true;
        StopTimer(hWnd, &g_nForegroundTimer);
        CloseWorkerEvents();
        return -1;
    }
    return 0;
}

void OnSize(WPARAM wParam, LPARAM lParam)
{
    if (wParam != SIZE_MAXIMIZED) {
        return;
    }
    const int w = LOWORD(lParam);
    const int h = HIWORD(lParam);
    const UINT uMove = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(g_hProgress, NULL, 30, h / 2, w - 60, 100, uMove);
    SetWindowPos(g_hYesButton, NULL, w / 2 - 210, h - 100, 0, 0, uMove | SWP_NOSIZE);
    SetWindowPos(g_hNoButton, NULL, w / 2 + 10, h - 100, 0, 0, uMove | SWP_NOSIZE);
    SetWindowPos(g_hOkButton, NULL, w / 2 - 100, h - 100, 0, 0, uMove | SWP_NOSIZE);
}

void StartAttempt(HWND hWnd)
{
    ChangeScreen(hWnd, SCREEN_UPDATING, CONTROLS_FIRST);
    PostMessageW(hWnd, WM_APP_UPDATE, UPDATE_START, 0);
}

// The window's destruction waits on the done event, so the event is
// signalled whenever no worker runs: it is created signalled, and only this
// function clears it, for the worker it starts, which signals it once its
// attempt is decided; when no worker starts, it is signalled again here. So
// a close on the notice screen, before UPDATE_START is handled, or after a
// start that failed has nothing to wait for.
bool StartWorker()
{
    // Each attempt starts with both events clear. The done event of a first
    // attempt stays signalled otherwise, and a destruction during the second
    // attempt would then not wait for that attempt's worker. The cancel event
    // may have been signalled by the limit timer in the instant the first
    // attempt reported a failure; left set, it would cancel the second
    // attempt's reflash run right after starting it. Both workers never
    // overlap: the first one has signalled its done event before its result
    // (which led here through the retry screen) was posted.
    ResetEvent(g_WorkerContext.hDoneEvent);
    ResetEvent(g_WorkerContext.hCancelEvent);
    if (StartUpdateWorker(&g_WorkerContext)) {
        return true;
    }
    SetEvent(g_WorkerContext.hDoneEvent);
    return false;
}

void OnUpdateStart(HWND hWnd)
{
    RestartTimer(hWnd, &g_nLimitTimer, TIMER_LIMIT, LIMIT_PERIOD_MS);
    if (g_nLimitTimer == 0 || !StartWorker()) {
        g_nQuitCode = IDS_START_FAILED;
        DestroyWindow(hWnd);
        return;
    }
    RestartTimer(hWnd, &g_nProgressTimer, TIMER_PROGRESS, PROGRESS_PERIOD_MS);
}

void OnUpdateResult(HWND hWnd, DWORD dwResult)
{
    switch (dwResult) {
    case 0:
        ChangeScreen(hWnd, SCREEN_COMPLETED, PAINT_FIRST);
        break;
    case RESULT_AC_OFFLINE:
        g_nQuitCode = IDS_CONNECT_AC_ADAPTER;
        DestroyWindow(hWnd);
        break;
    case RESULT_NO_BATTERY:
        g_nQuitCode = IDS_ATTACH_BATTERY;
        DestroyWindow(hWnd);
        break;
    case RUN_TIMEOUT:
        ChangeScreen(hWnd, SCREEN_FAILED, PAINT_FIRST);
        break;
    default: {
        const LONG nOld = g_nRetriesLeft;
        g_nRetriesLeft = nOld - 1;
        ChangeScreen(hWnd, nOld > 0 ? SCREEN_RETRY : SCREEN_FAILED, PAINT_FIRST);
        break;
    }
    }
    PostMessageW(g_hProgress, PBM_SETPOS, PROGRESS_MAX, 0);
    StopTimer(hWnd, &g_nLimitTimer);
    StopTimer(hWnd, &g_nProgressTimer);
}

// What a button does on each screen. While an attempt runs the buttons are
// hidden, yet a queued click, the second click of a double click (an
// owner-drawn button reports it as a command too) or any stray command can
// still arrive: none may restart the computer or end the run under the
// reflash tool (a close request goes its own way, WM_CLOSE). A command of a
// button its screen hides (Yes on the failed and retry screens, OK on the
// notice and completion screens) does what its row says.
enum Action { ACT_NONE, ACT_ATTEMPT, ACT_RESTART, ACT_END };
const Action kScreenCommands[][3] = {
    // by g_nScreen: IDC_YES, IDC_NO, IDC_OK
    {ACT_ATTEMPT, ACT_END, ACT_END},      // SCREEN_NOTICE (OK means No)
    {ACT_NONE, ACT_NONE, ACT_NONE},       // SCREEN_UPDATING
    {ACT_RESTART, ACT_END, ACT_END},      // SCREEN_COMPLETED
    {ACT_RESTART, ACT_END, ACT_RESTART},  // SCREEN_FAILED
    {ACT_RESTART, ACT_END, ACT_ATTEMPT},  // SCREEN_RETRY
};
static_assert(sizeof(kScreenCommands) / sizeof(kScreenCommands[0]) == SCREEN_RETRY + 1, "one row per screen");
static_assert(IDC_NO == IDC_YES + 1 && IDC_OK == IDC_YES + 2, "the columns follow the ids");

// The button a command stands for, or 0 for none: the dialog manager's IDOK
// (Enter) is the focused button, its IDCANCEL (Escape) No where No is shown.
int CommandButton(int nId)
{
    if (nId == IDOK) {
        const HWND hFocus = GetFocus();
        const struct { HWND hButton; int nId; } buttons[] = {
            {g_hYesButton, IDC_YES}, {g_hNoButton, IDC_NO}, {g_hOkButton, IDC_OK}};
        for (const auto& b : buttons) {
            if (hFocus != NULL && hFocus == b.hButton) {
                return b.nId;
            }
        }
        return 0;
    }
    if (nId == IDCANCEL) {
        return IsWindowVisible(g_hNoButton) ? IDC_NO : 0;
    }
    return nId >= IDC_YES && nId <= IDC_OK ? nId : 0;
}

LRESULT OnCommand(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    const int nButton = CommandButton(LOWORD(wParam));
    if (nButton == 0) {
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    switch (kScreenCommands[g_nScreen][nButton - IDC_YES]) {
    case ACT_ATTEMPT:
        StartAttempt(hWnd);
        break;
    case ACT_RESTART:
        g_bRestart = TRUE;
        DestroyWindow(hWnd);
        break;
    case ACT_END:
        DestroyWindow(hWnd);
        break;
    case ACT_NONE:
        break;
    }
    return 0;
}

void RunForegroundSequence(HWND hWnd)
{
    const DWORD dwOwn = GetWindowThreadProcessId(hWnd, NULL);
    const DWORD dwForeground = GetWindowThreadProcessId(GetForegroundWindow(), NULL);
    BOOL bAttached = FALSE;
    if (dwOwn != dwForeground) {
        bAttached = AttachThreadInput(dwOwn, dwForeground, TRUE);
    }
    SetForegroundWindow(hWnd);
    BringWindowToTop(hWnd);
    if (bAttached) {
        AttachThreadInput(dwOwn, dwForeground, FALSE);
    }
}

void OnTimer(HWND hWnd, UINT_PTR nId)
{
    if (nId == 0) {
        return;
    }
    if (nId == g_nLimitTimer) {
        SetEvent(g_WorkerContext.hCancelEvent);
        StopTimer(hWnd, &g_nLimitTimer);
        StopTimer(hWnd, &g_nProgressTimer);
    } else if (nId == g_nProgressTimer) {
        SendMessageW(g_hProgress, PBM_STEPIT, 0, 0);
    } else if (nId == g_nForegroundTimer) {
        RunForegroundSequence(hWnd);
    } else if (nId == g_nDisplayTimer) {
        StopTimer(hWnd, &g_nDisplayTimer);
        EnumDisplayMonitors(NULL, NULL, FitWindowToPrimaryMonitor, reinterpret_cast<LPARAM>(hWnd));
    }
}

void OnDestroy(HWND hWnd)
{
    SetShutdownBlockReason(hWnd, false);
    StopTimer(hWnd, &g_nLimitTimer);
    StopTimer(hWnd, &g_nProgressTimer);
    StopTimer(hWnd, &g_nForegroundTimer);
    StopTimer(hWnd, &g_nDisplayTimer);

    if (g_WorkerContext.hCancelEvent != NULL) {
        SetEvent(g_WorkerContext.hCancelEvent);
    }
    // The running attempt's worker signals this event before it touches
    // nothing more; only then may the events be closed.
    if (g_WorkerContext.hDoneEvent != NULL) {
        WaitForSingleObject(g_WorkerContext.hDoneEvent, DESTROY_WAIT_MS);
    }
    if (!s_bCreateFailed) {
        PostQuitMessage(static_cast<int>(g_nQuitCode));
    }
    CloseWorkerEvents();
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CREATE:
        return OnCreate(hWnd);
    case WM_DESTROY:
        OnDestroy(hWnd);
        return 0;
    case WM_SIZE:
        OnSize(wParam, lParam);
        return 0;
    case WM_PAINT:
        return PaintScreen(hWnd);
    case WM_QUERYENDSESSION:
        // Every request to end the logon is refused while the window exists.
        return FALSE;
    case WM_DRAWITEM:
        return DrawOwnerButton(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_DISPLAYCHANGE:
    case WM_DPICHANGED:
        // Several changes in a row lead to one refit, a second after the last.
        RestartTimer(hWnd, &g_nDisplayTimer, TIMER_DISPLAY, DISPLAY_PERIOD_MS);
        return 0;
    case WM_COMMAND:
        return OnCommand(hWnd, uMsg, wParam, lParam);
    case WM_TIMER:
        OnTimer(hWnd, static_cast<UINT_PTR>(wParam));
        return 0;
    case WM_APP_UPDATE:
        if (wParam == UPDATE_START) {
            OnUpdateStart(hWnd);
        } else if (wParam == UPDATE_RESULT) {
            OnUpdateResult(hWnd, static_cast<DWORD>(lParam));
        }
        return 0;
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

MainWindowClass RegisterMainWindowClass()
{
    MainWindowClass windowClass = {0, CreateSolidBrush(RGB(0xFF, 0xFF, 0xFF))};
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = g_hInstance;
    wc.hIcon = LoadIconW(g_hInstance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
    wc.hbrBackground = windowClass.hBackground;
    wc.lpszMenuName = NULL;
    wc.lpszClassName = kWindowClassName;
    wc.hIconSm = NULL;
    windowClass.atom = RegisterClassExW(&wc);
    return windowClass;
}

HWND CreateMainWindow()
{
    HWND hWnd = CreateWindowExW(WS_EX_TOPMOST, kWindowClassName, g_szTitle, WS_POPUP | WS_VISIBLE,
                                CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, g_hInstance, NULL);
    if (hWnd != NULL) {
        ShowWindow(hWnd, SW_SHOWMAXIMIZED);
        UpdateWindow(hWnd);
    }
    return hWnd;
}

void UnregisterMainWindowClass(const MainWindowClass& windowClass)
{
    // The class owns its background brush from a successful registration
    // on and frees it when unregistered.
    if (windowClass.atom != 0) {
        UnregisterClassW(kWindowClassName, g_hInstance);
    } else if (windowClass.hBackground != NULL) {
        DeleteObject(windowClass.hBackground);
    }
}
