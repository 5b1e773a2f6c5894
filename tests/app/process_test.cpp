// RunChildProcess with the helper program, and the touchpad probe against the
// recording KvCom.dll beside this program.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/app.h"
#include "tests/app/support.h"

enum class After { Exited, Terminated, Running, NotStarted };

TEST(ChildProcess, ResultsExitCodesAndWhatIsLeftRunning)
{
    const apptest::WorkFolder folder;
    ASSERT_NE(0, g_szWorkFolder[0]);
    const std::wstring helper = apptest::ModuleDir() + L"\\app_child_helper.exe";
    const std::wstring missing = folder.path() + L"\\no-such-program.exe";
    const DWORD kNone = 0xFFFFFFFFu;
    const struct {
        const char* name;
        const std::wstring& program;
        const wchar_t* args;
        DWORD timeoutMs;
        BOOL terminate;
        int cancel;  // 0 none, 1 unsignalled event, 2 signalled event
        DWORD result, exitCode;
        After after;
    } cases[] = {
        {"exit 0", helper, L"exit 0", 20000, TRUE, 1, 0, 0, After::Exited},
        {"exit 6", helper, L"exit 6", 20000, TRUE, 1, 0, 6, After::Exited},
        {"exit 1, no termination asked", helper, L"exit 1", 20000, FALSE, 1, 0, 1, After::Exited},
        {"no cancel event", helper, L"sleep 300 42", 20000, TRUE, 0, 0, 42, After::Exited},
        {"time-out, terminated", helper, L"sleep 30000 3", 3000, TRUE, 1, RUN_TIMEOUT, kNone, After::Terminated},
        {"time-out, left running", helper, L"sleep 30000 3", 3000, FALSE, 1, RUN_TIMEOUT, kNone, After::Running},
        {"cancelled, left running", helper, L"sleep 30000 3", 20000, TRUE, 2, RUN_TIMEOUT, kNone, After::Running},
        {"time limit 0 returns at once", helper, L"sleep 30000 3", 0, FALSE, 1, RUN_TIMEOUT, kNone, After::Running},
        {"cannot start", missing, L"", 5000, TRUE, 0, RUN_ERROR, kNone, After::NotStarted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((folder.path() + L"\\child_started.txt").c_str());
        HANDLE hCancel = c.cancel ? CreateEventW(NULL, TRUE, c.cancel == 2, NULL) : NULL;
        DWORD dwExitCode = 12345;
        const DWORD dwStart = GetTickCount();
        EXPECT_EQ(c.result,
                  RunChildProcess(c.program.c_str(), c.args, hCancel, &dwExitCode, c.timeoutMs, c.terminate));
        EXPECT_LT(GetTickCount() - dwStart, 15000u);
        EXPECT_EQ(c.exitCode, dwExitCode);
        if (hCancel) CloseHandle(hCancel);
        if (c.after == After::NotStarted) continue;
        std::string record;  // "<process id> <current directory>", written by the helper
        for (int i = 0; i < 200 && record.find(' ') == std::string::npos; ++i, Sleep(50)) {
            record = apptest::ReadFileBytes(folder.path() + L"\\child_started.txt");
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

#define SEARCHES "create|find 2 2|find 0 2|"
#define DEVICE_CALLS "device 77|attach 77|get 10000171 in 0|release device live 1|"
#define API_RELEASED "release api live 0"

TEST(TouchpadProbe, SlotsArgumentsAndOutcomes)
{
    // answers: KvCreateAPI, find (2, 2), find (0, 2), device creation, property read, property value
    const struct { const char* name; const char* answers; UINT id; BOOL noDevice; const char* log; } cases[] = {
        {"API object not created", "7 1 0 0 0 0", IDS_TOUCHPAD_NOT_FOUND, FALSE, "create"},
        {"SMBus search finds the touchpad", "0 0 0 0 0 0", IDS_SMBUS_DRIVER_DISABLED, FALSE,
         "create|find 2 2|" API_RELEASED},
        {"no touchpad", "0 1 1 0 0 0", 0, TRUE, SEARCHES API_RELEASED},
        {"device object not created", "0 1 0 3 0 0", IDS_TOUCHPAD_DISABLED, FALSE, SEARCHES "device 77|" API_RELEASED},
        {"property read fails", "0 1 0 0 4 0", IDS_TOUCHPAD_DISABLED, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 1: disabled", "0 1 0 0 0 1", IDS_TOUCHPAD_DISABLED, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 0: enabled", "0 1 0 0 0 0", 0, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 2: enabled", "0 1 0 0 0 2", 0, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetEnvironmentVariableA("QM_FAKE_KVCOM", c.answers);
        SetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", "");
        BOOL bNoDevice = 12345;
        EXPECT_EQ(c.id, ProbeTouchpadApi(&bNoDevice));
        EXPECT_EQ(c.noDevice, bNoDevice);
        EXPECT_EQ(nullptr, GetModuleHandleW(L"KvCom.dll")) << "the library is freed";
        char log[4096] = {0};
        GetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", log, sizeof(log));
        EXPECT_STREQ(c.log, log);
    }
    SetEnvironmentVariableA("QM_FAKE_KVCOM", NULL);
}
