// Started by RunChildProcess in the tests. Writes "<process id> <current
// directory>" to child_started.txt in its current directory, then
//   exit N       returns N at once
//   sleep MS N   sleeps MS milliseconds, then returns N
//   os           returns 1 when IsSupportedOs() says yes, else 0
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "app/app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    WCHAR szDir[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, szDir);
    if (FILE* f = _wfopen(L"child_started.txt.part", L"w")) {
        fwprintf(f, L"%lu %ls", GetCurrentProcessId(), szDir);
        fclose(f);
        MoveFileExW(L"child_started.txt.part", L"child_started.txt", MOVEFILE_REPLACE_EXISTING);
    }
    int result = 251;
    if (argv && argc == 3 && wcscmp(argv[1], L"exit") == 0) {
        result = _wtoi(argv[2]);
    } else if (argv && argc == 4 && wcscmp(argv[1], L"sleep") == 0) {
        Sleep(DWORD(_wtoi(argv[2])));
        result = _wtoi(argv[3]);
    } else if (argv && argc == 2 && wcscmp(argv[1], L"os") == 0) {
        result = IsSupportedOs() ? 1 : 0;
    }
    LocalFree(argv);
    return result;
}
