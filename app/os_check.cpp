// The Windows version check: Windows 7 (6.1) or later.
#include "app/app.h"

void BuildOsVersionRequest(OsVersionRequest* pRequest)
{
    ZeroMemory(pRequest, sizeof(*pRequest));
    pRequest->info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    pRequest->info.dwMajorVersion = 6;
    pRequest->info.dwMinorVersion = 1;
    pRequest->info.wServicePackMajor = 0;
    pRequest->dwTypeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;

    DWORDLONG dwlMask = 0;
    dwlMask = VerSetConditionMask(dwlMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_MINORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    pRequest->dwlConditionMask = dwlMask;
}

bool IsSupportedOs()
{
    OsVersionRequest request;
    BuildOsVersionRequest(&request);
    return VerifyVersionInfoW(&request.info, request.dwTypeMask, request.dwlConditionMask) != FALSE;
}

void KeepAwakeAndAskFirstAtShutdown()
{
    // Keeps the system and the display awake while the window is up, and puts
    // this process at the top of the application range (0x3FF), so that it is
    // asked first when the system shuts down. Neither result is checked and
    // neither setting is undone.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    SetProcessShutdownParameters(0x3FF, 0);
}
