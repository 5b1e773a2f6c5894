// One update attempt on a detached worker thread.
#include "ui/update_worker.h"

#include <process.h>

#include "app/vendor_tools.h"

namespace {

// The attempt itself: power check, flashing, verification. Returns the
// attempt's result code.
DWORD RunAttempt(HANDLE hCancelEvent)
{
    const PowerStatus power = ReadPowerStatus();
    if (power.bAcOffline) {
        return RESULT_AC_OFFLINE;
    }
    if (power.bNoBattery) {
        return RESULT_NO_BATTERY;
    }

    // A cancel that came before the flash started (the window was closed
    // between Yes and here) ends the attempt as a cancel during the run
    // does, and no flash starts that nobody would wait for.
    if (hCancelEvent != NULL && WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0) {
        return RUN_TIMEOUT;
    }

    DWORD dwExitCode = 0xFFFFFFFFu;
    DWORD dwResult = RunChildProcess(g_szReflashToolPath, REFLASH_ARGS, hCancelEvent, &dwExitCode,
                                     REFLASH_TIMEOUT_MS, FALSE);
    if (dwResult != 0) {
        return dwResult;
    }
    if (dwExitCode != 0) {
        return RUN_ERROR;
    }

    dwExitCode = 0xFFFFFFFFu;
    dwResult = RunChildProcess(g_szInfoToolPath, VERIFY_ARGS, hCancelEvent, &dwExitCode,
                               VERIFY_TIMEOUT_MS, TRUE);
    if (dwResult != 0) {
        return dwResult;
    }
    return dwExitCode == 0 ? 0 : RUN_ERROR;
}

unsigned __stdcall UpdateWorkerThread(void* pArgument)
{
    UpdateWorker(static_cast<WorkerContext*>(pArgument));
    return 0;
}

}  // namespace

void UpdateWorker(WorkerContext* pContext)
{
    if (pContext == NULL || pContext->hWnd == NULL) {
        return;
    }
    // Copies: once hDoneEvent is signalled the window may close the events,
    // so nothing is read from the context after that.
    const HANDLE hCancelEvent = pContext->hCancelEvent;
    const HANDLE hDoneEvent = pContext->hDoneEvent;
    const HWND hWnd = pContext->hWnd;

    const DWORD dwResult = RunAttempt(hCancelEvent);

    if (hDoneEvent != NULL) {
        SetEvent(hDoneEvent);
    }
    // Fails quietly when the window no longer exists.
    PostMessageW(hWnd, WM_APP_UPDATE, UPDATE_RESULT, static_cast<LPARAM>(dwResult));
}

bool StartUpdateWorker(WorkerContext* pContext)
{
    const uintptr_t hThread = _beginthreadex(NULL, 0, UpdateWorkerThread, pContext, 0, NULL);
    if (hThread == 0) {
        return false;
    }
    // Detached: nobody waits for the thread or reads its exit status.
    CloseHandle(reinterpret_cast<HANDLE>(hThread));
    return true;
}
