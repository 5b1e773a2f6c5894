// The program's one top-level window: a full-screen, top-most pop-up that
// shows one of five screens, runs up to two update attempts on a worker
// thread and hands a quit code and the restart flag back to the entry point.
#pragma once

#include <windows.h>

#include "app/app.h"

// Private message between the window and the update worker.
#define WM_APP_UPDATE (WM_APP + 0x1001)  // 0x9001
#define UPDATE_START 1                   // lParam 0; posted by the window to itself
#define UPDATE_RESULT 2                  // lParam = result code; posted by the worker

// Attempt results beyond those of RunChildProcess (0, RUN_ERROR, RUN_TIMEOUT).
#define RESULT_AC_OFFLINE 0xF003u
#define RESULT_NO_BATTERY 0xF004u

// Values of g_nScreen.
#define SCREEN_NOTICE 0u
#define SCREEN_UPDATING 1u
#define SCREEN_COMPLETED 2u
#define SCREEN_FAILED 3u
#define SCREEN_RETRY 4u

// Child control ids (the progress bar has id 0). The system's IDC_NO names
// a cursor, which this program never loads.
#define IDC_YES 1000
#undef IDC_NO
#define IDC_NO 1001
#define IDC_OK 1002

// Timer ids and periods.
#define TIMER_LIMIT 10
#define TIMER_PROGRESS 20
#define TIMER_FOREGROUND 30
#define TIMER_DISPLAY 40
#define LIMIT_PERIOD_MS 180000u
#define PROGRESS_PERIOD_MS 1000u
#define FOREGROUND_PERIOD_MS 500u
#define DISPLAY_PERIOD_MS 1000u

// The progress bar runs from 0 to PROGRESS_MAX, one step a second.
#define PROGRESS_MAX 179

// Longest wait of the window's destruction for the running attempt.
#define DESTROY_WAIT_MS 600000u

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// The record handed to the update worker. Written by the window during
// WM_CREATE (and the events reset when an attempt starts); the worker only
// reads it.
struct WorkerContext {
    HANDLE hCancelEvent;  // manual reset; signalled to make the worker stop waiting
    HANDLE hDoneEvent;    // manual reset; signalled while no worker runs or once its attempt is decided
    HWND hWnd;            // receives UPDATE_RESULT
};

// Window state. Only the user-interface thread touches it.
extern UINT g_nScreen;
extern UINT g_nQuitCode;     // 0, 134, 135 or 142
extern LONG g_nRetriesLeft;  // retry offers left
extern UINT_PTR g_nLimitTimer;
extern UINT_PTR g_nProgressTimer;
extern UINT_PTR g_nForegroundTimer;
extern UINT_PTR g_nDisplayTimer;
extern HWND g_hProgress;
extern HWND g_hYesButton;
extern HWND g_hNoButton;
extern HWND g_hOkButton;
extern WorkerContext g_WorkerContext;

// The window procedure of the main window's class.
LRESULT CALLBACK MainWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// The main window's class as registered: its atom (0 when the registration
// failed) and its white background brush.
struct MainWindowClass {
    ATOM atom;
    HBRUSH hBackground;
};

// Makes the background brush and registers the class
// "Velmorant_Quillmere_20160204_WndClass" of g_hInstance (redrawn when
// resized, no close item, icon 128, the arrow cursor).
MainWindowClass RegisterMainWindowClass();

// Creates the full-screen, top-most pop-up on the notice screen, titled
// g_szTitle, shows it maximised and paints it. NULL when it cannot be created.
HWND CreateMainWindow();

// Unregisters the class, which frees its brush; after a failed registration
// only the brush is deleted.
void UnregisterMainWindowClass(const MainWindowClass& windowClass);
