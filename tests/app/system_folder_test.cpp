// Libraries come from the system folder only: a library beside the program or
// in the current directory is never taken, by either way of loading (the
// restricted plain-name search, or the full path where Windows 7 lacks
// SetDefaultDllDirectories). Wine has that call, so only this test reaches
// the full-path way.
#include <gtest/gtest.h>

#include <string>

#include "app/app.h"

namespace {

std::wstring ModulePath(HMODULE hModule)
{
    WCHAR sz[MAX_PATH] = {0};
    GetModuleFileNameW(hModule, sz, MAX_PATH);
    return sz;
}

}  // namespace

TEST(SystemLibrary, NeverTheOneBesideTheProgram)
{
    const WCHAR kName[] = L"qm_planted.dll";
    std::wstring folder = ModulePath(NULL);
    folder.resize(folder.rfind(L'\\'));
    const std::wstring beside = folder + L"\\" + kName;
    WCHAR szSystem[MAX_PATH];
    ASSERT_TRUE(GetSystemFolderPath(kName, szSystem));
    DeleteFileW(szSystem);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));

    // The plain name as Windows searches it by default finds the planted one.
    HMODULE hPlanted = LoadLibraryW(kName);
    ASSERT_NE(nullptr, hPlanted);
    EXPECT_EQ(0, lstrcmpiW(beside.c_str(), ModulePath(hPlanted).c_str()));
    FreeLibrary(hPlanted);

    RestrictLibrarySearch();
    const struct {
        const char* name;
        HMODULE (*load)(LPCWSTR);
    } ways[] = {{"LoadSystemLibrary", LoadSystemLibrary}, {"by full path", LoadLibraryFromSystemFolder}};
    for (const auto& w : ways) {
        SCOPED_TRACE(w.name);
        EXPECT_EQ(nullptr, w.load(kName)) << "only the planted one exists";
    }

    ASSERT_TRUE(CopyFileW(beside.c_str(), szSystem, FALSE));
    for (const auto& w : ways) {
        SCOPED_TRACE(w.name);
        HMODULE hModule = w.load(kName);
        ASSERT_NE(nullptr, hModule);
        EXPECT_EQ(0, lstrcmpiW(szSystem, ModulePath(hModule).c_str())) << "the system folder's";
        FreeLibrary(hModule);
    }
    EXPECT_TRUE(DeleteFileW(szSystem));
}
