// Entry point of Quillmere. The command line and the show command are not
// read; the process always returns 0.
#include "app/app.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPWSTR /*pCmdLine*/,
                    int /*nCmdShow*/)
{
    // First, before anything loads a library: the program may have been
    // started from a folder that holds files of any name.
    RestrictLibrarySearch();
    UpdateSession(hInstance);
    return 0;
}
