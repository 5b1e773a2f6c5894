// Runs one program hidden in the work folder and waits for it.
#include <windows.h>

#include <shellapi.h>

#include "app/app.h"

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "SHELLEXECUTEINFOW of a 32-bit program is 60 bytes");
#endif

DWORD RunChildProcess(LPCWSTR pszProgramPath, LPCWSTR pszCommandArgs, HANDLE hCancelEvent,
                      DWORD* pdwExitCode, DWORD dwTimeoutMs, BOOL bTerminateOnTimeout)
{
    return RunChildProcessIn(g_szWorkFolder, pszProgramPath, pszCommandArgs, hCancelEvent, pdwExitCode,
                             dwTimeoutMs, bTerminateOnTimeout);
}

DWORD RunChildProcessIn(LPCWSTR pszDirectory, LPCWSTR pszProgramPath, LPCWSTR pszCommandArgs,
                        HANDLE hCancelEvent, DWORD* pdwExitCode, DWORD dwTimeoutMs,
                        BOOL bTerminateOnTimeout)
{
    DWORD dwIgnored = 0;
    if (pdwExitCode == NULL) {
        pdwExitCode = &dwIgnored;
    }
    *pdwExitCode = 0xFFFFFFFFu;

    SHELLEXECUTEINFOW sei;
    ZeroMemory(&sei, sizeof(sei));
    sei.cbSize = sizeof(sei);
    // No error box for a program that cannot start: the caller hears
    // RUN_ERROR. On the worker thread such a box would stand behind the
    // top-most main window, and the attempt would never end.
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.hwnd = NULL;
    sei.lpVerb = L"open";
    sei.lpFile = pszProgramPath;
    sei.lpParameters = pszCommandArgs;
    sei.lpDirectory = pszDirectory;
    sei.nShow = SW_HIDE;

    if (!ShellExecuteExW(&sei)) {
        return RUN_ERROR;
    }
    if (sei.hProcess == NULL) {
        return RUN_ERROR;
    }

    // The process handle comes first, so a program that has ended wins over
    // a cancel event signalled at the same moment.
    HANDLE handles[2] = {sei.hProcess, hCancelEvent};
    const DWORD nHandles = (hCancelEvent != NULL) ? 2 : 1;
    const DWORD dwWait = WaitForMultipleObjects(nHandles, handles, FALSE, dwTimeoutMs);

    DWORD dwResult;
    if (dwWait == WAIT_OBJECT_0) {
        dwResult = GetExitCodeProcess(sei.hProcess, pdwExitCode) ? 0 : RUN_ERROR;
    } else if (nHandles == 2 && dwWait == WAIT_OBJECT_0 + 1) {
        // Cancelled: the program is left running.
        dwResult = RUN_TIMEOUT;
    } else if (dwWait == WAIT_TIMEOUT) {
        if (bTerminateOnTimeout) {
            TerminateProcess(sei.hProcess, 0);
        }
        dwResult = RUN_TIMEOUT;
    } else {
        dwResult = RUN_ERROR;
    }

    CloseHandle(sei.hProcess);
    return dwResult;
}
