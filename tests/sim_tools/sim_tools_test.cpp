// The substitute vendor tools and KvCom.dll of this tree's width: exact
// command lines, scenario-selected answers, the run log.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/tools/sim_scenario.h"

namespace {

const std::wstring kPayloads = QM_PAYLOAD_DIR, kDll = std::wstring(QM_SIM_BIN_DIR) + L"/KvCom.dll";
const std::wstring kInfo = kPayloads + (sizeof(void*) == 8 ? L"/KvInfo64.exe" : L"/KvInfo32.exe");
const std::wstring kReflash = kPayloads + (sizeof(void*) == 8 ? L"/KvReflash_x64.exe" : L"/KvReflash_x86.exe");
const wchar_t kImage[] = L"FW2149928-kt2379-004_touchthr_40.img";
const char kFlashArgs[] = "/S 2 /F 0 /W 2 /I FW2149928-kt2379-004_touchthr_40.img";

void WriteScenario(const std::string& text) {
    CreateDirectoryW(L"C:\\qmsim", nullptr);
    DeleteFileW(qmsim::kScenarioPath);
    DeleteFileW(qmsim::kRunLogPath);
    ASSERT_TRUE(qmsim::AppendLine(qmsim::kScenarioPath, text));
}

// Runs a tool in cwd: its exit code, or WAIT_TIMEOUT (and it is ended) after limitMs.
DWORD RunTool(const std::wstring& exe, const std::string& args, const std::wstring& cwd, DWORD limitMs = 20000) {
    std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + qmsim::Widen(args));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &si, &pi))
        return 0xDEAD;
    DWORD code = WaitForSingleObject(pi.hProcess, limitMs);
    if (code == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// A work folder under C:\qmsim, removed with the image and Log.txt the tools may leave.
struct WorkFolder {
    std::wstring path;
    WorkFolder(const wchar_t* name, bool withImage) : path(std::wstring(L"C:\\qmsim\\") + name) {
        CreateDirectoryW(path.c_str(), nullptr);
        if (withImage) CopyFileW((kPayloads + L"/" + kImage).c_str(), (path + L"\\" + kImage).c_str(), FALSE);
    }
    ~WorkFolder() {
        for (const wchar_t* name : {kImage, L"Log.txt"}) DeleteFileW((path + L"\\" + name).c_str());
        RemoveDirectoryW(path.c_str());
    }
};

size_t LinesStarting(const std::string& prefix) {
    const std::vector<std::string> lines = qmsim::RunLogLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return qmsim::StartsWith(l, prefix); });
}

TEST(SimTools, AcceptExactlyTheUpdateToolsCommandLines) {
    WriteScenario("# defaults");
    WorkFolder withImage(L"image", true), empty(L"empty", false);
    const struct { const std::wstring& exe; const char* args; DWORD code; const WorkFolder& dir; } cases[] = {
        {kInfo, "/I 1846958;2025418", 0, withImage}, {kInfo, "/I 2149928", 0, withImage},
        {kInfo, "", 87, withImage},                  {kInfo, "/I", 87, withImage},
        {kInfo, "/i 2149928", 87, withImage},        {kInfo, "/I 1846958", 87, withImage},
        {kInfo, "/I 2149928 /I 2149928", 87, withImage}, {kReflash, kFlashArgs, 0, withImage},
        {kReflash, "/S 2 /F 0 /W 2 /I other.img", 87, withImage}, {kReflash, "/S 2 /F 0 /W 2", 87, withImage},
        {kReflash, "/I 2149928", 87, withImage},
        {kReflash, kFlashArgs, 2, empty},  // the image must be in the working directory
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.code, RunTool(c.exe, c.args, c.dir.path)) << qmsim::Narrow(c.exe) << " " << c.args;
    EXPECT_EQ(8u, LinesStarting("badargs ")) << "every refused command line is logged";
}

TEST(SimTools, SuccessiveRunsTakeSuccessiveAnswersHangsAndLogs) {
    WriteScenario("info.check = exit 6, exit 1\ninfo.verify = exit 3 after 400\nreflash = exit 5, exit 0");
    WorkFolder dir(L"image", true);
    for (DWORD code : {6u, 1u, 1u}) EXPECT_EQ(code, RunTool(kInfo, "/I 1846958;2025418", dir.path));  // last repeats
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(3u, RunTool(kInfo, "/I 2149928", dir.path));
    EXPECT_GE(GetTickCount() - t0, 400u);
    for (DWORD code : {5u, 0u}) EXPECT_EQ(code, RunTool(kReflash, kFlashArgs, dir.path));
    EXPECT_EQ(3u, LinesStarting("run info.check "));
    EXPECT_EQ(2u, LinesStarting("run reflash "));
    std::string log;  // one line per run in Log.txt in the working directory
    ASSERT_TRUE(qmsim::ReadWholeFile((dir.path + L"\\Log.txt").c_str(), log));
    EXPECT_EQ(6, std::count(log.begin(), log.end(), '\n'));

    WriteScenario("info.check = hang\ntools.log = no");  // a hanging tool, and no Log.txt
    DeleteFileW((dir.path + L"\\Log.txt").c_str());
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), RunTool(kInfo, "/I 1846958;2025418", dir.path, 1500));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir.path + L"\\Log.txt").c_str()));
}

// Calls slot n of a COM-style object's table (the object as first argument).
template <typename R = LONG, typename... A>
R Call(void* o, int n, A... a) {
    return reinterpret_cast<R(WINAPI*)(void*, A...)>((*static_cast<void***>(o))[n])(o, a...);
}

// The update program's probe; what it would conclude: 139, 143, "nodevice", 140 or 0.
std::string Probe(const std::wstring& dll, bool releaseApi = true) {
    HMODULE m = LoadLibraryW(dll.c_str());
    if (!m) return "139";
    auto create = reinterpret_cast<LONG(WINAPI*)(void**)>(reinterpret_cast<void*>(GetProcAddress(m, "KvCreateAPI")));
    void *api = nullptr, *dev = nullptr;
    DWORD handle = 0, value = 0;
    std::string outcome = "139";
    if (create && create(&api) == 0) {
        if (!releaseApi) outcome = "leak";
        else if (Call(api, 4, DWORD(2), DWORD(2), &handle) == 0) outcome = "143";
        else if (Call(api, 4, DWORD(0), DWORD(2), &handle) != 0) outcome = "nodevice";
        else if (Call(api, 5, handle, &dev) != 0) outcome = "140";
        else {
            Call(dev, 15, handle);
            outcome = (Call(dev, 3, DWORD(0x10000171), &value) != 0 || value == 1) ? "140" : "0";
            Call<ULONG>(dev, 2);
        }
        if (releaseApi) Call<ULONG>(api, 2);
    }
    FreeLibrary(m);
    return outcome;
}

TEST(SimKvCom, EveryOutcomeOfTheProbeIsSelectableAndLeaksShow) {
    const std::wstring noexport = std::wstring(QM_SIM_BIN_DIR) + L"/noexport/KvCom.dll";
    const struct { const char* scenario; const std::wstring& library; const char* outcome; int live; } cases[] = {
        {"", kDll, "0", 0}, {"kvcom.property = 2", kDll, "0", 0}, {"kvcom.property = 1", kDll, "140", 0},
        {"kvcom.property = fail", kDll, "140", 0}, {"kvcom.device = fail", kDll, "140", 0},
        {"kvcom.touchpad = notfound", kDll, "nodevice", 0}, {"kvcom.smbus = found", kDll, "143", 0},
        {"kvcom = createfail", kDll, "139", 0}, {"", noexport, "139", -1}, {"", kDll, "leak", 1},
    };
    for (const auto& c : cases) {
        WriteScenario(c.scenario);
        EXPECT_EQ(c.outcome, Probe(c.library, std::string(c.outcome) != "leak")) << c.scenario;
        if (c.live >= 0) {
            EXPECT_EQ(1u, LinesStarting("kvcom unload live=" + std::to_string(c.live))) << c.scenario;
        }
        EXPECT_EQ(0u, LinesStarting("kvcom unexpected")) << c.scenario;
    }
}

}  // namespace
