// Support of the UI harness: test doubles for the globals and the child
// runner, import-table hooks that count GDI objects and handles, a scripted
// power status, screen capture and a tiny check reporter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/main_window.h"

// ---------------------------------------------------------------------------
// Reporting: one line per failure, a closing "N passed, N failed" line.
void ReportOpen(const wchar_t* pszPath);
void ReportLine(const char* pszFormat, ...);
bool Check(bool bOk, const char* pszWhat, int nLine, const char* pszFormat = "", ...);
int ReportClose();  // prints the summary; returns the number of failures
#define CHECK(cond, ...) Check((cond), #cond, __LINE__, "" __VA_ARGS__)

// ---------------------------------------------------------------------------
// The scripted child runner. Each call takes the next step; with no step
// left it answers RUN_ERROR at once.
enum StubMode {
    STUB_NOW,          // return result/exit code at once
    STUB_UNTIL_CANCEL  // wait for the cancel event, linger, then RUN_TIMEOUT
};
struct StubStep {
    DWORD dwResult;
    DWORD dwExitCode;
    StubMode mode;
    DWORD dwLingerMs;  // after the cancel, before returning
};
struct StubCall {
    std::wstring program;
    std::wstring args;
    bool bHasCancel;
    bool bCancelSetOnEntry;
    bool bCancelSeen;
    DWORD dwTimeoutMs;
    BOOL bTerminate;
};
void StubReset(const std::vector<StubStep>& steps);
std::vector<StubCall> StubCalls();
// Signalled when a STUB_UNTIL_CANCEL step has started waiting.
HANDLE StubWaitingEvent();

// ---------------------------------------------------------------------------
// Power status seen by the worker.
void SetPowerStatus(bool bCallSucceeds, BYTE bAcLine, BYTE bBatteryFlag);

// ---------------------------------------------------------------------------
// Counting hooks in this program's import table.
struct ResourceCounts {
    long gdiLive;          // fonts, pens and brushes created and not deleted
    long gdiCreated;       // total creations
    long deletedSelected;  // objects deleted while selected into a known DC
    long deletedUnknown;   // DeleteObject on something not created here
    long handlesLive;      // events and thread handles open
    long moveWindowCalls;
    long failNextCreateEvent;  // >0: the next CreateEventW calls fail
};
bool InstallHooks();
ResourceCounts Counts();
void ResetMoveWindowCalls();
void FailCreateEvents(long nCount);
// Process-wide counts, for what the hooks cannot see (objects made inside
// the system's own libraries): GDI objects alive in this process and open
// handles of this process, or -1 when they cannot be read. They come from
// GetGuiResources and GetProcessHandleCount where these answer; under Wine,
// whose versions of them answer 0, from the process's GDI handle table
// (PEB) and from NtQuerySystemInformation's handle list.
long ProcessGdiObjects();
long ProcessOpenHandles();

// The rectangle of the last DrawTextExW call that drew (not measured).
RECT LastDrawRect();
int DrawCallCount();

// ---------------------------------------------------------------------------
// Screen capture (0x00RRGGBB pixels).
struct Image {
    int w = 0;
    int h = 0;
    std::vector<DWORD> px;
    DWORD at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};
Image CaptureScreen(const RECT& rc);
bool SaveBmp(const Image& img, const std::wstring& path);

inline int R(DWORD c) { return (c >> 16) & 0xFF; }
inline int G(DWORD c) { return (c >> 8) & 0xFF; }
inline int Bl(DWORD c) { return c & 0xFF; }
inline bool IsWhite(DWORD c) { return R(c) > 235 && G(c) > 235 && Bl(c) > 235; }
inline bool IsBlack(DWORD c) { return R(c) < 90 && G(c) < 90 && Bl(c) < 90; }
inline bool IsRed(DWORD c) { return R(c) > 170 && G(c) < 110 && Bl(c) < 110; }
// Colour equal to COLORREF ref within a small tolerance per channel.
bool Near(DWORD c, COLORREF ref, int nTolerance = 6);
