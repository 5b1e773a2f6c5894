// The one message box that ends a run.
#include "app/app.h"

void ShowOutcome(UINT id)
{
    if (id == 0) {
        return;
    }
    WCHAR szMessage[256];
    ZeroMemory(szMessage, sizeof(szMessage));
    if (LoadStringW(g_hInstance, id, szMessage, ARRAYSIZE(szMessage)) > 0) {
        MessageBoxW(NULL, szMessage, g_szTitle, MB_OK | MB_TOPMOST);
    }
}
