// Libraries and programs from the system folder only. The program is started
// from wherever a user saved it, typically a Downloads folder among files
// nobody chose; a library or program found there by its plain name would run
// inside a process that holds an authenticated session with the maker's
// driver.
#include "app/app.h"

#include <shlwapi.h>

namespace {

// SetDefaultDllDirectories exists from Windows 8 on, and on Windows 7 with its
// loader update. A static import of it would keep the program from starting
// on a Windows 7 without that update, so it is looked up at run time.
typedef BOOL(WINAPI* PFN_SET_DEFAULT_DLL_DIRECTORIES)(DWORD dwDirectoryFlags);

// Whether the plain-name search already covers the system folder only.
bool s_bSystemFolderOnly = false;

}  // namespace

void RestrictLibrarySearch()
{
    const HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    const auto pfnSetDefault = reinterpret_cast<PFN_SET_DEFAULT_DLL_DIRECTORIES>(reinterpret_cast<void*>(
        hKernel != NULL ? GetProcAddress(hKernel, "SetDefaultDllDirectories") : NULL));
    if (pfnSetDefault != NULL && pfnSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        s_bSystemFolderOnly = true;
        return;
    }
    // Without it the current directory at least leaves the search; the
    // program's own folder cannot, so LoadSystemLibrary names the system
    // folder itself.
    SetDllDirectoryW(L"");
}

bool GetSystemFolderPath(LPCWSTR pszName, WCHAR* pszPath)
{
    const UINT nLength = GetSystemDirectoryW(pszPath, MAX_PATH);
    if (nLength == 0 || nLength >= MAX_PATH) {
        pszPath[0] = L'\0';
        return false;
    }
    if (pszName != NULL && !PathAppendW(pszPath, pszName)) {
        pszPath[0] = L'\0';
        return false;
    }
    return true;
}

HMODULE LoadLibraryFromSystemFolder(LPCWSTR pszName)
{
    WCHAR szPath[MAX_PATH];
    if (!GetSystemFolderPath(pszName, szPath)) {
        return NULL;
    }
    // With a full path and this flag, the libraries it needs in turn are
    // searched for beside it, in the system folder, instead of beside the
    // program.
    return LoadLibraryExW(szPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(LPCWSTR pszName)
{
    return s_bSystemFolderOnly ? LoadLibraryW(pszName) : LoadLibraryFromSystemFolder(pszName);
}
