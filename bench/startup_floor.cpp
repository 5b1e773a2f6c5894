// The floor of the update tool's start-up, for `make bench-startup`: only
// what the tool cannot leave out before its window is up. The same 1000 ms of
// pauses, one hidden run of the information tool through ShellExecuteExW
// (the one in the working directory, with the same arguments), and the same
// window: the class and the top-most maximised pop-up, with nothing on it.
// It ends when the window is closed. Its first action logs "floor started"
// to the simulated laptop's run log, which times the process start.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include "sim/tools/sim_scenario.h"

namespace {

LRESULT CALLBACK FloorWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void RunInformationTool() {
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    const wchar_t* tool = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? L"KvInfo64.exe" : L"KvInfo32.exe";
    wchar_t dir[MAX_PATH] = {0}, path[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, dir);
    wsprintfW(path, L"%s\\%s", dir, tool);
    SHELLEXECUTEINFOW sei = {};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpVerb = L"open";
    sei.lpFile = path;
    sei.lpParameters = L"/I 1846958;2025418";
    sei.lpDirectory = dir;
    sei.nShow = SW_HIDE;
    if (!ShellExecuteExW(&sei) || !sei.hProcess) return;
    WaitForSingleObject(sei.hProcess, 600000);
    DWORD code = 0;
    GetExitCodeProcess(sei.hProcess, &code);
    CloseHandle(sei.hProcess);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    qmsim::LogRun("floor started");
    for (int i = 0; i < 5; ++i) Sleep(200);  // the work folder's two pauses, the extraction's three
    RunInformationTool();

    const wchar_t kClass[] = L"Velmorant_Quillmere_20160204_WndClass";
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE;
    wc.lpfnWndProc = FloorWindowProc;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = white;
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    HWND w = CreateWindowExW(WS_EX_TOPMOST, kClass, L"Quillmere", WS_POPUP | WS_VISIBLE, CW_USEDEFAULT, 0,
                             CW_USEDEFAULT, 0, nullptr, nullptr, hInstance, nullptr);
    if (w) {
        ShowWindow(w, SW_SHOWMAXIMIZED);
        UpdateWindow(w);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DeleteObject(white);
    return 0;
}
