// Test doubles and measuring hooks of the UI harness.
#include "tests/ui/harness_support.h"

#include <process.h>
#include <winternl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <set>

// ---------------------------------------------------------------------------
// Doubles of the globals the product's update-control code defines.
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

FILE* s_report = NULL;
int s_passed = 0;
int s_failed = 0;

std::vector<StubStep> s_steps;
size_t s_nextStep = 0;
std::vector<StubCall> s_calls;
HANDLE s_hWaiting = NULL;

bool s_bPowerOk = true;
BYTE s_bAcLine = 1;
BYTE s_bBatteryFlag = 1;

ResourceCounts s_counts = {};
std::map<HGDIOBJ, int> s_liveGdi;
std::set<HANDLE> s_liveHandles;
HDC s_recentDcs[32];
size_t s_nextDc = 0;
RECT s_lastDraw = {0, 0, 0, 0};
int s_drawCalls = 0;

// Originals of the hooked functions.
decltype(&CreateFontW) s_CreateFontW;
decltype(&CreatePen) s_CreatePen;
decltype(&CreateSolidBrush) s_CreateSolidBrush;
decltype(&DeleteObject) s_DeleteObject;
decltype(&SelectObject) s_SelectObject;
decltype(&CreateEventW) s_CreateEventW;
decltype(&CloseHandle) s_CloseHandle;
decltype(&MoveWindow) s_MoveWindow;
decltype(&GetSystemPowerStatus) s_GetSystemPowerStatus;
decltype(&DrawTextExW) s_DrawTextExW;
decltype(&_beginthreadex) s_beginthreadex;

void TrackGdi(HGDIOBJ h)
{
    if (h == NULL) {
        return;
    }
    Lock lock;
    s_liveGdi[h] = 1;
    ++s_counts.gdiCreated;
    s_counts.gdiLive = static_cast<long>(s_liveGdi.size());
}

HFONT WINAPI HookCreateFontW(int a, int b, int c, int d, int e, DWORD f, DWORD g, DWORD h, DWORD i,
                             DWORD j, DWORD k, DWORD l, DWORD m, LPCWSTR n)
{
    HFONT hFont = s_CreateFontW(a, b, c, d, e, f, g, h, i, j, k, l, m, n);
    TrackGdi(hFont);
    return hFont;
}

HPEN WINAPI HookCreatePen(int nStyle, int nWidth, COLORREF color)
{
    HPEN hPen = s_CreatePen(nStyle, nWidth, color);
    TrackGdi(hPen);
    return hPen;
}

HBRUSH WINAPI HookCreateSolidBrush(COLORREF color)
{
    HBRUSH hBrush = s_CreateSolidBrush(color);
    TrackGdi(hBrush);
    return hBrush;
}

HGDIOBJ WINAPI HookSelectObject(HDC hdc, HGDIOBJ hObject)
{
    {
        Lock lock;
        bool bKnown = false;
        for (HDC dc : s_recentDcs) {
            bKnown = bKnown || dc == hdc;
        }
        if (!bKnown) {
            s_recentDcs[s_nextDc++ % 32] = hdc;
        }
    }
    return s_SelectObject(hdc, hObject);
}

BOOL WINAPI HookDeleteObject(HGDIOBJ hObject)
{
    {
        Lock lock;
        for (HDC dc : s_recentDcs) {
            if (dc == NULL) {
                continue;
            }
            if (GetCurrentObject(dc, OBJ_FONT) == hObject || GetCurrentObject(dc, OBJ_PEN) == hObject ||
                GetCurrentObject(dc, OBJ_BRUSH) == hObject) {
                ++s_counts.deletedSelected;
            }
        }
        auto it = s_liveGdi.find(hObject);
        if (it == s_liveGdi.end()) {
            // Bitmaps and DCs of the harness's own captures are not tracked.
            const DWORD dwType = GetObjectType(hObject);
            if (dwType == OBJ_FONT || dwType == OBJ_PEN || dwType == OBJ_BRUSH) {
                ++s_counts.deletedUnknown;
            }
        } else {
            s_liveGdi.erase(it);
        }
        s_counts.gdiLive = static_cast<long>(s_liveGdi.size());
    }
    return s_DeleteObject(hObject);
}

HANDLE WINAPI HookCreateEventW(LPSECURITY_ATTRIBUTES pSa, BOOL bManual, BOOL bInitial, LPCWSTR pszName)
{
    {
        Lock lock;
        if (s_counts.failNextCreateEvent > 0) {
            --s_counts.failNextCreateEvent;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
    }
    HANDLE h = s_CreateEventW(pSa, bManual, bInitial, pszName);
    if (h != NULL) {
        Lock lock;
        s_liveHandles.insert(h);
        s_counts.handlesLive = static_cast<long>(s_liveHandles.size());
    }
    return h;
}

BOOL WINAPI HookCloseHandle(HANDLE h)
{
    {
        Lock lock;
        s_liveHandles.erase(h);
        s_counts.handlesLive = static_cast<long>(s_liveHandles.size());
    }
    return s_CloseHandle(h);
}

uintptr_t __cdecl HookBeginThreadEx(void* pSecurity, unsigned nStack,
                                    unsigned(__stdcall* pStart)(void*), void* pArg, unsigned nFlags,
                                    unsigned* pnThreadId)
{
    const uintptr_t h = s_beginthreadex(pSecurity, nStack, pStart, pArg, nFlags, pnThreadId);
    if (h != 0) {
        Lock lock;
        s_liveHandles.insert(reinterpret_cast<HANDLE>(h));
        s_counts.handlesLive = static_cast<long>(s_liveHandles.size());
    }
    return h;
}

BOOL WINAPI HookMoveWindow(HWND hWnd, int x, int y, int w, int h, BOOL bRepaint)
{
    {
        Lock lock;
        ++s_counts.moveWindowCalls;
    }
    return s_MoveWindow(hWnd, x, y, w, h, bRepaint);
}

BOOL WINAPI HookGetSystemPowerStatus(LPSYSTEM_POWER_STATUS pStatus)
{
    Lock lock;
    if (!s_bPowerOk) {
        return FALSE;
    }
    ZeroMemory(pStatus, sizeof(*pStatus));
    pStatus->ACLineStatus = s_bAcLine;
    pStatus->BatteryFlag = s_bBatteryFlag;
    pStatus->BatteryLifePercent = 80;
    return TRUE;
}

int WINAPI HookDrawTextExW(HDC hdc, LPWSTR psz, int n, LPRECT prc, UINT uFormat, LPDRAWTEXTPARAMS p)
{
    if (!(uFormat & DT_CALCRECT) && prc != NULL) {
        Lock lock;
        s_lastDraw = *prc;
        ++s_drawCalls;
    }
    return s_DrawTextExW(hdc, psz, n, prc, uFormat, p);
}

// Replaces the import-table entry of pszName (in any imported DLL) of this
// program; the program's own code and the statically linked qm_ui call
// through it.
template <typename F>
bool Patch(const char* pszName, F pReplacement, F* pOriginal)
{
    BYTE* pBase = reinterpret_cast<BYTE*>(GetModuleHandleW(NULL));
    auto* pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(pBase);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* pImport = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress);
    bool bDone = false;
    for (; pImport->Name != 0; ++pImport) {
        if (pImport->OriginalFirstThunk == 0) {
            continue;
        }
        auto* pNames = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pImport->OriginalFirstThunk);
        auto* pAddrs = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pImport->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pAddrs) {
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal)) {
                continue;
            }
            auto* pByName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pNames->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(pByName->Name), pszName) != 0) {
                continue;
            }
            DWORD dwOld = 0;
            VirtualProtect(&pAddrs->u1.Function, sizeof(pAddrs->u1.Function), PAGE_READWRITE, &dwOld);
            if (*pOriginal == nullptr) {
                *pOriginal = reinterpret_cast<F>(pAddrs->u1.Function);
            }
            pAddrs->u1.Function = reinterpret_cast<ULONG_PTR>(pReplacement);
            VirtualProtect(&pAddrs->u1.Function, sizeof(pAddrs->u1.Function), dwOld, &dwOld);
            bDone = true;
        }
    }
    return bDone;
}

}  // namespace

// ---------------------------------------------------------------------------
void ReportOpen(const wchar_t* pszPath)
{
    InitializeCriticalSection(&s_lock);
    s_report = _wfopen(pszPath, L"w");
}

void ReportLine(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FILE* out = s_report ? s_report : stdout;
    vfprintf(out, pszFormat, args);
    fputc('\n', out);
    fflush(out);
    va_end(args);
}

bool Check(bool bOk, const char* pszWhat, int nLine, const char* pszFormat, ...)
{
    if (bOk) {
        ++s_passed;
        return true;
    }
    ++s_failed;
    char detail[512] = "";
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(detail, sizeof(detail), pszFormat, args);
    va_end(args);
    ReportLine("FAIL line %d: %s %s", nLine, pszWhat, detail);
    return false;
}

int ReportClose()
{
    ReportLine("ui_harness: %d passed, %d failed", s_passed, s_failed);
    if (s_report) {
        fclose(s_report);
        s_report = NULL;
    }
    return s_failed;
}

void StubReset(const std::vector<StubStep>& steps)
{
    Lock lock;
    s_steps = steps;
    s_nextStep = 0;
    s_calls.clear();
    if (s_hWaiting == NULL) {
        s_hWaiting = CreateEventA(NULL, TRUE, FALSE, NULL);  // not counted: ANSI
    }
    ResetEvent(s_hWaiting);
}

std::vector<StubCall> StubCalls()
{
    Lock lock;
    return s_calls;
}

HANDLE StubWaitingEvent() { return s_hWaiting; }

// The product's child runner, replaced: answers from the script.
DWORD RunChildProcess(LPCWSTR pszProgramPath, LPCWSTR pszCommandArgs, HANDLE hCancelEvent,
                      DWORD* pdwExitCode, DWORD dwTimeoutMs, BOOL bTerminateOnTimeout)
{
    *pdwExitCode = 0xFFFFFFFFu;
    StubStep step = {RUN_ERROR, 0xFFFFFFFFu, STUB_NOW, 0};
    size_t nIndex = 0;
    {
        Lock lock;
        if (s_nextStep < s_steps.size()) {
            step = s_steps[s_nextStep++];
        }
        StubCall call;
        call.program = pszProgramPath ? pszProgramPath : L"";
        call.args = pszCommandArgs ? pszCommandArgs : L"";
        call.bHasCancel = hCancelEvent != NULL;
        call.bCancelSetOnEntry = hCancelEvent && WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0;
        call.bCancelSeen = false;
        call.dwTimeoutMs = dwTimeoutMs;
        call.bTerminate = bTerminateOnTimeout;
        s_calls.push_back(call);
        nIndex = s_calls.size() - 1;
    }
    if (step.mode == STUB_UNTIL_CANCEL) {
        SetEvent(s_hWaiting);
        const DWORD dwWait = hCancelEvent ? WaitForSingleObject(hCancelEvent, 30000) : WAIT_FAILED;
        {
            Lock lock;
            s_calls[nIndex].bCancelSeen = dwWait == WAIT_OBJECT_0;
        }
        Sleep(step.dwLingerMs);
        return RUN_TIMEOUT;
    }
    if (step.dwResult == 0) {
        *pdwExitCode = step.dwExitCode;
    }
    return step.dwResult;
}

void SetPowerStatus(bool bCallSucceeds, BYTE bAcLine, BYTE bBatteryFlag)
{
    Lock lock;
    s_bPowerOk = bCallSucceeds;
    s_bAcLine = bAcLine;
    s_bBatteryFlag = bBatteryFlag;
}

bool InstallHooks()
{
    bool bOk = true;
    bOk &= Patch("CreateFontW", &HookCreateFontW, &s_CreateFontW);
    bOk &= Patch("CreatePen", &HookCreatePen, &s_CreatePen);
    bOk &= Patch("CreateSolidBrush", &HookCreateSolidBrush, &s_CreateSolidBrush);
    bOk &= Patch("DeleteObject", &HookDeleteObject, &s_DeleteObject);
    bOk &= Patch("SelectObject", &HookSelectObject, &s_SelectObject);
    bOk &= Patch("CreateEventW", &HookCreateEventW, &s_CreateEventW);
    bOk &= Patch("CloseHandle", &HookCloseHandle, &s_CloseHandle);
    bOk &= Patch("MoveWindow", &HookMoveWindow, &s_MoveWindow);
    bOk &= Patch("GetSystemPowerStatus", &HookGetSystemPowerStatus, &s_GetSystemPowerStatus);
    bOk &= Patch("DrawTextExW", &HookDrawTextExW, &s_DrawTextExW);
    bOk &= Patch("_beginthreadex", &HookBeginThreadEx, &s_beginthreadex);
    return bOk;
}

ResourceCounts Counts()
{
    Lock lock;
    return s_counts;
}

void ResetMoveWindowCalls()
{
    Lock lock;
    s_counts.moveWindowCalls = 0;
}

void FailCreateEvents(long nCount)
{
    Lock lock;
    s_counts.failNextCreateEvent = nCount;
}

RECT LastDrawRect()
{
    Lock lock;
    return s_lastDraw;
}

int DrawCallCount()
{
    Lock lock;
    return s_drawCalls;
}

Image CaptureScreen(const RECT& rc)
{
    Image img;
    img.w = rc.right - rc.left;
    img.h = rc.bottom - rc.top;
    if (img.w <= 0 || img.h <= 0) {
        img.w = img.h = 0;
        return img;
    }
    img.px.assign(static_cast<size_t>(img.w) * img.h, 0);
    HDC hScreen = GetDC(NULL);
    HDC hMem = CreateCompatibleDC(hScreen);
    BITMAPINFO bmi;
    ZeroMemory(&bmi, sizeof(bmi));
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = img.w;
    bmi.bmiHeader.biHeight = -img.h;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pBits = NULL;
    HBITMAP hBitmap = CreateDIBSection(hMem, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
    if (hBitmap != NULL) {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        BitBlt(hMem, 0, 0, img.w, img.h, hScreen, rc.left, rc.top, SRCCOPY);
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(pBits);
        for (size_t i = 0; i < img.px.size(); ++i) {
            img.px[i] = p[i] & 0x00FFFFFFu;
        }
        SelectObject(hMem, hOld);
        DeleteObject(hBitmap);
    }
    DeleteDC(hMem);
    ReleaseDC(NULL, hScreen);
    return img;
}

bool SaveBmp(const Image& img, const std::wstring& path)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == NULL) {
        return false;
    }
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    ZeroMemory(&fh, sizeof(fh));
    ZeroMemory(&ih, sizeof(ih));
    const DWORD dwBytes = static_cast<DWORD>(img.px.size() * 4);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + dwBytes;
    ih.biSize = sizeof(ih);
    ih.biWidth = img.w;
    ih.biHeight = -img.h;
    ih.biPlanes = 1;
    ih.biBitCount = 32;
    ih.biCompression = BI_RGB;
    fwrite(&fh, sizeof(fh), 1, f);
    fwrite(&ih, sizeof(ih), 1, f);
    fwrite(img.px.data(), 4, img.px.size(), f);
    fclose(f);
    return true;
}

long ProcessGdiObjects()
{
    const DWORD dwCount = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (dwCount != 0) {
        return static_cast<long>(dwCount);
    }
    // Wine keeps a table of 24-byte entries whose first 8 bytes point to the
    // object while it lives; the PEB's GdiSharedHandleTable points to it.
#ifdef _WIN64
    const size_t kPebOffset = 0xF8;
#else
    const size_t kPebOffset = 0x94;
#endif
    typedef LONG(NTAPI * QueryProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto pQueryProcess = reinterpret_cast<QueryProcessFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION pbi;
    ZeroMemory(&pbi, sizeof(pbi));
    if (pQueryProcess == NULL ||
        pQueryProcess(GetCurrentProcess(), 0 /* ProcessBasicInformation */, &pbi, sizeof(pbi), NULL) != 0 ||
        pbi.PebBaseAddress == NULL) {
        return -1;
    }
    const BYTE* pPeb = reinterpret_cast<const BYTE*>(pbi.PebBaseAddress);
    const BYTE* pTable = *reinterpret_cast<const BYTE* const*>(pPeb + kPebOffset);
    if (pTable == NULL) {
        return -1;
    }
    const size_t kEntry = 24;
    const size_t kEntries = 0x10000;
    long nLive = 0;
    size_t nIndex = 0;
    while (nIndex < kEntries) {
        MEMORY_BASIC_INFORMATION mbi;
        const BYTE* pEntry = pTable + nIndex * kEntry;
        if (VirtualQuery(pEntry, &mbi, sizeof(mbi)) == 0 || mbi.State != MEM_COMMIT) {
            break;
        }
        const BYTE* pEnd = static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize;
        for (; nIndex < kEntries && pTable + (nIndex + 1) * kEntry <= pEnd; ++nIndex) {
            UINT64 qwObject = 0;
            memcpy(&qwObject, pTable + nIndex * kEntry, sizeof(qwObject));
            nLive += qwObject != 0;
        }
        if (pTable + nIndex * kEntry < pEnd) {
            break;  // an entry straddles the end of the committed memory
        }
    }
    return nLive;
}

long ProcessOpenHandles()
{
    DWORD dwCount = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &dwCount) && dwCount != 0) {
        return static_cast<long>(dwCount);
    }
    typedef LONG(NTAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    auto pQuery = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (pQuery == NULL) {
        return -1;
    }
    struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
        USHORT wProcessId;
        USHORT wCreatorBackTrace;
        UCHAR bObjectType;
        UCHAR bAttributes;
        USHORT wHandle;
        PVOID pObject;
        ULONG dwAccess;
    };
    std::vector<BYTE> buffer(1 << 20);
    for (int nTry = 0; nTry < 4; ++nTry) {
        ULONG nNeeded = 0;
        const LONG status = pQuery(16 /* SystemHandleInformation */, buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &nNeeded);
        if (status == 0) {
            const ULONG nHandles = *reinterpret_cast<const ULONG*>(buffer.data());
            const Entry* pEntries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
            const USHORT wPid = static_cast<USHORT>(GetCurrentProcessId());
            long nMine = 0;
            for (ULONG i = 0; i < nHandles; ++i) {
                nMine += pEntries[i].wProcessId == wPid;
            }
            return nMine;
        }
        buffer.resize(std::max<size_t>(buffer.size() * 2, nNeeded + 4096));
    }
    return -1;
}

bool Near(DWORD c, COLORREF ref, int nTolerance)
{
    return abs(R(c) - GetRValue(ref)) <= nTolerance && abs(G(c) - GetGValue(ref)) <= nTolerance &&
           abs(Bl(c) - GetBValue(ref)) <= nTolerance;
}
