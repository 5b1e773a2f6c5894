// The scenario robot: runs inside the Wine virtual desktop of one scenario,
// starts the update tool the way the scenario says (as a normal user, with
// the limited token, or elevated), watches for its window or message box,
// reads the message, presses the buttons, and checks what the run left
// behind. It writes its verdict to C:\qmsim\result.txt: a first line "PASS"
// or "FAIL", then one line per finding.
//
//   robot.exe [scenario.ini] [/shots]
//
// With /shots it asks the runner for screenshots at the scenario's "shot:"
// actions and at every message box (see sim/scenario/run.py).
//
// The run goes through named phases (wmain): the driver set up, the start
// read, the machine prepared, what it holds noted, the locks and spoilers of
// the scenario, the tool run and watched, a second start after it, then the
// expected outcome checked and the verdict written. Its parts: robot.h.
#include "sim/scenario/driver_setup.h"
#include "sim/scenario/robot.h"
#include "expected_values.h"

namespace {

using robot::Report;

const wchar_t kResultPath[] = L"C:\\qmsim\\result.txt";
const wchar_t kTool[] = L"C:\\qmsim\\app\\Quillmere.exe";
const wchar_t kToolDirectory[] = L"C:\\qmsim\\bin";  // the tool's working directory

// The verdict appears at once and whole: written aside, then renamed.
void WriteResult(const std::string& text) {
    const wchar_t* tmp = L"C:\\qmsim\\result.tmp";
    DeleteFileW(tmp);
    qmsim::AppendLine(tmp, text);
    MoveFileExW(tmp, kResultPath, MOVEFILE_REPLACE_EXISTING);
}

// How the scenario starts the tool.
struct Start {
    bool elevated;       // start = elevated
    std::string second;  // second.start
    DWORD timeoutMs;     // what the tool is given: the runner allows the scenario `timeout` seconds,
                         // and the checks that follow need a minute of it
};

Start ReadStart(const qmsim::Scenario& sc) {
    unsigned long long seconds = 0;
    qmsim::ParseNumber(sc.Get("timeout"), seconds);
    return Start{qmsim::Lower(sc.Get("start")) == "elevated", qmsim::Lower(sc.Get("second.start")),
                 static_cast<DWORD>((seconds > 60 ? seconds - 60 : 0) * 1000)};
}

// The machine as the scenario has it before the tool starts. temp other than
// normal: the folder the runner made (ScenarioTempDir) is the temporary
// directory the tool inherits. plant = yes: every impostor is shown to record
// before the tool may meet it.
void PrepareMachine(const qmsim::Scenario& sc, Report& rep) {
    const std::wstring temp = robot::ScenarioTempDir(qmsim::Lower(sc.Get("temp")), rep);
    if (!temp.empty()) {
        SetEnvironmentVariableW(L"TMP", temp.c_str());
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
    }
    if (qmsim::Lower(sc.Get("plant")) == "yes") robot::CheckImpostorsRecord(rep);
}

// The locks other runs hold: another logon session's run the machine-wide
// lock only (other.user = running), a run of this session the session lock
// (second.start = before).
struct Locks {
    HANDLE otherUser = nullptr;
    HANDLE sameSession = nullptr;
    void Release() {
        for (HANDLE h : {otherUser, sameSession})
            if (h) CloseHandle(h);
    }
};

Locks TakeLocks(const qmsim::Scenario& sc, const Start& start) {
    Locks locks;
    if (qmsim::Lower(sc.Get("other.user")) == "running")
        locks.otherUser = CreateMutexW(nullptr, FALSE, expected::kGlobalMutex);
    if (start.second == "before") locks.sameSession = CreateMutexW(nullptr, FALSE, expected::kSessionMutex);
    return locks;
}

// info.check or reflash = unstartable: a thread spoils that tool once it is
// extracted. Their handles are closed when the tool has ended.
struct Spoilers {
    HANDLE threads[2] = {nullptr, nullptr};
    void Release() {
        for (HANDLE h : threads)
            if (h) CloseHandle(h);
    }
};

Spoilers StartSpoilers(const qmsim::Scenario& sc) {
    Spoilers s;
    const char* const* tools[2] = {expected::kInfoTools, expected::kReflashTools};
    const char* keys[2] = {"info.check", "reflash"};
    for (int i = 0; i < 2; ++i)
        if (qmsim::Lower(sc.Get(keys[i])) == "unstartable")
            s.threads[i] = CreateThread(nullptr, 0, robot::SpoilTool, const_cast<char**>(tools[i]), 0, nullptr);
    return s;
}

// A message box of the tool: read, checked and closed with OK (a second
// start first, with second.start = message).
void OnMessageBox(HWND box, const Start& start, Report& rep, robot::Observed& obs) {
    Sleep(100);  // let it finish painting
    robot::CheckMessageBox(box, rep, obs);
    if (start.second == "message")
        robot::SecondStartRefused(kTool, kToolDirectory, start.elevated, rep, "while the message box is open");
    robot::PressOk(box);
}

// The main window: its time and start-up cost noted, checked against the
// table on the notice screen, then the scenario's window actions.
void OnMainWindow(HWND w, HANDLE process, DWORD ms, const qmsim::Scenario& sc, const Start& start, Report& rep,
                  robot::Observed& obs) {
    obs.windowSeen = true;
    obs.windowMs = ms;
    qmsim::LogRun("robot saw the window");
    rep.Note("window after " + std::to_string(ms) + " ms");
    robot::NoteStartupCost(ms, rep);
    Sleep(300);
    robot::CheckWindowAgainstTable(w, rep);  // the window appears on the notice screen
    if (start.second == "window")
        robot::SecondStartRefused(kTool, kToolDirectory, start.elevated, rep, "while the window is shown");
    robot::RunWindowActions(w, process, sc.Get("window.actions"), rep, obs);
}

// Starts the tool, checks its elevation, handles each of its top-level
// windows as it appears until it ends (ended after the time it is given),
// and checks its exit code. False (with the reason) when it could not start.
bool RunTool(const qmsim::Scenario& sc, const Start& start, Report& rep, robot::Observed& obs, std::string* err) {
    PROCESS_INFORMATION pi;
    if (!robot::StartProduct(kTool, kToolDirectory, start.elevated, &pi, err)) return false;
    const DWORD started = GetTickCount();
    qmsim::LogRun("robot started the tool");
    DWORD elevation = robot::ElevationOf(pi.hProcess);
    if (elevation != (start.elevated ? 2u : 3u)) rep.Fail("the tool runs with elevation type " + std::to_string(elevation));

    std::set<HWND> handled;
    while (!robot::Exited(pi.hProcess, 20) && GetTickCount() - started < start.timeoutMs) {
        for (const robot::TopWindow& t : robot::VisibleWindowsOf(pi.dwProcessId)) {
            if (handled.count(t.hwnd)) continue;
            if (t.cls == L"#32770") {
                handled.insert(t.hwnd);
                OnMessageBox(t.hwnd, start, rep, obs);
            } else if (t.cls == expected::kClassName) {
                handled.insert(t.hwnd);
                OnMainWindow(t.hwnd, pi.hProcess, GetTickCount() - started, sc, start, rep, obs);
            }
        }
    }
    if (!robot::Exited(pi.hProcess)) {
        rep.Fail("the tool did not end within " + std::to_string(start.timeoutMs / 1000) + " s");
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (code != 0) rep.Fail("exit code " + std::to_string(code));
    rep.Note("run took " + std::to_string(GetTickCount() - started) + " ms");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

std::string Verdict(const Report& rep) {
    std::string text = rep.failures.empty() ? "PASS" : "FAIL";
    for (const std::string& f : rep.failures) text += "\nfail: " + f;
    for (const std::string& n : rep.notes) text += "\nnote: " + n;
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring scenarioPath = qmsim::kScenarioPath;
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/shots") == 0) robot::EnableShots();
        else scenarioPath = argv[i];
    }
    DeleteFileW(kResultPath);
    qmsim::AppendLine(L"C:\\qmsim\\robot.started", "");
    qmsim::Scenario sc;
    if (!sc.Load(scenarioPath.c_str())) {
        WriteResult("FAIL\nfail: cannot read the scenario");
        return 1;
    }
    std::string err;
    if (!robot::ApplyDriverScenario(sc, &err)) {
        WriteResult("FAIL\nfail: driver set-up: " + err);
        return 1;
    }

    Report rep;
    const Start start = ReadStart(sc);
    PrepareMachine(sc, rep);
    const robot::Before before = robot::ReadBefore();
    Locks locks = TakeLocks(sc, start);
    Spoilers spoilers = StartSpoilers(sc);
    robot::Observed obs;
    if (!RunTool(sc, start, rep, obs, &err)) {
        WriteResult("FAIL\nfail: cannot start the tool: " + err);
        return 1;
    }
    spoilers.Release();
    if (start.second == "after") robot::SecondStartRefused(kTool, kToolDirectory, start.elevated, rep, "after the first run");

    robot::CheckOutcome(sc, obs, before, rep);
    locks.Release();
    WriteResult(Verdict(rep));
    return rep.failures.empty() ? 0 : 1;
}
