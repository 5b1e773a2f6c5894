// UI harness: the main window, registered and created by the program's own
// code, with a scripted child runner and power status, and import-table hooks
// that count GDI objects and handles. Run inside a Wine virtual desktop (run-gui.sh):
//   check REPORT             the state table, drawn texts, timers, small sizes, hygiene
//   shots DIR PREFIX REPORT  a screenshot of each of the five screens and of the
//                            message box after the window
// Commands that arrive while an attempt runs (a double click's second click)
// are the scenario update_stray_commands'.
#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ui/main_window.h"
#include "ui/screen_paint.h"
#include "ui/text_layout.h"
#include "expected_values.h"

// Doubles of the globals the program's entry code defines (the scripted
// runner below never reads the tools' paths).
HINSTANCE g_hInstance = NULL;
WCHAR g_szTitle[MAX_PATH] = L"Quillmere";
WCHAR g_szInfoToolPath[MAX_PATH] = L"";
WCHAR g_szReflashToolPath[MAX_PATH] = L"";
BOOL g_bRestart = FALSE;

namespace {

CRITICAL_SECTION s_lock;
struct Lock {
    Lock() { EnterCriticalSection(&s_lock); }
    ~Lock() { LeaveCriticalSection(&s_lock); }
};
// What the hooks recorded in v, leaving it empty.
template <typename T>
T Take(T& v) { return Lock(), T(std::move(v)); }

// Report: one line per failure, then "ui_harness: N passed, N failed".
FILE* s_report = stdout;
int s_passed = 0, s_failed = 0;

void ReportLine(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    vfprintf(s_report, pszFormat, args);
    va_end(args);
    fputc('\n', s_report);
    fflush(s_report);
}

bool Check(bool bOk, const char* pszWhat, int nLine, const char* pszFormat, ...)
{
    if (bOk) return ++s_passed, true;
    char detail[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(detail, sizeof(detail), pszFormat, args);
    va_end(args);
    ReportLine("FAIL line %d: %s %s", nLine, pszWhat, detail);
    return ++s_failed, false;
}
#define CHECK(cond, ...) Check((cond), #cond, __LINE__, "" __VA_ARGS__)

// The scripted child runner (RunChildProcess below): each call takes the next
// step, RUN_ERROR when none is left. An until-cancel step waits for the
// cancel event, lingers, and answers RUN_TIMEOUT.
struct StubStep {
    DWORD dwResult, dwExitCode;
    bool bUntilCancel;
    DWORD dwLingerMs;
};
struct StubCall {
    bool bCancelSetOnEntry, bCancelSeen;
};
const StubStep kOk = {0, 0, false, 0}, kExit1 = {0, 1, false, 0}, kRunTimeout = {RUN_TIMEOUT, 0, false, 0};
const StubStep kUntilCancel = {0, 0, true, 0}, kUntilCancelLinger = {0, 0, true, 400};
std::vector<StubStep> s_steps;
size_t s_nextStep = 0;
std::vector<StubCall> s_calls;
HANDLE s_hWaiting = NULL;  // set when an until-cancel step starts waiting

void StubReset(const std::vector<StubStep>& steps) { Lock(), s_steps = steps, s_nextStep = 0, s_calls.clear(), ResetEvent(s_hWaiting); }
std::vector<StubCall> StubCalls() { return Lock(), s_calls; }

// Hooks in this program's import table, through which the statically linked
// qm_ui calls too: GDI objects, paint DCs and handles made and released,
// deletions of selected or unknown objects, the texts drawn, the scripted
// power status, the destruction's wait for the attempt, and failures on demand.
std::set<HGDIOBJ> s_liveGdi;
std::set<HANDLE> s_liveHandles;
long s_gdiCreated = 0, s_deletedBad = 0;
// Failures on demand: events, the message loop's retrieval, the limit timer
// (id 10), the worker thread, and the nth creation of a child control of one class.
long s_failCreateEvents = 0, s_failGetMessage = 0, s_failLimitTimer = 0, s_failThread = 0, s_failControlNth = 0;
const wchar_t* s_failControlClass = NULL;
HDC s_recentDcs[32];
size_t s_nextDc = 0;
SYSTEM_POWER_STATUS s_power;
BOOL s_bPowerOk = TRUE;
bool s_bCancelAtPowerCheck = false;  // a close lands just before the reflash tool would start
// Whether the destruction's wait found the done event signalled (1) or not
// (0); -1 when it did not wait.
int s_nDoneSetAtWait = -1;
// Timers started, pens and brushes made, shutdown-block reasons registered
// (their text) and withdrawn (an empty text), for the checks below.
std::vector<std::pair<UINT_PTR, UINT>> s_timersStarted;
std::vector<std::pair<COLORREF, int>> s_pensMade;  // colour, width
std::vector<COLORREF> s_brushesMade;
std::vector<std::pair<HWND, std::wstring>> s_blockReasons;
// Every text drawn (not measured), with its colour, font and box.
struct DrawnText {
    std::wstring text;
    COLORREF colour;
    LOGFONTW font;
    RECT rc;
};
std::vector<DrawnText> s_drawnTexts;

struct ResourceCounts {
    long gdiLive, gdiCreated, deletedBad, handlesLive;
};
ResourceCounts Counts() { return Lock(), ResourceCounts{long(s_liveGdi.size()), s_gdiCreated, s_deletedBad, long(s_liveHandles.size())}; }
void SetPowerStatus(BOOL bOk, BYTE bAc, BYTE bBattery) { Lock(), s_bPowerOk = bOk, s_power = {bAc, bBattery, 80, 0, 0, 0}; }

// The hooked functions: Hook_f replaces f, s_f is the original.
#define HOOKED(X)                                                                                                 \
    X(CreateFontW) X(CreatePen) X(CreateSolidBrush) X(DeleteObject) X(SelectObject) X(BeginPaint) X(EndPaint)    \
    X(CreateEventW) X(CloseHandle) X(WaitForSingleObject) X(GetSystemPowerStatus) X(DrawTextExW) X(_beginthreadex) \
    X(GetMessageW) X(SetTimer) X(CreateWindowExW) X(ShutdownBlockReasonCreate) X(ShutdownBlockReasonDestroy)
#define ORIGINAL(f) decltype(&f) s_##f;
HOOKED(ORIGINAL)
#undef ORIGINAL

template <typename T>
T Track(T h, bool bGdi)
{
    Lock lock;
    if (h) bGdi ? (++s_gdiCreated, s_liveGdi.insert(HGDIOBJ(h))) : s_liveHandles.insert(HANDLE(h));
    return h;
}
void NotePen(int, int nWidth, COLORREF c) { s_pensMade.emplace_back(c, nWidth); }
void NoteBrush(COLORREF c) { s_brushesMade.push_back(c); }

// The hook of a creator: note(args) first if given, failing (NULL, out of
// memory) while *pnFail counts down, else the original's result tracked.
template <auto& pOrig, bool bGdi, long* pnFail = nullptr, auto note = nullptr, typename R, typename... A>
R WINAPI Made(A... a)
{
    Lock lock;
    if constexpr (!std::is_null_pointer<decltype(note)>::value) note(a...);
    if (pnFail != nullptr && *pnFail > 0) {
        --*pnFail;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return R();
    }
    return Track(pOrig(a...), bGdi);
}
const decltype(&CreateFontW) Hook_CreateFontW = &Made<s_CreateFontW, true>;
const decltype(&CreatePen) Hook_CreatePen = &Made<s_CreatePen, true, nullptr, NotePen>;
const decltype(&CreateSolidBrush) Hook_CreateSolidBrush = &Made<s_CreateSolidBrush, true, nullptr, NoteBrush>;
const decltype(&CreateEventW) Hook_CreateEventW = &Made<s_CreateEventW, false, &s_failCreateEvents>;
// A paint's DC counts as a GDI object from BeginPaint to EndPaint.
const decltype(&BeginPaint) Hook_BeginPaint = &Made<s_BeginPaint, true>;
BOOL WINAPI Hook_EndPaint(HWND hWnd, const PAINTSTRUCT* p) { return Lock(), s_liveGdi.erase(p->hdc), s_EndPaint(hWnd, p); }
BOOL WINAPI Hook_CloseHandle(HANDLE h) { return Lock(), s_liveHandles.erase(h), s_CloseHandle(h); }
uintptr_t __cdecl Hook__beginthreadex(void* pSecurity, unsigned nStack, unsigned(__stdcall* pStart)(void*),
                                      void* pArg, unsigned nFlags, unsigned* pnThreadId)
{
    if (s_failThread > 0) return --s_failThread, 0;
    return Track(s__beginthreadex(pSecurity, nStack, pStart, pArg, nFlags, pnThreadId), false);
}

HGDIOBJ WINAPI Hook_SelectObject(HDC hdc, HGDIOBJ hObject)
{
    Lock lock;
    if (std::find(std::begin(s_recentDcs), std::end(s_recentDcs), hdc) == std::end(s_recentDcs))
        s_recentDcs[s_nextDc++ % 32] = hdc;
    return s_SelectObject(hdc, hObject);
}

// Counts deletions of objects still selected into a DC seen lately, and of
// fonts, pens or brushes not made through the hooks.
BOOL WINAPI Hook_DeleteObject(HGDIOBJ hObject)
{
    Lock lock;
    for (HDC dc : s_recentDcs)
        for (UINT nType : {OBJ_FONT, OBJ_PEN, OBJ_BRUSH})
            s_deletedBad += dc != NULL && GetCurrentObject(dc, nType) == hObject;
    const DWORD dwType = GetObjectType(hObject);
    if (s_liveGdi.erase(hObject) == 0 && (dwType == OBJ_FONT || dwType == OBJ_PEN || dwType == OBJ_BRUSH))
        ++s_deletedBad;
    return s_DeleteObject(hObject);
}

// The destruction's wait on the done event, noted and cut to 3 s, so that a
// wait for a worker that never came shows as a failure and not as a hang.
DWORD WINAPI Hook_WaitForSingleObject(HANDLE h, DWORD dwMs)
{
    if (h == NULL || h != g_WorkerContext.hDoneEvent) return s_WaitForSingleObject(h, dwMs);
    s_nDoneSetAtWait = s_WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    return s_WaitForSingleObject(h, std::min<DWORD>(dwMs, 3000));
}

BOOL WINAPI Hook_GetSystemPowerStatus(LPSYSTEM_POWER_STATUS p)
{
    Lock lock;
    *p = s_power;
    if (s_bCancelAtPowerCheck) SetEvent(g_WorkerContext.hCancelEvent);
    return s_bPowerOk;
}

// Windows shows these reasons on its shutdown screen; Wine shows none of them.
BOOL WINAPI Hook_ShutdownBlockReasonCreate(HWND hWnd, LPCWSTR pszReason)
{
    Lock lock;
    s_blockReasons.emplace_back(hWnd, pszReason != NULL ? pszReason : L"(none)");
    return TRUE;
}
BOOL WINAPI Hook_ShutdownBlockReasonDestroy(HWND hWnd) { return Lock(), s_blockReasons.emplace_back(hWnd, L""), TRUE; }

BOOL WINAPI Hook_GetMessageW(LPMSG pMsg, HWND hWnd, UINT uMin, UINT uMax)
{
    if (s_failGetMessage > 0) return --s_failGetMessage, SetLastError(ERROR_INVALID_PARAMETER), -1;
    return s_GetMessageW(pMsg, hWnd, uMin, uMax);
}

UINT_PTR WINAPI Hook_SetTimer(HWND hWnd, UINT_PTR nId, UINT uElapse, TIMERPROC pProc)
{
    if (nId == 10 && s_failLimitTimer > 0) return --s_failLimitTimer, 0;
    Lock(), s_timersStarted.emplace_back(nId, uElapse);
    return s_SetTimer(hWnd, nId, uElapse, pProc);
}

HWND WINAPI Hook_CreateWindowExW(DWORD dwEx, LPCWSTR pszClass, LPCWSTR pszName, DWORD dwStyle, int x, int y, int w,
                                 int h, HWND hParent, HMENU hMenu, HINSTANCE hInst, LPVOID pParam)
{
    if (s_failControlClass != NULL && !IS_INTRESOURCE(pszClass) && lstrcmpiW(pszClass, s_failControlClass) == 0 &&
        --s_failControlNth == 0) {
        s_failControlClass = NULL;
        return NULL;
    }
    return s_CreateWindowExW(dwEx, pszClass, pszName, dwStyle, x, y, w, h, hParent, hMenu, hInst, pParam);
}

int WINAPI Hook_DrawTextExW(HDC hdc, LPWSTR psz, int n, LPRECT prc, UINT uFormat, LPDRAWTEXTPARAMS p)
{
    if (!(uFormat & DT_CALCRECT) && prc != NULL) {
        DrawnText d = {std::wstring(psz, n < 0 ? wcslen(psz) : size_t(n)), GetTextColor(hdc), {}, *prc};
        GetObjectW(GetCurrentObject(hdc, OBJ_FONT), sizeof d.font, &d.font);
        Lock(), s_drawnTexts.push_back(d);
    }
    return s_DrawTextExW(hdc, psz, n, prc, uFormat, p);
}

// Points every import of pszName (from any DLL) at pReplacement.
template <typename F>
bool Patch(const char* pszName, F pReplacement, F* pOriginal)
{
    BYTE* pBase = reinterpret_cast<BYTE*>(GetModuleHandleW(NULL));
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
    bool bDone = false;
    for (auto* pImport = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
             pBase + pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         pImport->Name != 0; ++pImport) {
        if (pImport->OriginalFirstThunk == 0) continue;
        auto* pNames = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pImport->OriginalFirstThunk);
        auto* pAddrs = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pImport->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pAddrs) {
            const auto* pByName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pNames->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal) || strcmp(reinterpret_cast<const char*>(pByName->Name), pszName))
                continue;
            DWORD dwOld = 0;
            VirtualProtect(&pAddrs->u1.Function, sizeof(pAddrs->u1.Function), PAGE_READWRITE, &dwOld);
            if (*pOriginal == nullptr) *pOriginal = reinterpret_cast<F>(pAddrs->u1.Function);
            pAddrs->u1.Function = reinterpret_cast<ULONG_PTR>(pReplacement);
            VirtualProtect(&pAddrs->u1.Function, sizeof(pAddrs->u1.Function), dwOld, &dwOld);
            bDone = true;
        }
    }
    return bDone;
}

bool InstallHooks()
{
#define HOOK(f) &Patch(#f, +Hook_##f, &s_##f)
    return true HOOKED(HOOK);
#undef HOOK
}

// draw(hScreen, hMem, pixels) with a w x h 32-bit DIB section selected into
// the memory DC hMem; nothing for an empty size.
void WithBitmap(int w, int h, const std::function<void(HDC, HDC, const DWORD*)>& draw)
{
    HDC hScreen = GetDC(NULL), hMem = CreateCompatibleDC(hScreen);
    const BITMAPINFO bmi = {{sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    void* pBits = NULL;
    if (HBITMAP hBitmap = w > 0 && h > 0 ? CreateDIBSection(hMem, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0) : NULL) {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        draw(hScreen, hMem, static_cast<const DWORD*>(pBits));
        SelectObject(hMem, hOld);
        DeleteObject(hBitmap);
    }
    DeleteDC(hMem);
    ReleaseDC(NULL, hScreen);
}

// Whether painting screen nScreen by PaintContent into a w x h bitmap (white,
// as the window's background; g_nScreen untouched) left the DC's font, pen,
// brush, text colour and background mode as it found them.
bool PaintRestoresDc(UINT nScreen, int w, int h)
{
    bool bRestored = false;
    WithBitmap(w, h, [&](HDC, HDC hMem, const DWORD*) {
        PatBlt(hMem, 0, 0, w, h, WHITENESS);
        const auto state = [&] {
            return std::make_tuple(GetCurrentObject(hMem, OBJ_FONT), GetCurrentObject(hMem, OBJ_PEN),
                                   GetCurrentObject(hMem, OBJ_BRUSH), GetTextColor(hMem), GetBkMode(hMem));
        };
        const auto before = state();
        PaintContent(hMem, RECT{0, 0, w, h}, nScreen);
        bRestored = state() == before;
    });
    return bRestored;
}

// What the screen shows of hWnd, saved as a 32-bit BMP file.
bool SaveWindowShot(HWND hWnd, const std::wstring& path)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    bool bSaved = false;
    WithBitmap(w, h, [&](HDC hScreen, HDC hMem, const DWORD* pPixels) {
        BitBlt(hMem, 0, 0, w, h, hScreen, rc.left, rc.top, SRCCOPY);
        GdiFlush();
        std::vector<DWORD> px(pPixels, pPixels + size_t(w) * h);
        for (DWORD& c : px) c &= 0x00FFFFFFu;
        const DWORD dwOffset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        const BITMAPFILEHEADER fh = {0x4D42, DWORD(dwOffset + px.size() * 4), 0, 0, dwOffset};
        const BITMAPINFOHEADER ih = {sizeof(ih), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        if (FILE* f = _wfopen(path.c_str(), L"wb")) {
            bSaved = fwrite(&fh, sizeof(fh), 1, f) + fwrite(&ih, sizeof(ih), 1, f) +
                         fwrite(px.data(), 4, px.size(), f) == px.size() + 2;
            bSaved = fclose(f) == 0 && bSaved;
        }
    });
    return bSaved;
}

// Driving the window.
// The buttons' command ids, from the transcribed table (controls in the order of creation: bar, Yes, No, OK).
const int kIdYes = int(expected::kControls[1].id), kIdOk = int(expected::kControls[3].id);
const UINT kScreens[] = {SCREEN_NOTICE, SCREEN_UPDATING, SCREEN_COMPLETED, SCREEN_RETRY, SCREEN_FAILED};
HWND s_hWnd = NULL;
bool s_bQuit = false;
WPARAM s_quitCode = 0;

DWORD Now() { return GetTickCount(); }

// The program's message loop, IsDialogMessageW first, until done() or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD dwTimeoutMs)
{
    for (const DWORD dwStart = Now();; MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT)) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                s_bQuit = true;
                s_quitCode = msg.wParam;
            } else if (!IsWindow(s_hWnd) || !IsDialogMessageW(s_hWnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (done()) return true;
        if (Now() - dwStart > dwTimeoutMs) return false;
    }
}

void PumpFor(DWORD dwMs) { PumpUntil([] { return false; }, dwMs); }
bool Gone() { return s_bQuit && !IsWindow(s_hWnd); }
// The window has gone with this restart flag and quit code.
bool Ended(bool bRestart, WPARAM nQuit = 0) { return PumpUntil(Gone, 2000) && !!g_bRestart == bRestart && s_quitCode == nQuit; }
bool WaitStubWaiting() { return PumpUntil([] { return WaitForSingleObject(s_hWaiting, 0) == WAIT_OBJECT_0; }, 3000); }
// Reached nScreen (on the updating screen: with the worker's run waiting).
bool WaitScreen(UINT nScreen)
{
    return PumpUntil([=] { return g_nScreen == nScreen && !s_bQuit; }, 3000) &&
           (nScreen != SCREEN_UPDATING || WaitStubWaiting());
}
void Command(int nId) { SendMessageW(s_hWnd, WM_COMMAND, nId, 0); }
int Dpi(HWND hWnd)
{
    HDC hdc = GetDC(hWnd);
    const int nDpi = GetDeviceCaps(hdc, LOGPIXELSY);
    return ReleaseDC(hWnd, hdc), nDpi;
}
void Repaint() { RedrawWindow(s_hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN); }

// A fresh window (state as a new process has it), maximized.
HWND CreateMain()
{
    g_nScreen = SCREEN_NOTICE, g_nQuitCode = 0, g_nRetriesLeft = 1, g_bRestart = FALSE;
    g_nLimitTimer = g_nProgressTimer = g_nForegroundTimer = g_nDisplayTimer = 0;
    s_bQuit = false, s_quitCode = 0;
    SetPowerStatus(TRUE, 1, 1);
    s_hWnd = CreateMainWindow();
    if (s_hWnd != NULL) PumpFor(150);
    return s_hWnd;
}

// A fresh window brought to nScreen through the real transitions (Yes on the
// notice screen), with the child runner scripted by steps.
bool DriveTo(UINT nScreen, const std::vector<StubStep>& steps)
{
    StubReset(steps);
    if (CreateMain() == NULL) return false;
    if (nScreen == SCREEN_NOTICE) return true;
    Command(kIdYes);
    return WaitScreen(nScreen);
}

// Ends a scenario whatever its state.
void CloseMain()
{
    if (IsWindow(s_hWnd)) PostMessageW(s_hWnd, WM_CLOSE, 0, 0);
    PumpUntil(Gone, 5000);
    PumpFor(50);
}

// ---------------------------------------------------------------------------
// State table, keyboard and timers.

// The program's message loop when a message cannot be retrieved during an
// attempt: it destroys the window before it returns, so the worker is
// cancelled and waited for, and it leaves no quit message behind (one would
// end the final message box at once).
void CheckMessageLoopFailure()
{
    ReportLine("# message loop, failed retrieval");
    CHECK(DriveTo(SCREEN_UPDATING, {kUntilCancelLinger}));
    s_failGetMessage = 1;
    const DWORD dwStart = Now();
    const UINT nQuit = RunMessageLoop(s_hWnd);
    const DWORD dwTook = Now() - dwStart;
    s_failGetMessage = 0;
    MSG msg;
    CHECK(!IsWindow(s_hWnd) && nQuit == 0 && dwTook >= 350 && StubCalls()[0].bCancelSeen, "took %lu ms", dwTook);
    CHECK(!PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    CloseMain();
}

void CheckRetry()
{
    ReportLine("# retry");
    // The second attempt starts with the bar full and a clear cancel event,
    // even when the limit timer fired just as the first attempt failed; a
    // close request then waits for the second attempt's worker.
    CHECK(DriveTo(SCREEN_RETRY, {kExit1, kUntilCancelLinger}));
    SetEvent(g_WorkerContext.hCancelEvent);
    Command(kIdOk);
    CHECK(g_nScreen == SCREEN_UPDATING && SendMessageW(g_hProgress, PBM_GETPOS, 0, 0) == expected::kProgressHigh);
    CHECK(WaitStubWaiting() && StubCalls().size() == 2 && !StubCalls()[1].bCancelSetOnEntry);
    // The worker lingers 400 ms after the cancel: the window goes only once it has ended.
    const DWORD dwStart = Now();
    SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
    const DWORD dwWaited = Now() - dwStart;
    CHECK(!IsWindow(s_hWnd) && dwWaited >= 350 && StubCalls()[1].bCancelSeen && Ended(false), "waited %lu ms", dwWaited);
}

// Attempts with something in their way. Each case brings a fresh window to
// its screen, arranges its fault, presses the button that starts the attempt
// and expects the screen that follows or the quit code the window ends with,
// the tool runs in all, and whether the destruction found no worker to wait for.
//  - the power status before each attempt: a failed query or unknown values
//    let the attempt run; no adapter (first) or no battery ends the run with
//    that message, before the first attempt or the second (then without a
//    second flash);
//  - a close that lands between Yes and the reflash tool's start: no tool
//    starts, and the attempt ends as a cancelled one (the failed screen);
//  - UPDATE_START cannot start the limit timer or the worker thread: the run
//    ends at once with 135;
//  - a close request right after Yes, before UPDATE_START is handled: no
//    worker exists yet.
void CheckAttempts()
{
    ReportLine("# attempts");
    const auto power = [](BOOL bOk, BYTE bAc, BYTE bBattery) { return [=] { SetPowerStatus(bOk, bAc, bBattery); }; };
    const auto fail = [](long* pn) { return [=] { *pn = 1; }; };
    const auto cancelAtPowerCheck = [] { s_bCancelAtPowerCheck = true; };
    const auto closeAtOnce = [] {  // nothing pumped: UPDATE_START is still queued
        CHECK(g_nScreen == SCREEN_UPDATING);
        SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
    };
    const std::vector<StubStep> kTwoRuns = {kOk, kOk}, kRetryTwoRuns = {kExit1, kOk, kOk};
    const struct {
        const char* name;
        UINT nFrom;  // notice (Yes) or retry (OK)
        std::vector<StubStep> steps;
        std::function<void()> arrange;  // before the press, or with bAfter right after it
        bool bAfter;
        int nQuit;  // the window ends with this quit code; -1: nScreen follows
        UINT nScreen;
        size_t nRuns;
        int nDoneSetAtWait;  // -1: not checked
    } cases[] = {
        {"no adapter, no battery", SCREEN_NOTICE, kTwoRuns, power(TRUE, 0, 128), false, 134, 0, 0, 1},
        {"power query fails", SCREEN_NOTICE, kTwoRuns, power(FALSE, 0, 128), false, -1, SCREEN_COMPLETED, 2, -1},
        {"power unknown", SCREEN_NOTICE, kTwoRuns, power(TRUE, 255, 255), false, -1, SCREEN_COMPLETED, 2, -1},
        {"battery flag 128 and more", SCREEN_NOTICE, kTwoRuns, power(TRUE, 1, 128 | 8), false, -1, SCREEN_COMPLETED, 2, -1},
        {"second attempt, no adapter", SCREEN_RETRY, kRetryTwoRuns, power(TRUE, 0, 1), false, 134, 0, 1, 1},
        {"second attempt, no battery", SCREEN_RETRY, kRetryTwoRuns, power(TRUE, 1, 128), false, 142, 0, 1, 1},
        {"cancelled before the flash", SCREEN_NOTICE, kTwoRuns, cancelAtPowerCheck, false, -1, SCREEN_FAILED, 0, -1},
        {"no limit timer", SCREEN_NOTICE, {}, fail(&s_failLimitTimer), false, 135, 0, 0, 1},
        {"no worker thread", SCREEN_NOTICE, {}, fail(&s_failThread), false, 135, 0, 0, 1},
        {"no second worker thread", SCREEN_RETRY, {kExit1}, fail(&s_failThread), false, 135, 0, 1, 1},
        {"closed before UPDATE_START", SCREEN_NOTICE, {kUntilCancel}, closeAtOnce, true, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        CHECK(DriveTo(c.nFrom, c.steps), "%s", c.name);
        if (!c.bAfter) c.arrange();
        s_nDoneSetAtWait = -1;
        Command(c.nFrom == SCREEN_NOTICE ? kIdYes : kIdOk);
        if (c.bAfter) c.arrange();
        CHECK(c.nQuit < 0 ? WaitScreen(c.nScreen) : Ended(false, c.nQuit), "%s: screen %u, quit %d", c.name, g_nScreen,
              int(s_quitCode));
        CHECK(StubCalls().size() == c.nRuns, "%s: %u tool runs", c.name, unsigned(StubCalls().size()));
        if (c.nDoneSetAtWait >= 0)
            CHECK(s_nDoneSetAtWait == c.nDoneSetAtWait && g_nLimitTimer == 0 && g_nProgressTimer == 0,
                  "%s: done event %d at the destruction's wait", c.name, s_nDoneSetAtWait);
        s_bCancelAtPowerCheck = false, s_failLimitTimer = s_failThread = 0;
        CloseMain();
    }
}

// While an attempt runs, the window names the updating screen's text as the
// reason it refuses the end of the session, and withdraws it when the
// attempt's result comes or the window goes during the attempt.
void CheckShutdownBlockReason()
{
    ReportLine("# shutdown-block reason");
    const wchar_t* pszUpdating = std::find_if(std::begin(expected::kDrawn), std::end(expected::kDrawn), [](auto& d) {
                                     return d.screen == SCREEN_UPDATING;
                                 })->text;
    const struct {
        const char* name;
        std::vector<StubStep> steps;
        std::vector<std::pair<int, UINT>> presses;  // a button, and the screen awaited after it
    } cases[] = {{"declined", {}, {}},
                 {"completed", {kOk, kOk}, {{kIdYes, SCREEN_COMPLETED}}},
                 {"retried, completed", {kExit1, kOk, kOk}, {{kIdYes, SCREEN_RETRY}, {kIdOk, SCREEN_COMPLETED}}},
                 {"timed out", {kRunTimeout}, {{kIdYes, SCREEN_FAILED}}},
                 {"closed during the attempt", {kUntilCancel}, {{kIdYes, SCREEN_UPDATING}}}};
    for (const auto& c : cases) {
        CHECK(DriveTo(SCREEN_NOTICE, c.steps), "%s", c.name);
        Take(s_blockReasons);
        for (const auto& p : c.presses) {
            Command(p.first);
            CHECK(WaitScreen(p.second), "%s: screen %u", c.name, p.second);
        }
        const HWND hWnd = s_hWnd;
        CloseMain();
        std::vector<std::pair<HWND, std::wstring>> want;
        for (size_t i = 0; i < c.presses.size(); ++i) want.insert(want.end(), {{hWnd, pszUpdating}, {hWnd, L""}});
        const auto got = Take(s_blockReasons);
        CHECK(got == want, "%s: %u registrations and withdrawals, %u expected", c.name, unsigned(got.size()),
              unsigned(want.size()));
    }
}

// An event or a child control that cannot be created fails the window's
// creation, quickly, without a quit message for the caller's loop, a
// running timer or leaks.
void CheckCreationFailures()
{
    ReportLine("# creation failures");
    const struct {
        const char* name;
        long nEvents;
        const wchar_t* pszClass;
        long nNth;
    } missing[] = {{"first event", 1, NULL, 0},        {"progress bar", 0, L"msctls_progress32", 1},
                   {"Yes button", 0, L"button", 1},   {"OK button", 0, L"button", 3}};
    for (const auto& c : missing) {
        const ResourceCounts before = Counts();
        s_failCreateEvents = c.nEvents;
        s_failControlClass = c.pszClass;
        s_failControlNth = c.nNth;
        const DWORD dwStart = Now();
        CHECK(CreateMain() == NULL && Now() - dwStart < 2000, "%s", c.name);
        s_failCreateEvents = 0;
        s_failControlClass = NULL;
        MSG msg;
        CHECK(!PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) && g_nForegroundTimer == 0, "%s", c.name);
        CHECK(Counts().handlesLive == before.handlesLive && Counts().gdiLive == before.gdiLive, "%s", c.name);
    }
}

// DrawFittedText on a memory DC.
void CheckFittedText()
{
    ReportLine("# fitted text");
    WithBitmap(400, 400, [&](HDC, HDC hdc, const DWORD*) {
        const HGDIOBJ hFontBefore = GetCurrentObject(hdc, OBJ_FONT);
        const wchar_t* pszText = L"Fit\nthis block";
        // The block's size (a measure that drew would show in CheckDrawnTexts).
        SIZE size = {0, 0};
        int nPoints = 0;
        const RECT rcHuge = {0, 0, 4000, 4000};
        DrawFittedText(hdc, pszText, 20, 0, &size, &nPoints, rcHuge);
        CHECK(nPoints == 20 && size.cx > 0 && size.cy > 0);
        Take(s_drawnTexts);
        // A box exactly as wide (or high) as the block does not fit: one size less.
        for (const SIZE& b : {SIZE{size.cx, 4000}, SIZE{4000, size.cy}, SIZE{size.cx + 1, size.cy + 1}}) {
            int n = 0;
            DrawFittedText(hdc, pszText, 20, 0, NULL, &n, RECT{10, 10, 10 + b.cx, 10 + b.cy});
            CHECK(b.cx > size.cx && b.cy > size.cy ? n == 20 : (n > 0 && n < 20), "box %ldx%ld size %d", b.cx, b.cy, n);
        }
        // Empty and negative boxes, and a zero maximum, write and draw nothing.
        for (const RECT& rc : {RECT{0, 0, 0, 100}, RECT{0, 0, 100, 0}, RECT{50, 50, 10, 100}, rcHuge}) {
            SIZE s = {-7, -7};
            int n = -7;
            for (int* pn : {&n, static_cast<int*>(NULL)}) DrawFittedText(hdc, pszText, rc.right == 4000 ? 0 : 20, 0, &s, pn, rc);
            CHECK(s.cx == -7 && s.cy == -7 && n == -7 && Take(s_drawnTexts).empty(), "box %ld,%ld", rc.right, rc.bottom);
        }
        // Vertical placement: centred with the odd pixel below, bottom on the
        // box's bottom edge, centred when both flags are set.
        const RECT rcBox = {20, 30, 380, 30 + size.cy + 61};
        const struct {
            UINT uFlags;
            int nTop;
        } placements[] = {{DT_CENTER | DT_VCENTER, 30 + 61 / 2}, {DT_CENTER | DT_BOTTOM, 30 + 61},
                          {DT_CENTER | DT_VCENTER | DT_BOTTOM, 30 + 61 / 2}, {0, 30}};
        for (const auto& p : placements) {
            SIZE s = {0, 0};
            DrawFittedText(hdc, pszText, 20, p.uFlags, &s, NULL, rcBox);
            const std::vector<DrawnText> drawn = Take(s_drawnTexts);
            const RECT rc = drawn.empty() ? RECT{} : drawn.back().rc;
            CHECK(s.cy == size.cy && rc.top == p.nTop && rc.bottom == rcBox.bottom && rc.left == rcBox.left,
                  "flags %u top %ld want %d", p.uFlags, rc.top, p.nTop);
        }
        CHECK(GetCurrentObject(hdc, OBJ_FONT) == hFontBefore);
    });
}

// Every screen painted at sizes from tiny to small: nothing may crash, and
// the paint leaves the device context as it found it.
void CheckSmallSizes()
{
    ReportLine("# small sizes");
    for (const SIZE& sz : {SIZE{1, 1}, SIZE{7, 5}, SIZE{60, 40}, SIZE{160, 120}, SIZE{420, 300}})
        for (UINT nScreen : kScreens) CHECK(PaintRestoresDc(nScreen, sz.cx, sz.cy), "%ldx%ld screen %u", sz.cx, sz.cy, nScreen);
}

// Resource hygiene: what the hooks saw made and released (fonts, pens,
// brushes, paint DCs, events and threads) back where it was at the start.
void CheckCounts(const char* pszWhat, const ResourceCounts& start)
{
    PumpFor(100);
    const ResourceCounts end = Counts();
    ReportLine("  %s: %ld GDI objects made, live %ld -> %ld, handles live %ld -> %ld", pszWhat,
               end.gdiCreated - start.gdiCreated, start.gdiLive, end.gdiLive, start.handlesLive, end.handlesLive);
    CHECK(end.gdiLive == start.gdiLive && end.handlesLive == start.handlesLive && end.deletedBad == 0, "%s", pszWhat);
}

void CheckHygiene()
{
    ReportLine("# resource hygiene");
    // 100 paints of each screen into a bitmap, and 100 of the window.
    CHECK(DriveTo(SCREEN_NOTICE, {}));
    Repaint();
    PumpFor(50);
    ResourceCounts start = Counts();
    for (UINT nScreen : kScreens)
        for (int i = 0; i < 100; ++i) PaintRestoresDc(nScreen, 640, 480);
    for (int i = 0; i < 100; ++i) Repaint();
    CHECK(Counts().gdiCreated - start.gdiCreated >= 600);
    CheckCounts("600 paints", start);
    CloseMain();

    // Whole runs with a retry.
    start = Counts();
    for (int nRun = 0; nRun < 4; ++nRun) {
        CHECK(DriveTo(SCREEN_RETRY, {kExit1, kOk, kOk}));
        Command(kIdOk);
        CHECK(WaitScreen(SCREEN_COMPLETED));
        Repaint();
        Command(kIdYes);
        CHECK(Ended(true));
    }
    CheckCounts("4 runs with a retry", start);
    CHECK(g_WorkerContext.hCancelEvent == NULL && g_WorkerContext.hDoneEvent == NULL);
}

// ---------------------------------------------------------------------------
// Screenshots, each screen reached with the real transitions.

const std::vector<StubStep> kStepsTo[] = {{}, {kUntilCancel}, {kOk, kOk}, {kRunTimeout}, {kExit1}};  // by screen
const wchar_t* const kScreenNames[] = {L"notice", L"updating", L"completed", L"failed", L"retry"};

// One screenshot of each screen, as DIR\PREFIX-N-name.bmp.
void ShotScreens(const wchar_t* pszDir, const wchar_t* pszPrefix)
{
    for (const UINT& nScreen : kScreens) {
        CHECK(DriveTo(nScreen, kStepsTo[nScreen]), "screen %u", nScreen);
        Repaint();
        PumpFor(300);
        wchar_t name[64];
        swprintf(name, 64, L"-%d-%ls.bmp", int(&nScreen - kScreens) + 1, kScreenNames[nScreen]);
        CHECK(SaveWindowShot(s_hWnd, std::wstring(pszDir) + L"\\" + pszPrefix + name));
        CloseMain();
    }
}

// The message box a user meets when the window quits with 135 (its worker
// could not start): shown by the program's own ShowOutcome, saved as
// PREFIX-message-135.bmp once it is up, then closed with OK.
struct BoxShot {
    std::wstring path;
    bool bSaved;
};
DWORD WINAPI SaveBoxThenOk(void* pArg)
{
    BoxShot* pShot = static_cast<BoxShot*>(pArg);
    HWND hBox = NULL;
    for (int i = 0; i < 200 && (hBox = FindWindowW(L"#32770", g_szTitle)) == NULL; ++i) Sleep(50);
    if (hBox == NULL) return 0;
    Sleep(500);  // painted
    pShot->bSaved = SaveWindowShot(hBox, pShot->path);
    PostMessageW(hBox, WM_COMMAND, IDOK, 0);
    return 0;
}

void ShotQuitBox(const wchar_t* pszDir, const wchar_t* pszPrefix)
{
    CHECK(DriveTo(SCREEN_NOTICE, {}));
    s_failThread = 1;
    Command(kIdYes);
    CHECK(Ended(false, 135), "quit %d", int(s_quitCode));
    s_failThread = 0;
    BoxShot shot = {std::wstring(pszDir) + L"\\" + pszPrefix + L"-message-135.bmp", false};
    HANDLE hThread = CreateThread(NULL, 0, SaveBoxThenOk, &shot, 0, NULL);
    ShowOutcome(UINT(s_quitCode));
    WaitForSingleObject(hThread, 15000);
    CloseHandle(hThread);
    CHECK(shot.bSaved, "the message box after the window");
}

// The texts each screen draws, against the transcribed table: each expected
// text drawn once in its colour (the contact text around its number), the
// visible buttons' captions, nothing else; every text in the table's face and
// weight, the captions at the table's pixel height for this dpi.
std::string Utf8(const std::wstring& w)
{
    std::string s(w.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), &s[0], int(s.size()), NULL, NULL));
    return s;
}

void CheckDrawnTexts()
{
    ReportLine("# drawn texts");
    for (const UINT& nScreen : kScreens) {
        CHECK(DriveTo(nScreen, kStepsTo[nScreen]), "screen %u", nScreen);
        PumpFor(100);
        Take(s_drawnTexts);
        Repaint();
        PumpFor(200);
        const std::vector<DrawnText> drawn = Take(s_drawnTexts);
        const int nDpi = Dpi(s_hWnd);
        int nCaptionPixels = 0;
        for (const expected::PixelHeight& h : expected::kPixelHeights)
            if (h.points == expected::kCaptionPoints && h.dpi == nDpi) nCaptionPixels = h.pixels;
        CHECK(nCaptionPixels != 0, "the table has no caption height at %d dpi", nDpi);
        std::vector<bool> used(drawn.size(), false);
        auto take = [&](const std::wstring& before, const wchar_t* after, COLORREF colour) {
            for (size_t i = 0; i < drawn.size(); ++i) {
                const std::wstring& t = drawn[i].text;
                const bool bMatch = after == nullptr ? t == before
                    : t.size() >= before.size() + wcslen(after) && t.compare(0, before.size(), before) == 0 &&
                      t.compare(t.size() - wcslen(after), std::wstring::npos, after) == 0;
                if (!used[i] && bMatch && drawn[i].colour == colour) return used[i] = true, int(i);
            }
            return -1;
        };
        for (const expected::DrawnText& e : expected::kDrawn)
            if (e.screen == nScreen)
                CHECK(take(e.text, e.textAfter, e.colour) >= 0, "screen %u: '%s' in 0x%06X", nScreen,
                      Utf8(e.text).c_str(), e.colour);
        for (const expected::Caption& c : expected::kCaptions) {
            if (c.screen != nScreen) continue;
            const int i = take(c.text, nullptr, RGB(0, 0, 0));
            CHECK(i >= 0, "screen %u: caption '%s'", nScreen, Utf8(c.text).c_str());
            if (i >= 0)
                CHECK(drawn[i].font.lfHeight == -nCaptionPixels, "caption '%s' height %ld at %d dpi",
                      Utf8(c.text).c_str(), drawn[i].font.lfHeight, nDpi);
        }
        for (size_t i = 0; i < drawn.size(); ++i) {
            CHECK(used[i], "screen %u: unexpected text '%s' in 0x%06lX", nScreen, Utf8(drawn[i].text).c_str(),
                  drawn[i].colour);
            CHECK(wcscmp(drawn[i].font.lfFaceName, expected::kFontFace) == 0 &&
                      drawn[i].font.lfWeight == expected::kFontWeight,
                  "'%s' in '%s' weight %ld", Utf8(drawn[i].text).c_str(), Utf8(drawn[i].font.lfFaceName).c_str(),
                  drawn[i].font.lfWeight);
        }
        CloseMain();
    }
}

std::string Hex(unsigned long v)
{
    char s[16];
    snprintf(s, sizeof(s), "0x%06lX", v);
    return s;
}

// Each of want is in got, and got holds nothing else.
template <typename T, typename W>
void CheckSame(const std::vector<T>& got, const W& want, const std::function<std::string(const T&)>& name)
{
    for (const T& w : want) CHECK(std::find(got.begin(), got.end(), w) != got.end(), "%s missing", name(w).c_str());
    for (const T& g : got)
        CHECK(std::find(std::begin(want), std::end(want), g) != std::end(want), "%s made", name(g).c_str());
}

// Timer ids and periods, pen and brush colours and widths, against the
// transcribed table: the timers an attempt and a display change start, and
// the pens and brushes a paint of the notice screen makes (the focus on No).
void CheckTimersAndColours()
{
    ReportLine("# timers and colours");
    Take(s_timersStarted);
    CHECK(DriveTo(SCREEN_UPDATING, {kUntilCancel}));
    SendMessageW(s_hWnd, WM_DISPLAYCHANGE, 32, 0);
    PumpFor(50);
    std::vector<std::pair<UINT_PTR, UINT>> timers;
    for (const expected::Timer& t : {expected::kTimerForeground, expected::kTimerLimit, expected::kTimerProgress,
                                     expected::kTimerDisplay})
        timers.emplace_back(t.id, t.periodMs);
    const auto started = Take(s_timersStarted);
    CheckSame<std::pair<UINT_PTR, UINT>>(started, timers, [](auto& t) {
        return "timer " + std::to_string(t.first) + " of " + std::to_string(t.second) + " ms";
    });
    CloseMain();

    CHECK(DriveTo(SCREEN_NOTICE, {}));
    PumpFor(100);
    Take(s_pensMade);
    Take(s_brushesMade);
    Repaint();
    PumpFor(200);
    const std::pair<COLORREF, int> wantPens[] = {{expected::kTextColour, expected::kNoticeFrameWidth},
                                                 {expected::kTextColour, expected::kContactFrameWidth},
                                                 {expected::kFocusBorder, expected::kFocusBorderWidth}};
    CheckSame<std::pair<COLORREF, int>>(Take(s_pensMade), wantPens, [](auto& p) {
        return "pen " + Hex(p.first) + " of " + std::to_string(p.second) + " px";
    });
    const std::vector<COLORREF> brushes = Take(s_brushesMade);
    CHECK(std::count(brushes.begin(), brushes.end(), COLORREF(expected::kButtonFace)) == 2, "two button faces");
    for (COLORREF c : brushes)
        CHECK(c == expected::kButtonFace || c == expected::kButtonPressed, "brush 0x%06lX made", c);
    CloseMain();
}

}  // namespace

// The program's child runner, replaced: answers from the script.
// The programs and command lines are the scenario robot's to check.
DWORD RunChildProcess(LPCWSTR, LPCWSTR, HANDLE hCancelEvent, DWORD* pdwExitCode, DWORD, BOOL)
{
    StubStep step = {RUN_ERROR, 0xFFFFFFFFu, false, 0};
    size_t nIndex = 0;
    {
        Lock lock;
        if (s_nextStep < s_steps.size()) step = s_steps[s_nextStep++];
        s_calls.push_back({hCancelEvent && WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0, false});
        nIndex = s_calls.size() - 1;
    }
    *pdwExitCode = step.dwResult == 0 && !step.bUntilCancel ? step.dwExitCode : 0xFFFFFFFFu;
    if (!step.bUntilCancel) return step.dwResult;
    SetEvent(s_hWaiting);
    const bool bSeen = hCancelEvent && WaitForSingleObject(hCancelEvent, 30000) == WAIT_OBJECT_0;
    Lock(), s_calls[nIndex].bCancelSeen = bSeen;
    Sleep(step.dwLingerMs);
    return RUN_TIMEOUT;
}

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc >= 3 ? argv[1] : L"";
    if (mode != L"check" && !(mode == L"shots" && argc >= 5)) {
        fprintf(stderr, "usage: ui_harness check REPORT | shots DIR PREFIX REPORT\n");
        return 2;
    }
    InitializeCriticalSection(&s_lock);
    if (FILE* f = _wfopen(argv[argc - 1], L"w")) s_report = f;
    s_hWaiting = CreateEventW(NULL, TRUE, FALSE, NULL);  // before the hooks: not counted
    // Per-monitor awareness, as the program's manifest asks.
    auto pSetContext = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    if (pSetContext == NULL || !pSetContext(reinterpret_cast<HANDLE>(INT_PTR(-3)))) SetProcessDPIAware();
    g_hInstance = GetModuleHandleW(NULL);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    CHECK(InstallHooks());
    const MainWindowClass windowClass = RegisterMainWindowClass();
    ReportLine("# desktop %dx%d, %d dpi", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), Dpi(NULL));
    if (mode == L"check") {
        for (void (*pCheck)() : {CheckFittedText, CheckCreationFailures, CheckAttempts, CheckMessageLoopFailure,
                                 CheckRetry, CheckShutdownBlockReason, CheckSmallSizes, CheckHygiene,
                                 CheckDrawnTexts, CheckTimersAndColours})
            pCheck();
    } else {
        ShotScreens(argv[2], argv[3]);
        ShotQuitBox(argv[2], argv[3]);
    }
    UnregisterMainWindowClass(windowClass);
    ReportLine("ui_harness: %d passed, %d failed", s_passed, s_failed);
    fclose(s_report);
    return s_failed == 0 ? 0 : 1;
}
