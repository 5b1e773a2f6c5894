// Timed harness (not a test): the paint time of each of the window's five
// screens. The window is registered and created by the program's own code;
// each screen is shown by setting g_nScreen, and only the window's own
// WM_PAINT is timed (invalidated and erased first, the child controls not
// repainted), 100 times a screen. Prints min, median and max.
//
//   make ui-paint-timing   (at 1920x1080 and 96 dpi in a Wine virtual desktop)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "ui/main_window.h"

int wmain(int argc, wchar_t** argv)
{
    FILE* out = argc > 1 ? _wfopen(argv[1], L"w") : NULL;
    if (out == NULL) out = stdout;
    auto pSetContext = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    if (pSetContext == NULL || !pSetContext(reinterpret_cast<HANDLE>(INT_PTR(-3)))) SetProcessDPIAware();
    g_hInstance = GetModuleHandleW(NULL);
    lstrcpyW(g_szTitle, L"Quillmere");
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    const MainWindowClass windowClass = RegisterMainWindowClass();
    const HWND hWnd = CreateMainWindow();
    if (hWnd == NULL) {
        fprintf(stderr, "the window could not be created (error %lu)\n", GetLastError());
        return 1;
    }
    RECT rc;
    GetClientRect(hWnd, &rc);
    HDC hdc = GetDC(hWnd);
    const int nDpi = GetDeviceCaps(hdc, LOGPIXELSY);
    ReleaseDC(hWnd, hdc);
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    const wchar_t* const kNames[] = {L"notice", L"updating", L"completed", L"failed", L"retry"};
    for (UINT nScreen = SCREEN_NOTICE; nScreen <= SCREEN_RETRY; ++nScreen) {
        g_nScreen = nScreen;
        std::vector<double> ms;
        for (int i = 0; i < 100; ++i) {
            RedrawWindow(hWnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ERASENOW | RDW_NOCHILDREN);
            QueryPerformanceCounter(&t0);
            SendMessageW(hWnd, WM_PAINT, 0, 0);
            GdiFlush();
            QueryPerformanceCounter(&t1);
            ms.push_back(1000.0 * double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
        }
        std::sort(ms.begin(), ms.end());
        fprintf(out, "paint %-9ls %ldx%ld %d dpi: min %.2f ms, median %.2f ms, max %.2f ms (%u paints)\n",
                kNames[nScreen], rc.right, rc.bottom, nDpi, ms.front(), ms[ms.size() / 2], ms.back(),
                unsigned(ms.size()));
    }
    g_nScreen = SCREEN_NOTICE;  // no attempt runs: the window goes at once
    DestroyWindow(hWnd);
    UnregisterMainWindowClass(windowClass);
    if (out != stdout) fclose(out);
    return 0;
}
