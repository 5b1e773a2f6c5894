// RunChildProcess with the helper program: the time limit, termination and the
// cancel event; the Windows version check in a helper told other versions. Exit codes, tools that cannot start and the touchpad probe are
// checked by the scenarios (info_exit1, update_reflash_unstartable, touchpad_*)
// against the strict substitute tools and library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/app.h"

namespace {

// The helper program, beside this one.
std::wstring HelperPath()
{
    WCHAR sz[MAX_PATH] = {0};
    GetModuleFileNameW(NULL, sz, MAX_PATH);
    return std::wstring(sz, wcsrchr(sz, L'\\') + 1) + L"app_child_helper.exe";
}

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream f(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A fresh work folder made by the program's own code (g_szWorkFolder), deleted
// with its contents at the end of the scope.
struct WorkFolder {
    WorkFolder() { CreateWorkFolder(); }
    ~WorkFolder() { DeleteSessionFiles(); }
    std::wstring path() const { return g_szWorkFolder; }
};

}  // namespace

enum class After { Exited, Terminated, Running };

TEST(ChildProcess, ResultsExitCodesAndWhatIsLeftRunning)
{
    const WorkFolder folder;
    ASSERT_NE(0, g_szWorkFolder[0]);
    const std::wstring helper = HelperPath();
    const DWORD kNone = 0xFFFFFFFFu;
    const struct {
        const char* name;
        const wchar_t* args;
        DWORD timeoutMs;
        BOOL terminate;
        int cancel;  // 0 none, 1 unsignalled event, 2 signalled event
        DWORD result, exitCode;
        After after;
    } cases[] = {
        {"exit 6", L"exit 6", 20000, TRUE, 1, 0, 6, After::Exited},
        {"no cancel event", L"sleep 300 42", 20000, TRUE, 0, 0, 42, After::Exited},
        {"time-out, terminated", L"sleep 30000 3", 3000, TRUE, 1, RUN_TIMEOUT, kNone, After::Terminated},
        {"time-out, left running", L"sleep 30000 3", 3000, FALSE, 1, RUN_TIMEOUT, kNone, After::Running},
        {"cancelled, left running", L"sleep 30000 3", 20000, TRUE, 2, RUN_TIMEOUT, kNone, After::Running},
        {"time limit 0 returns at once", L"sleep 30000 3", 0, FALSE, 1, RUN_TIMEOUT, kNone, After::Running},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((folder.path() + L"\\child_started.txt").c_str());
        HANDLE hCancel = c.cancel ? CreateEventW(NULL, TRUE, c.cancel == 2, NULL) : NULL;
        DWORD dwExitCode = 12345;
        const DWORD dwStart = GetTickCount();
        EXPECT_EQ(c.result,
                  RunChildProcess(helper.c_str(), c.args, hCancel, &dwExitCode, c.timeoutMs, c.terminate));
        EXPECT_LT(GetTickCount() - dwStart, 15000u);
        EXPECT_EQ(c.exitCode, dwExitCode);
        if (hCancel) CloseHandle(hCancel);
        std::string record;  // "<process id> <current directory>", written by the helper
        for (int i = 0; i < 200 && record.find(' ') == std::string::npos; ++i, Sleep(50)) {
            record = ReadFileBytes(folder.path() + L"\\child_started.txt");
        }
        const DWORD pid = DWORD(std::strtoul(record.c_str(), nullptr, 10));
        ASSERT_NE(0u, pid) << "the helper never started";
        const std::wstring dir(record.begin() + record.find(' ') + 1, record.end());
        EXPECT_EQ(0, lstrcmpiW(dir.c_str(), folder.path().c_str())) << "started in the work folder";
        HANDLE hChild = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        if (c.after == After::Running) {
            ASSERT_NE(nullptr, hChild);
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hChild, 0)) << "must be left running";
            TerminateProcess(hChild, 99);
            WaitForSingleObject(hChild, 5000);
        } else if (c.after == After::Terminated && hChild != NULL) {
            // Gone already, or ended by TerminateProcess with 0, never run on to its own 3.
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hChild, 5000));
            DWORD code = 77;
            GetExitCodeProcess(hChild, &code);
            EXPECT_EQ(0u, code);
        }
        if (hChild) CloseHandle(hChild);
    }
}

// IsSupportedOs in the helper, which Wine tells a Windows version of its own
// (its AppDefaults key): XP and Vista are refused, 7 and later pass. Windows
// itself ignores the key, so there the test is skipped.
TEST(SupportedOs, Windows7OrLater)
{
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == NULL) GTEST_SKIP() << "Wine only";
    const WorkFolder folder;
    const std::wstring helper = HelperPath();
    const WCHAR kKey[] = L"Software\\Wine\\AppDefaults\\app_child_helper.exe";
    HKEY hKey = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL));
    const struct {
        const wchar_t* version;
        DWORD supported;
    } cases[] = {{L"winxp", 0}, {L"vista", 0}, {L"win7", 1}, {L"win8", 1}, {L"win10", 1}};
    for (const auto& c : cases) {
        RegSetValueExW(hKey, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.version),
                       DWORD(sizeof(WCHAR) * (wcslen(c.version) + 1)));
        DWORD dwExitCode = 12345;
        EXPECT_EQ(0u, RunChildProcess(helper.c_str(), L"os", NULL, &dwExitCode, 20000, TRUE)) << c.version;
        EXPECT_EQ(c.supported, dwExitCode) << c.version;
    }
    RegCloseKey(hKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
}
