// A library of a name the system folder does not hold, laid beside the test
// program as a Downloads folder would hold a planted one.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
