// The globals shared by the start-up sequence, the main window and the
// update worker.
#include "app/app.h"

HINSTANCE g_hInstance = NULL;
WCHAR g_szTitle[MAX_PATH] = {0};
WCHAR g_szWorkFolder[MAX_PATH] = {0};
WCHAR g_szImagePath[MAX_PATH] = {0};
WCHAR g_szInfoToolPath[MAX_PATH] = {0};
WCHAR g_szReflashToolPath[MAX_PATH] = {0};
WCHAR g_szLogPath[MAX_PATH] = {0};
BOOL g_bRestart = FALSE;
