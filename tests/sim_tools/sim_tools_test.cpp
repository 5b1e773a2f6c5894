// The substitute vendor tools and driver API library of this tree's width:
// exact command lines, scenario-selected answers, the run log.
#include <gtest/gtest.h>

#include "sim/tools/sim_scenario.h"

#include <algorithm>
#include <string>

namespace {

#if defined(_WIN64)
const std::wstring kInfo = std::wstring(QM_PAYLOAD_DIR) + L"/KvInfo64.exe";
const std::wstring kReflash = std::wstring(QM_PAYLOAD_DIR) + L"/KvReflash_x64.exe";
#else
const std::wstring kInfo = std::wstring(QM_PAYLOAD_DIR) + L"/KvInfo32.exe";
const std::wstring kReflash = std::wstring(QM_PAYLOAD_DIR) + L"/KvReflash_x86.exe";
#endif
const std::wstring kImageName = L"FW2149928-kt2379-004_touchthr_40.img";
const char kFlashArgs[] = "/S 2 /F 0 /W 2 /I FW2149928-kt2379-004_touchthr_40.img";

void WriteScenario(const std::string& text) {
    CreateDirectoryW(L"C:\\qmsim", nullptr);
    DeleteFileW(qmsim::kScenarioPath);
    DeleteFileW(qmsim::kRunLogPath);
    ASSERT_TRUE(qmsim::AppendLine(qmsim::kScenarioPath, text));
}

struct ToolRun {
    bool started = false;
    bool ended = false;
    DWORD code = 0;
    DWORD ms = 0;
};

// Runs a tool in a folder with the given argument text; waits up to limitMs.
ToolRun RunTool(const std::wstring& exe, const std::string& args, const std::wstring& cwd, DWORD limitMs = 20000) {
    ToolRun r;
    std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + qmsim::Widen(args));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD t0 = GetTickCount();
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &si, &pi)) return r;
    r.started = true;
    r.ended = WaitForSingleObject(pi.hProcess, limitMs) == WAIT_OBJECT_0;
    r.ms = GetTickCount() - t0;
    if (r.ended) GetExitCodeProcess(pi.hProcess, &r.code);
    else TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}

// A fresh empty work folder, optionally holding the image copied from the build.
std::wstring WorkFolder(bool withImage) {
    wchar_t tmp[MAX_PATH] = {}, dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tmp);
    GetTempFileNameW(tmp, L"SIM", 0, dir);
    DeleteFileW(dir);
    CreateDirectoryW(dir, nullptr);
    std::wstring d = dir;
    if (withImage)
        CopyFileW((std::wstring(QM_PAYLOAD_DIR) + L"/" + kImageName).c_str(), (d + L"\\" + kImageName).c_str(), FALSE);
    return d;
}

void RemoveFolder(const std::wstring& d) {
    DeleteFileW((d + L"\\" + kImageName).c_str());
    DeleteFileW((d + L"\\Log.txt").c_str());
    RemoveDirectoryW(d.c_str());
}

size_t LinesStarting(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, prefix)) ++n;
    return n;
}

TEST(SimTools, AcceptExactlyTheUpdateToolsCommandLines) {
    WriteScenario("# defaults");
    std::wstring dir = WorkFolder(true);
    struct Case {
        const std::wstring* exe;
        const char* args;
        DWORD code;
    } cases[] = {
        {&kInfo, "/I 1846958;2025418", 0},
        {&kInfo, "/I 2149928", 0},
        {&kInfo, "", 87},
        {&kInfo, "/I", 87},
        {&kInfo, "/i 2149928", 87},
        {&kInfo, "/I 1846958", 87},
        {&kInfo, "/I 2149928 /I 2149928", 87},
        {&kReflash, kFlashArgs, 0},
        {&kReflash, "/S 2 /F 0 /W 2 /I other.img", 87},
        {&kReflash, "/S 2 /F 0 /W 2", 87},
        {&kReflash, "/I 2149928", 87},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(*c.exe, c.args, dir);
        ASSERT_TRUE(r.started && r.ended) << c.args;
        EXPECT_EQ(c.code, r.code) << qmsim::Narrow(*c.exe) << " " << c.args;
    }
    EXPECT_EQ(8u, LinesStarting("badargs ")) << "every refused command line is logged";
    RemoveFolder(dir);
}

TEST(SimTools, ReflashNeedsTheImageInItsWorkingDirectory) {
    WriteScenario("reflash = exit 0");
    std::wstring dir = WorkFolder(false);
    ToolRun r = RunTool(kReflash, kFlashArgs, dir);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(2u, r.code);
    RemoveFolder(dir);
}

TEST(SimTools, SuccessiveRunsTakeSuccessiveAnswers) {
    WriteScenario("info.check = exit 6, exit 1\ninfo.verify = exit 3 after 400\nreflash = exit 5, exit 0");
    std::wstring dir = WorkFolder(true);
    EXPECT_EQ(6u, RunTool(kInfo, "/I 1846958;2025418", dir).code);
    EXPECT_EQ(1u, RunTool(kInfo, "/I 1846958;2025418", dir).code);
    EXPECT_EQ(1u, RunTool(kInfo, "/I 1846958;2025418", dir).code) << "the last answer repeats";
    ToolRun slow = RunTool(kInfo, "/I 2149928", dir);
    EXPECT_EQ(3u, slow.code);
    EXPECT_GE(slow.ms, 400u);
    EXPECT_EQ(5u, RunTool(kReflash, kFlashArgs, dir).code);
    EXPECT_EQ(0u, RunTool(kReflash, kFlashArgs, dir).code);
    EXPECT_EQ(3u, LinesStarting("run info.check "));
    EXPECT_EQ(2u, LinesStarting("run reflash "));
    // Each run left a line in Log.txt in its working directory.
    std::string log;
    ASSERT_TRUE(qmsim::ReadWholeFile((dir + L"\\Log.txt").c_str(), log));
    EXPECT_EQ(6, std::count(log.begin(), log.end(), '\n'));
    RemoveFolder(dir);
}

TEST(SimTools, HangingToolDoesNotEndAndLogsCanBeTurnedOff) {
    WriteScenario("info.check = hang\ntools.log = no");
    std::wstring dir = WorkFolder(false);
    ToolRun r = RunTool(kInfo, "/I 1846958;2025418", dir, 1500);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.ended);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir + L"\\Log.txt").c_str()));
    RemoveFolder(dir);
}

// ---- KvCom.dll ----------------------------------------------------------------

typedef LONG(WINAPI* CreateApi)(void**);
typedef ULONG(WINAPI* ReleaseFn)(void*);
typedef LONG(WINAPI* FindFn)(void*, DWORD, DWORD, DWORD*);
typedef LONG(WINAPI* CreateDevFn)(void*, DWORD, void**);
typedef LONG(WINAPI* GetPropFn)(void*, DWORD, DWORD*);
typedef LONG(WINAPI* AttachFn)(void*, DWORD);

template <typename F>
F Slot(void* object, int n) {
    return reinterpret_cast<F>((*reinterpret_cast<void***>(object))[n]);
}

// The probe's sequence of calls; returns what it would conclude: 139, 143,
// "nodevice", 140 or 0.
std::string Probe(const wchar_t* dll) {
    HMODULE m = LoadLibraryW(dll);
    if (!m) return "139";
    std::string outcome;
    CreateApi create = reinterpret_cast<CreateApi>(reinterpret_cast<void*>(GetProcAddress(m, "KvCreateAPI")));
    void* api = nullptr;
    if (!create || create(&api) != 0) {
        outcome = "139";
    } else {
        DWORD handle = 0;
        if (Slot<FindFn>(api, 4)(api, 2, 2, &handle) == 0) {
            outcome = "143";
        } else if (Slot<FindFn>(api, 4)(api, 0, 2, &handle) != 0) {
            outcome = "nodevice";
        } else {
            void* dev = nullptr;
            if (Slot<CreateDevFn>(api, 5)(api, handle, &dev) != 0) {
                outcome = "140";
            } else {
                Slot<AttachFn>(dev, 15)(dev, handle);
                DWORD value = 0;
                LONG hr = Slot<GetPropFn>(dev, 3)(dev, 0x10000171, &value);
                outcome = (hr != 0 || value == 1) ? "140" : "0";
                Slot<ReleaseFn>(dev, 2)(dev);
            }
        }
        Slot<ReleaseFn>(api, 2)(api);
    }
    FreeLibrary(m);
    return outcome;
}

TEST(SimKvCom, EveryOutcomeOfTheProbeIsSelectable) {
    const std::wstring dll = std::wstring(QM_SIM_BIN_DIR) + L"/KvCom.dll";
    const std::wstring noexport = std::wstring(QM_SIM_BIN_DIR) + L"/noexport/KvCom.dll";
    struct Case {
        const char* scenario;
        const std::wstring* library;
        const char* outcome;
    } cases[] = {
        {"", &dll, "0"},
        {"kvcom.property = 2", &dll, "0"},
        {"kvcom.property = 1", &dll, "140"},
        {"kvcom.property = fail", &dll, "140"},
        {"kvcom.device = fail", &dll, "140"},
        {"kvcom.touchpad = notfound", &dll, "nodevice"},
        {"kvcom.smbus = found", &dll, "143"},
        {"kvcom = createfail", &dll, "139"},
        {"", &noexport, "139"},
    };
    for (const Case& c : cases) {
        WriteScenario(c.scenario);
        EXPECT_EQ(c.outcome, Probe(c.library->c_str())) << c.scenario;
        // Everything the probe made was released before the library was freed.
        if (c.library == &dll) {
            EXPECT_EQ(1u, LinesStarting("kvcom unload live=0")) << c.scenario;
        }
        EXPECT_EQ(0u, LinesStarting("kvcom unexpected")) << c.scenario;
    }
    WriteScenario("");
    HMODULE m = LoadLibraryW(noexport.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(nullptr, reinterpret_cast<void*>(GetProcAddress(m, "KvCreateAPI")));
    FreeLibrary(m);
}

TEST(SimKvCom, LeakedObjectShowsInTheLog) {
    WriteScenario("");
    const std::wstring dll = std::wstring(QM_SIM_BIN_DIR) + L"/KvCom.dll";
    HMODULE m = LoadLibraryW(dll.c_str());
    ASSERT_NE(nullptr, m);
    CreateApi create = reinterpret_cast<CreateApi>(reinterpret_cast<void*>(GetProcAddress(m, "KvCreateAPI")));
    void* api = nullptr;
    ASSERT_EQ(0, create(&api));
    FreeLibrary(m);  // the API object is never released
    EXPECT_EQ(1u, LinesStarting("kvcom unload live=1"));
}

}  // namespace
