// RunChildProcess with a helper program: exit codes, time-outs with and
// without termination, the cancel event, a program that cannot start, and
// the work folder as the working directory.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/app.h"
#include "tests/app/test_support.h"

namespace {

enum class After { Exited, Terminated, Running, NotStarted };

struct RunCase {
    const char* name;
    const wchar_t* args;
    DWORD timeoutMs;
    BOOL terminate;
    bool cancelled;
    DWORD expectedResult;
    DWORD expectedExitCode;
    After after;
};

// Waits for the helper's start record; returns its process id and fills
// the directory it started in.
DWORD WaitForStartRecord(const std::wstring& folder, std::wstring* pDir)
{
    const std::wstring path = folder + L"\\child_started.txt";
    for (int i = 0; i < 200; ++i) {
        const std::string text = apptest::ReadFileBytes(path);
        const size_t space = text.find(' ');
        if (space != std::string::npos) {
            const std::string dir = text.substr(space + 1);
            pDir->assign(dir.begin(), dir.end());
            return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
        }
        Sleep(50);
    }
    return 0;
}

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lstrcpynW(g_szWorkFolder, folder.path().c_str(), MAX_PATH);
        helper = apptest::ModuleDir() + L"\\app_child_helper.exe";
    }
    void TearDown() override { g_szWorkFolder[0] = 0; }

    apptest::TempFolder folder{L"qm_child_test"};
    std::wstring helper;
};

}  // namespace

TEST_F(ChildProcessTest, ResultsExitCodesAndWhatIsLeftRunning)
{
    const RunCase cases[] = {
        {"exit 0", L"exit 0", 20000, TRUE, false, 0, 0, After::Exited},
        {"exit 6", L"exit 6", 20000, TRUE, false, 0, 6, After::Exited},
        {"exit 1", L"exit 1", 20000, FALSE, false, 0, 1, After::Exited},
        {"time-out, terminated", L"sleep 30000 3", 3000, TRUE, false, RUN_TIMEOUT, 0xFFFFFFFFu,
         After::Terminated},
        {"time-out, left running", L"sleep 30000 3", 3000, FALSE, false, RUN_TIMEOUT, 0xFFFFFFFFu,
         After::Running},
        {"cancelled, left running", L"sleep 30000 3", 20000, TRUE, true, RUN_TIMEOUT, 0xFFFFFFFFu,
         After::Running},
        {"time limit 0 returns at once", L"sleep 30000 3", 0, FALSE, false, RUN_TIMEOUT, 0xFFFFFFFFu,
         After::Running},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((folder.path() + L"\\child_started.txt").c_str());
        HANDLE hCancel = CreateEventW(NULL, TRUE, c.cancelled, NULL);
        ASSERT_NE(nullptr, hCancel);

        DWORD dwExitCode = 12345;
        const DWORD dwStart = GetTickCount();
        const DWORD dwResult =
            RunChildProcess(helper.c_str(), c.args, hCancel, &dwExitCode, c.timeoutMs, c.terminate);
        const DWORD dwElapsed = GetTickCount() - dwStart;
        CloseHandle(hCancel);

        EXPECT_EQ(c.expectedResult, dwResult);
        EXPECT_EQ(c.expectedExitCode, dwExitCode);
        EXPECT_LT(dwElapsed, 15000u);

        std::wstring dir;
        const DWORD pid = WaitForStartRecord(folder.path(), &dir);
        ASSERT_NE(0u, pid) << "the helper never started";
        EXPECT_EQ(0, lstrcmpiW(dir.c_str(), folder.path().c_str())) << "started in the work folder";

        HANDLE hChild = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        if (c.after == After::Running) {
            ASSERT_NE(nullptr, hChild);
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hChild, 0)) << "must be left running";
            TerminateProcess(hChild, 99);
            WaitForSingleObject(hChild, 5000);
        } else if (c.after == After::Terminated && hChild != NULL) {
            // Either gone already or ending with the exit code 0 of
            // TerminateProcess; it must not run on to its own exit code 3.
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hChild, 5000));
            DWORD code = 77;
            GetExitCodeProcess(hChild, &code);
            EXPECT_EQ(0u, code);
        }
        if (hChild != NULL) {
            CloseHandle(hChild);
        }
    }
}

TEST_F(ChildProcessTest, ProgramThatCannotStart)
{
    DWORD dwExitCode = 12345;
    const std::wstring missing = folder.path() + L"\\no-such-program.exe";
    EXPECT_EQ(RUN_ERROR, RunChildProcess(missing.c_str(), L"", NULL, &dwExitCode, 5000, TRUE));
    EXPECT_EQ(0xFFFFFFFFu, dwExitCode);
}

TEST_F(ChildProcessTest, WithoutCancelEventWaitsOnTheProcessAlone)
{
    DWORD dwExitCode = 0;
    EXPECT_EQ(0u, RunChildProcess(helper.c_str(), L"sleep 300 42", NULL, &dwExitCode, 20000, TRUE));
    EXPECT_EQ(42u, dwExitCode);
}
