// The message loop of the main window.
#include "app/app.h"

UINT RunMessageLoop(HWND hWnd)
{
    MSG msg;
    ZeroMemory(&msg, sizeof(msg));
    for (;;) {
        const BOOL bGot = GetMessageW(&msg, NULL, 0, 0);
        if (bGot == 0) {
            break;
        }
        if (bGot == -1) {
            // A failed retrieval would fail again. Leaving with the window
            // alive would leave its worker running while the caller deletes
            // the tools under it: the destruction cancels the attempt and
            // waits for it. The quit message it posts is taken here, so it
            // cannot end the final message box at once.
            DestroyWindow(hWnd);
            ZeroMemory(&msg, sizeof(msg));
            PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
            break;
        }
        if (!IsDialogMessageW(hWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return msg.message == WM_QUIT ? static_cast<UINT>(msg.wParam) : 0;
}
