// UI harness: the main window created as the program creates it, with a
// scripted child runner and power status, and import-table hooks that count
// GDI objects and handles. Run inside a Wine virtual desktop (run-gui.sh):
//   check REPORT             mends of the state table, drawn texts, timers, small windows, hygiene
//   shots DIR PREFIX REPORT  a screenshot of each of the five screens
//   timing REPORT            the paint time of each screen
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
#include "ui/update_worker.h"
#include "expected_values.h"

// Doubles of the globals the program's entry code defines.
HINSTANCE g_hInstance = NULL;
WCHAR g_szTitle[MAX_PATH] = L"Quillmere";
WCHAR g_szWorkFolder[MAX_PATH] = L"C:\\fwup-test";
WCHAR g_szImagePath[MAX_PATH] = L"C:\\fwup-test\\FW2149928-kt2379-004_touchthr_40.img";
WCHAR g_szInfoToolPath[MAX_PATH] = L"C:\\fwup-test\\KvInfo.exe";
WCHAR g_szReflashToolPath[MAX_PATH] = L"C:\\fwup-test\\KvReflash.exe";
WCHAR g_szLogPath[MAX_PATH] = L"";
BOOL g_bRestart = FALSE;

namespace {

CRITICAL_SECTION s_lock;
struct Lock {
    Lock() { EnterCriticalSection(&s_lock); }
    ~Lock() { LeaveCriticalSection(&s_lock); }
};
// What the hooks recorded in v, leaving it empty.
template <typename T>
T Take(T& v)
{
    Lock lock;
    T out;
    out.swap(v);
    return out;
}

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
    bOk ? ++s_passed : ++s_failed;
    if (!bOk) {
        char detail[512];
        va_list args;
        va_start(args, pszFormat);
        vsnprintf(detail, sizeof(detail), pszFormat, args);
        va_end(args);
        ReportLine("FAIL line %d: %s %s", nLine, pszWhat, detail);
    }
    return bOk;
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

void StubReset(const std::vector<StubStep>& steps)
{
    Lock lock;
    s_steps = steps;
    s_nextStep = 0;
    s_calls.clear();
    ResetEvent(s_hWaiting);
}
std::vector<StubCall> StubCalls() { return Lock(), s_calls; }

// Hooks in this program's import table, through which the statically linked
// qm_ui calls too: GDI objects and handles made and released, deletions of
// selected or unknown objects, the last DrawTextExW box, the scripted power
// status and failing CreateEventW.
std::set<HGDIOBJ> s_liveGdi;
std::set<HANDLE> s_liveHandles;
long s_gdiCreated = 0, s_deletedBad = 0, s_failCreateEvents = 0, s_failGetMessage = 0;
// Failures on demand: the limit timer (id 10), the worker thread, and the
// nth creation of a child control of one class.
long s_failLimitTimer = 0, s_failThread = 0, s_failControlNth = 0;
const wchar_t* s_failControlClass = NULL;
HDC s_recentDcs[32];
size_t s_nextDc = 0;
bool s_bPowerOk = true;
BYTE s_bAcLine = 1, s_bBatteryFlag = 1;
// Timers started and pens and brushes made, for CheckTimersAndColours.
std::vector<std::pair<UINT_PTR, UINT>> s_timersStarted;
std::vector<std::pair<COLORREF, int>> s_pensMade;  // colour, width
std::vector<COLORREF> s_brushesMade;

struct ResourceCounts {
    long gdiLive, gdiCreated, deletedBad, handlesLive;
};
ResourceCounts Counts()
{
    Lock lock;
    return {long(s_liveGdi.size()), s_gdiCreated, s_deletedBad, long(s_liveHandles.size())};
}
void SetPowerStatus(bool bCallSucceeds, BYTE bAc, BYTE bBattery)
{
    Lock lock;
    std::tie(s_bPowerOk, s_bAcLine, s_bBatteryFlag) = std::make_tuple(bCallSucceeds, bAc, bBattery);
}

// The hooked functions: Hook_f replaces f, s_f is the original.
#define HOOKED(X)                                                                                                   \
    X(CreateFontW) X(CreatePen) X(CreateSolidBrush) X(DeleteObject) X(SelectObject) X(CreateEventW) X(CloseHandle) \
    X(GetSystemPowerStatus) X(DrawTextExW) X(_beginthreadex) X(GetMessageW) X(SetTimer) X(CreateWindowExW)     \
    X(ShutdownBlockReasonCreate) X(ShutdownBlockReasonDestroy)
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

// The message loop's retrieval, failing (-1) while s_failGetMessage is set.
BOOL WINAPI Hook_GetMessageW(LPMSG pMsg, HWND hWnd, UINT uMin, UINT uMax)
{
    if (s_failGetMessage > 0) {
        --s_failGetMessage;
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return s_GetMessageW(pMsg, hWnd, uMin, uMax);
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

BOOL WINAPI Hook_CloseHandle(HANDLE h) { return Lock(), s_liveHandles.erase(h), s_CloseHandle(h); }
// The worker reads the power status just before it would start the reflash
// tool; with s_bCancelAtPowerCheck a close lands at that moment.
bool s_bCancelAtPowerCheck = false;
BOOL WINAPI Hook_GetSystemPowerStatus(LPSYSTEM_POWER_STATUS p)
{
    Lock lock;
    *p = {s_bAcLine, s_bBatteryFlag, 80, 0, 0, 0};
    if (s_bCancelAtPowerCheck) SetEvent(g_WorkerContext.hCancelEvent);
    return s_bPowerOk;
}

// Shutdown-block reasons registered (their text) and withdrawn (an empty
// text), with the window each names. Windows shows none of this under Wine.
std::vector<std::pair<HWND, std::wstring>> s_blockReasons;
BOOL WINAPI Hook_ShutdownBlockReasonCreate(HWND hWnd, LPCWSTR pszReason)
{
    Lock lock;
    s_blockReasons.emplace_back(hWnd, pszReason != NULL ? pszReason : L"(none)");
    return TRUE;
}
BOOL WINAPI Hook_ShutdownBlockReasonDestroy(HWND hWnd)
{
    Lock lock;
    s_blockReasons.emplace_back(hWnd, L"");
    return TRUE;
}

// Every text drawn (not measured), with its colour, font and box, for
// CheckDrawnTexts and CheckFittedText.
struct DrawnText {
    std::wstring text;
    COLORREF colour;
    LOGFONTW font;
    RECT rc;
};
std::vector<DrawnText> s_drawnTexts;

// Records every timer started (for CheckTimersAndColours) and fails the
// limit timer (id 10) as often as s_failLimitTimer asks.
UINT_PTR WINAPI Hook_SetTimer(HWND hWnd, UINT_PTR nId, UINT uElapse, TIMERPROC pProc)
{
    if (nId == 10 && s_failLimitTimer > 0) return --s_failLimitTimer, 0;
    {
        Lock lock;
        s_timersStarted.emplace_back(nId, uElapse);
    }
    return s_SetTimer(hWnd, nId, uElapse, pProc);
}

int WINAPI Hook_DrawTextExW(HDC hdc, LPWSTR psz, int n, LPRECT prc, UINT uFormat, LPDRAWTEXTPARAMS p)
{
    if (!(uFormat & DT_CALCRECT) && prc != NULL) {
        DrawnText d = {std::wstring(psz, n < 0 ? wcslen(psz) : size_t(n)), GetTextColor(hdc), {}, *prc};
        GetObjectW(GetCurrentObject(hdc, OBJ_FONT), sizeof d.font, &d.font);
        Lock lock;
        s_drawnTexts.push_back(d);
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
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal) ||
                strcmp(reinterpret_cast<char*>(
                           reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pNames->u1.AddressOfData)->Name),
                       pszName) != 0)
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

// Screen capture (0x00RRGGBB pixels) and saving.
struct Image {
    int w = 0, h = 0;
    std::vector<DWORD> px;
    DWORD at(int x, int y) const { return px[size_t(y) * w + x]; }
};
BITMAPINFOHEADER Header(const Image& img) { return {sizeof(BITMAPINFOHEADER), img.w, -img.h, 1, 32, BI_RGB, 0, 0, 0, 0, 0}; }

// A w x h image (0 x 0 for a negative size) of what draw(hScreen, hMem) puts
// into a DIB section selected into hMem.
Image DrawToImage(long w, long h, const std::function<void(HDC, HDC)>& draw)
{
    Image img;
    img.w = int(std::max(0L, w));
    img.h = int(std::max(0L, h));
    img.px.assign(size_t(img.w) * img.h, 0);
    HDC hScreen = GetDC(NULL), hMem = CreateCompatibleDC(hScreen);
    BITMAPINFO bmi = {Header(img), {}};
    void* pBits = NULL;
    if (HBITMAP hBitmap = img.px.empty() ? NULL : CreateDIBSection(hMem, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0)) {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        draw(hScreen, hMem);
        GdiFlush();
        std::transform(static_cast<DWORD*>(pBits), static_cast<DWORD*>(pBits) + img.px.size(), img.px.begin(),
                       [](DWORD c) { return c & 0x00FFFFFFu; });
        SelectObject(hMem, hOld);
        DeleteObject(hBitmap);
    }
    DeleteDC(hMem);
    ReleaseDC(NULL, hScreen);
    return img;
}

// Whether painting screen nScreen by PaintContent into a w x h bitmap (white,
// as the window's background; g_nScreen untouched) left the DC's font, pen,
// brush, text colour and background mode as it found them.
bool PaintRestoresDc(UINT nScreen, int w, int h)
{
    bool bRestored = false;
    DrawToImage(w, h, [&](HDC, HDC hMem) {
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

bool SaveBmp(const Image& img, const wchar_t* pszPath)
{
    FILE* f = _wfopen(pszPath, L"wb");
    if (f == NULL) return false;
    const DWORD dwOffset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    const BITMAPFILEHEADER fh = {0x4D42, DWORD(dwOffset + img.px.size() * 4), 0, 0, dwOffset};
    const BITMAPINFOHEADER ih = Header(img);
    const bool bOk = fwrite(&fh, sizeof(fh), 1, f) + fwrite(&ih, sizeof(ih), 1, f) +
                         fwrite(img.px.data(), 4, img.px.size(), f) == img.px.size() + 2;
    return fclose(f) == 0 && bOk;
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
bool WaitScreen(UINT nScreen) { return PumpUntil([=] { return g_nScreen == nScreen && !s_bQuit; }, 3000); }
bool WaitStubWaiting() { return PumpUntil([] { return WaitForSingleObject(s_hWaiting, 0) == WAIT_OBJECT_0; }, 3000); }
void Command(int nId) { SendMessageW(s_hWnd, WM_COMMAND, nId, 0); }
LRESULT BarPos() { return SendMessageW(g_hProgress, PBM_GETPOS, 0, 0); }
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
    g_nScreen = SCREEN_NOTICE;
    g_nQuitCode = 0;
    g_nRetriesLeft = 1;
    g_bRestart = FALSE;
    g_nLimitTimer = g_nProgressTimer = g_nForegroundTimer = g_nDisplayTimer = 0;
    s_bQuit = false;
    s_quitCode = 0;
    SetPowerStatus(true, 1, 1);
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
    return WaitScreen(nScreen) && (nScreen != SCREEN_UPDATING || WaitStubWaiting());
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

// A close request right after Yes, before UPDATE_START is handled: no
// worker exists yet, so the destruction has nothing to wait for. A
// watchdog signals the done event after 3 s, so that a wait for a worker
// that never came shows as a failure and not as a hang.
DWORD WINAPI DoneWatchdog(void* pEvents)
{
    HANDLE* h = static_cast<HANDLE*>(pEvents);  // {stop, done}
    if (WaitForSingleObject(h[0], 3000) == WAIT_TIMEOUT) SetEvent(h[1]);
    return 0;
}

// Runs fn, which should end the window, with the watchdog armed on the
// window's done event; returns how long fn took.
DWORD ClosedWithin(const std::function<void()>& fn)
{
    HANDLE events[2] = {CreateEventW(NULL, TRUE, FALSE, NULL), NULL};
    DuplicateHandle(GetCurrentProcess(), g_WorkerContext.hDoneEvent, GetCurrentProcess(), &events[1], 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    HANDLE hThread = CreateThread(NULL, 0, DoneWatchdog, events, 0, NULL);
    const DWORD dwStart = Now();
    fn();
    const DWORD dwTook = Now() - dwStart;
    SetEvent(events[0]);
    WaitForSingleObject(hThread, INFINITE);
    for (HANDLE h : {hThread, events[0], events[1]}) CloseHandle(h);
    return dwTook;
}

void CheckCloseBeforeWorker()
{
    ReportLine("# close before the worker starts");
    CHECK(DriveTo(SCREEN_NOTICE, {kUntilCancel}));
    Command(kIdYes);  // UPDATE_START stays queued: nothing is pumped
    const DWORD dwWaited = ClosedWithin([] { SendMessageW(s_hWnd, WM_CLOSE, 0, 0); });
    CHECK(g_nScreen == SCREEN_UPDATING && dwWaited < 1000, "waited %lu ms", dwWaited);
    CHECK(Ended(false) && StubCalls().empty());
}

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

// A real double click whose first click starts the attempt (notice: Yes;
// retry: OK): the second click, delivered while the attempt runs, changes
// nothing.
void CheckStrayCommands()
{
    ReportLine("# double clicks that start an attempt");
    const struct {
        UINT nScreen;
        std::vector<StubStep> steps;
        HWND* phButton;
        size_t nCall;  // the second click finds this attempt's worker waiting
    } doubleClicks[] = {{SCREEN_NOTICE, {kUntilCancel}, &g_hYesButton, 0},
                        {SCREEN_RETRY, {kExit1, kUntilCancel}, &g_hOkButton, 1}};
    for (const auto& c : doubleClicks) {
        CHECK(DriveTo(c.nScreen, c.steps));
        const HWND hButton = *c.phButton;
        const LPARAM pt = MAKELPARAM(10, 10);
        for (UINT uMsg : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
            PostMessageW(hButton, uMsg, uMsg == WM_LBUTTONUP ? 0 : MK_LBUTTON, pt);
        CHECK(WaitStubWaiting());
        PumpFor(200);
        CHECK(IsWindow(s_hWnd) && !s_bQuit && !g_bRestart && g_nScreen == SCREEN_UPDATING &&
              StubCalls().size() == c.nCall + 1 && !StubCalls()[c.nCall].bCancelSeen, "double click, screen %u",
              c.nScreen);
        CloseMain();
    }
}

void CheckRetry()
{
    ReportLine("# retry");
    // Unknown result codes are failures.
    CHECK(DriveTo(SCREEN_RETRY, {{0x1234, 0, false, 0}, kOk, kRunTimeout}));
    Command(kIdOk);
    CHECK(WaitScreen(SCREEN_FAILED) && g_nRetriesLeft == 0);
    CloseMain();

    // The second attempt starts with the bar full and a clear cancel event,
    // even when the limit timer fired just as the first attempt failed; a
    // close request then waits for the second attempt's worker.
    CHECK(DriveTo(SCREEN_RETRY, {kExit1, kUntilCancelLinger}));
    SetEvent(g_WorkerContext.hCancelEvent);
    Command(kIdOk);
    CHECK(g_nScreen == SCREEN_UPDATING && BarPos() == expected::kProgressHigh);
    CHECK(WaitStubWaiting() && StubCalls().size() == 2 && !StubCalls()[1].bCancelSetOnEntry);
    // The worker lingers 400 ms after the cancel: the window goes only once it has ended.
    const DWORD dwStart = Now();
    SendMessageW(s_hWnd, WM_CLOSE, 0, 0);
    const DWORD dwWaited = Now() - dwStart;
    CHECK(!IsWindow(s_hWnd) && dwWaited >= 350 && StubCalls()[1].bCancelSeen && Ended(false), "waited %lu ms", dwWaited);
}

// The power status read before each attempt: a failed query or unknown
// values let the attempt run; no adapter or no battery ends the run with
// that message, before the first attempt or the second (then without a
// second flash).
void CheckPower()
{
    ReportLine("# power");
    const struct {
        UINT nScreen;
        bool bOk;
        BYTE bAc, bBattery;
        int nQuit;  // -1: the attempt runs
    } cases[] = {{SCREEN_NOTICE, true, 0, 128, 134}, {SCREEN_NOTICE, false, 0, 128, -1},
                 {SCREEN_NOTICE, true, 255, 255, -1}, {SCREEN_NOTICE, true, 1, 128 | 8, -1},
                 {SCREEN_RETRY, true, 0, 1, 134},     {SCREEN_RETRY, true, 1, 128, 142}};
    for (const auto& c : cases) {
        const bool bRetry = c.nScreen == SCREEN_RETRY;
        CHECK(DriveTo(c.nScreen, bRetry ? std::vector<StubStep>{kExit1, kOk, kOk} : std::vector<StubStep>{kOk, kOk}));
        SetPowerStatus(c.bOk, c.bAc, c.bBattery);
        Command(bRetry ? kIdOk : kIdYes);
        CHECK(c.nQuit < 0 ? WaitScreen(SCREEN_COMPLETED) : Ended(false, c.nQuit) && StubCalls().size() == bRetry,
              "screen %u ac %d battery %d quit %d", c.nScreen, c.bAc, c.bBattery, int(s_quitCode));
        CloseMain();
    }
}

// A close that lands between Yes and the reflash tool's start: the worker
// starts no tool, and the attempt ends as a cancelled one (the failed screen).
void CheckCancelBeforeFlash()
{
    ReportLine("# cancelled before the flash starts");
    CHECK(DriveTo(SCREEN_NOTICE, {kOk, kOk}));
    s_bCancelAtPowerCheck = true;
    Command(kIdYes);
    CHECK(WaitScreen(SCREEN_FAILED), "screen %u", g_nScreen);
    s_bCancelAtPowerCheck = false;
    CHECK(StubCalls().empty(), "%u tool runs", unsigned(StubCalls().size()));
    CloseMain();
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
        std::vector<int> commands;  // pressed once the screen before has come
        std::vector<UINT> screens;  // awaited after each command
        int nAttempts;
    } cases[] = {{"declined", {}, {}, {}, 0},
                 {"completed", {kOk, kOk}, {kIdYes}, {SCREEN_COMPLETED}, 1},
                 {"retried, completed", {kExit1, kOk, kOk}, {kIdYes, kIdOk}, {SCREEN_RETRY, SCREEN_COMPLETED}, 2},
                 {"timed out", {kRunTimeout}, {kIdYes}, {SCREEN_FAILED}, 1},
                 {"closed during the attempt", {kUntilCancel}, {kIdYes}, {SCREEN_UPDATING}, 1}};
    for (const auto& c : cases) {
        CHECK(DriveTo(SCREEN_NOTICE, c.steps), "%s", c.name);
        Take(s_blockReasons);
        for (size_t i = 0; i < c.commands.size(); ++i) {
            Command(c.commands[i]);
            CHECK(WaitScreen(c.screens[i]) && (c.screens[i] != SCREEN_UPDATING || WaitStubWaiting()), "%s: screen %u",
                  c.name, c.screens[i]);
        }
        const HWND hWnd = s_hWnd;
        CloseMain();
        std::vector<std::pair<HWND, std::wstring>> want;
        for (int i = 0; i < c.nAttempts; ++i) want.insert(want.end(), {{hWnd, pszUpdating}, {hWnd, L""}});
        const auto got = Take(s_blockReasons);
        CHECK(got == want, "%s: %u registrations and withdrawals, %u expected", c.name, unsigned(got.size()),
              unsigned(want.size()));
    }
}

void CheckWorkerGuards()
{
    ReportLine("# creation failures");
    // An event or a child control that cannot be created fails the window's
    // creation, quickly, without a quit message for the caller's loop, a
    // running timer or leaks.
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

    // UPDATE_START cannot start the limit timer or the worker thread, on the
    // first attempt or the second: the run ends at once with 135.
    const struct {
        const char* name;
        UINT nScreen;
        std::vector<StubStep> steps;
        long* pnFail;
    } starts[] = {{"limit timer", SCREEN_NOTICE, {}, &s_failLimitTimer},
                  {"worker thread", SCREEN_NOTICE, {}, &s_failThread},
                  {"second worker thread", SCREEN_RETRY, {kExit1}, &s_failThread}};
    for (const auto& c : starts) {
        CHECK(DriveTo(c.nScreen, c.steps), "%s", c.name);
        const size_t nCalls = StubCalls().size();
        *c.pnFail = 1;
        const DWORD dwWaited = ClosedWithin([&] { Command(c.nScreen == SCREEN_NOTICE ? kIdYes : kIdOk); PumpFor(100); });
        *c.pnFail = 0;
        CHECK(dwWaited < 1000 && Ended(false, 135) && StubCalls().size() == nCalls && g_nLimitTimer == 0 &&
              g_nProgressTimer == 0, "%s: %lu ms, quit %d", c.name, dwWaited, int(s_quitCode));
    }
}

// DrawFittedText on a memory DC.
void CheckFittedText()
{
    ReportLine("# fitted text");
    DrawToImage(400, 400, [&](HDC, HDC hdc) {
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

// ---------------------------------------------------------------------------
// Resource hygiene.

// GDI objects alive in the process, for what the hooks cannot see (DCs,
// objects made in the system's libraries), or -1. Wine answers 0 to
// GetGuiResources, and its 32-bit processes leave the PEB's pointer to the
// GDI handle table empty, so the table is found instead by what it must
// hold: 0x10000 entries of 24 bytes, where the entry of handle h (index
// h & 0xFFFF) has a non-zero object and h >> 16 in its 16 bits at offset 12.
// Three fresh objects of different kinds must all be found in the same
// committed read-write region; a live entry is one whose first 8 bytes are
// non-zero.
const size_t kGdiEntry = 24, kGdiEntries = 0x10000;

bool GdiEntryIs(const BYTE* pTable, HGDIOBJ h)
{
    const DWORD dw = DWORD(ULONG_PTR(h));
    const BYTE* e = pTable + kGdiEntry * (dw & 0xFFFF);
    UINT64 qwObject;
    USHORT wUnique;
    memcpy(&qwObject, e, 8);
    memcpy(&wUnique, e + 12, 2);
    return qwObject != 0 && wUnique == (dw >> 16);
}

const BYTE* FindGdiTable()
{
    const HGDIOBJ probes[] = {CreateSolidBrush(RGB(1, 2, 3)), CreatePen(PS_SOLID, 1, RGB(4, 5, 6)),
                              CreateRectRgn(0, 0, 1, 1)};
    const BYTE* pFound = NULL;
    MEMORY_BASIC_INFORMATION mbi;
    for (const BYTE* p = NULL; !pFound && VirtualQuery(p, &mbi, sizeof(mbi)); p += mbi.RegionSize) {
        p = static_cast<const BYTE*>(mbi.BaseAddress);
        if (mbi.State == MEM_COMMIT && mbi.Protect == PAGE_READWRITE && mbi.RegionSize >= kGdiEntry * kGdiEntries &&
            std::all_of(std::begin(probes), std::end(probes), [p](HGDIOBJ h) { return h && GdiEntryIs(p, h); }))
            pFound = p;
        if (p + mbi.RegionSize < p) break;
    }
    for (HGDIOBJ h : probes) DeleteObject(h);
    return pFound;
}

long ProcessGdiObjects()
{
    if (const DWORD dwCount = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) return long(dwCount);
    static const BYTE* const pTable = FindGdiTable();
    if (!pTable) return -1;
    long nLive = 0;
    for (size_t i = 0; i < kGdiEntries; ++i) {
        UINT64 qw;
        memcpy(&qw, pTable + kGdiEntry * i, 8);
        nLive += qw != 0;
    }
    return nLive;
}

// The hooks' and the process's counts against those at the start.
void CheckCounts(const char* pszWhat, const ResourceCounts& start, long nGdiStart)
{
    PumpFor(100);
    const ResourceCounts end = Counts();
    // Back at the start, or the count after a second: threads that have just
    // posted their last message may still be ending.
    long nGdi = ProcessGdiObjects();
    for (int i = 0; i < 20 && nGdi != nGdiStart; ++i, nGdi = ProcessGdiObjects()) PumpFor(50);
    ReportLine("  %s: %ld GDI objects made, live %ld -> %ld, handles live %ld -> %ld; process GDI objects %ld -> %ld",
               pszWhat, end.gdiCreated - start.gdiCreated, start.gdiLive, end.gdiLive, start.handlesLive,
               end.handlesLive, nGdiStart, nGdi);
    CHECK(end.gdiLive == start.gdiLive && end.handlesLive == start.handlesLive && end.deletedBad == 0, "%s", pszWhat);
    CHECK(nGdiStart > 0 && nGdi == nGdiStart, "%s", pszWhat);
}

void CheckHygiene()
{
    ReportLine("# resource hygiene");
    // 100 paints of each screen into a bitmap, and 100 of the window.
    CHECK(DriveTo(SCREEN_NOTICE, {}));
    Repaint();
    PumpFor(50);
    ResourceCounts start = Counts();
    long nGdiStart = ProcessGdiObjects();
    for (UINT nScreen : kScreens)
        for (int i = 0; i < 100; ++i) PaintRestoresDc(nScreen, 640, 480);
    for (int i = 0; i < 100; ++i) Repaint();
    CHECK(Counts().gdiCreated - start.gdiCreated >= 600);
    CheckCounts("600 paints", start, nGdiStart);
    CloseMain();

    // Whole runs with a retry. The process's counts are taken after a first
    // run, which leaves what the system's libraries keep once made (classes,
    // caches).
    start = Counts();
    for (int nRun = 0; nRun < 4; ++nRun) {
        if (nRun == 1) nGdiStart = (PumpFor(100), ProcessGdiObjects());
        CHECK(DriveTo(SCREEN_RETRY, {kExit1, kOk, kOk}));
        Command(kIdOk);
        CHECK(WaitScreen(SCREEN_COMPLETED));
        Repaint();
        Command(kIdYes);
        CHECK(Ended(true));
    }
    CheckCounts("4 runs with a retry (process counts: runs 2 to 4)", start, nGdiStart);
    CHECK(g_WorkerContext.hCancelEvent == NULL && g_WorkerContext.hDoneEvent == NULL);
}

// ---------------------------------------------------------------------------
// Screenshots and paint timing, each screen reached with the real transitions.

const std::vector<StubStep> kStepsTo[] = {{}, {kUntilCancel}, {kOk, kOk}, {kRunTimeout}, {kExit1}};  // by screen
const wchar_t* const kScreenNames[] = {L"notice", L"updating", L"completed", L"failed", L"retry"};

// shots: one screenshot of each; timing: 100 paints of each.
void RunScreens(bool bShots, const wchar_t* pszDir, const wchar_t* pszPrefix)
{
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    for (const UINT& nScreen : kScreens) {
        CHECK(DriveTo(nScreen, kStepsTo[nScreen]), "screen %u", nScreen);
        RECT rc;
        if (bShots) {
            Repaint();
            PumpFor(300);
            GetWindowRect(s_hWnd, &rc);
            wchar_t path[MAX_PATH];
            swprintf(path, MAX_PATH, L"%ls\\%ls-%d-%ls.bmp", pszDir, pszPrefix, int(&nScreen - kScreens) + 1,
                     kScreenNames[nScreen]);
            const long w = rc.right - rc.left, h = rc.bottom - rc.top;
            CHECK(SaveBmp(DrawToImage(w, h, [&](HDC hScreen, HDC hMem) {
                              BitBlt(hMem, 0, 0, w, h, hScreen, rc.left, rc.top, SRCCOPY);
                          }), path));
            CloseMain();
            continue;
        }
        GetClientRect(s_hWnd, &rc);
        const int nDpi = Dpi(s_hWnd);
        std::vector<double> ms;
        for (int i = 0; i < 100; ++i) {
            // The window's own WM_PAINT alone: invalidated and erased first,
            // the child controls not repainted.
            RedrawWindow(s_hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ERASENOW | RDW_NOCHILDREN);
            QueryPerformanceCounter(&t0);
            SendMessageW(s_hWnd, WM_PAINT, 0, 0);
            GdiFlush();
            QueryPerformanceCounter(&t1);
            ms.push_back(1000.0 * double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
        }
        std::sort(ms.begin(), ms.end());
        ReportLine("paint %-9ls %ldx%ld %d dpi: min %.2f ms, median %.2f ms, max %.2f ms (%u paints)",
                   kScreenNames[nScreen], rc.right, rc.bottom, nDpi, ms.front(), ms[ms.size() / 2], ms.back(),
                   unsigned(ms.size()));
        CloseMain();
    }
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
        std::vector<bool> used(drawn.size(), false);
        auto take = [&](const std::wstring& before, const wchar_t* after, COLORREF colour) {
            for (size_t i = 0; i < drawn.size(); ++i) {
                const std::wstring& t = drawn[i].text;
                const bool bMatch = after == nullptr ? t == before
                    : t.size() >= before.size() + wcslen(after) && t.compare(0, before.size(), before) == 0 &&
                      t.compare(t.size() - wcslen(after), std::wstring::npos, after) == 0;
                if (!used[i] && bMatch && drawn[i].colour == colour) {
                    used[i] = true;
                    return int(i);
                }
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
            if (i >= 0 && nCaptionPixels)
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
    const std::vector<std::pair<UINT_PTR, UINT>> started = Take(s_timersStarted);
    const expected::Timer timers[] = {expected::kTimerForeground, expected::kTimerLimit, expected::kTimerProgress,
                                      expected::kTimerDisplay};
    for (const expected::Timer& t : timers)
        CHECK(std::count(started.begin(), started.end(), std::make_pair(UINT_PTR(t.id), UINT(t.periodMs))) > 0,
              "timer %u with %u ms", t.id, t.periodMs);
    for (const auto& t : started)
        CHECK(std::any_of(std::begin(timers), std::end(timers), [&](const expected::Timer& e) { return e.id == t.first; }),
              "timer %u started", unsigned(t.first));
    CloseMain();

    CHECK(DriveTo(SCREEN_NOTICE, {}));
    PumpFor(100);
    Take(s_pensMade);
    Take(s_brushesMade);
    Repaint();
    PumpFor(200);
    const std::vector<std::pair<COLORREF, int>> pens = Take(s_pensMade);
    const std::vector<COLORREF> brushes = Take(s_brushesMade);
    const std::pair<COLORREF, int> wantPens[] = {{expected::kTextColour, expected::kNoticeFrameWidth},
                                                 {expected::kTextColour, expected::kContactFrameWidth},
                                                 {expected::kFocusBorder, expected::kFocusBorderWidth}};
    for (const auto& p : wantPens)
        CHECK(std::find(pens.begin(), pens.end(), p) != pens.end(), "pen 0x%06lX %d px", p.first, p.second);
    for (const auto& p : pens)
        CHECK(std::find(std::begin(wantPens), std::end(wantPens), p) != std::end(wantPens), "pen 0x%06lX %d px made",
              p.first, p.second);
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
    {
        Lock lock;
        s_calls[nIndex].bCancelSeen = bSeen;
    }
    Sleep(step.dwLingerMs);
    return RUN_TIMEOUT;
}

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc >= 3 ? argv[1] : L"";
    if (mode != L"check" && mode != L"timing" && !(mode == L"shots" && argc >= 5)) {
        fprintf(stderr, "usage: ui_harness check REPORT | shots DIR PREFIX REPORT | timing REPORT\n");
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
        for (void (*pCheck)() : {CheckFittedText, CheckWorkerGuards, CheckCloseBeforeWorker, CheckStrayCommands,
                                 CheckMessageLoopFailure, CheckRetry, CheckPower, CheckCancelBeforeFlash,
                                 CheckShutdownBlockReason, CheckSmallSizes,
                                 CheckHygiene, CheckDrawnTexts, CheckTimersAndColours})
            pCheck();
    } else {
        RunScreens(mode == L"shots", argv[2], argv[argc - 2]);
    }
    UnregisterMainWindowClass(windowClass);
    ReportLine("ui_harness: %d passed, %d failed", s_passed, s_failed);
    fclose(s_report);
    return s_failed == 0 ? 0 : 1;
}
