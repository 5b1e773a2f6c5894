// The Windows version check: Windows 7 (6.1) or later.
#include "app/app.h"

bool IsSupportedOs()
{
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 1;
    info.wServicePackMajor = 0;

    DWORDLONG dwlMask = 0;
    dwlMask = VerSetConditionMask(dwlMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_MINORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, dwlMask) !=
           FALSE;
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
