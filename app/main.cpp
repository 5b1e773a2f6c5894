// Entry point of Quillmere. The command line and the show command are not
// read; the process always returns 0.
#include "app/app.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPWSTR /*pCmdLine*/,
                    int /*nCmdShow*/)
{
    UpdateSession(hInstance);
    return 0;
}
