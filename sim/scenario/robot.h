// The scenario robot's parts. robot.cpp runs one scenario in named phases;
// robot_read.cpp reads what the tool and the substitutes show and leave (its
// windows and screens, files, the registry, processes, the run log);
// robot_act.cpp acts (starts programs, the window actions, input, power);
// robot_check.cpp checks (the window against the transcribed table, message
// boxes, the impostors, and the expected outcome, key by key).
#pragma once

#include "sim/tools/sim_scenario.h"

#include <set>
#include <string>
#include <vector>

namespace robot {

// The findings of a run, in the order they were made.
struct Report {
    std::vector<std::string> failures;
    std::vector<std::string> notes;
    void Fail(const std::string& s) { failures.push_back(s); }
    void Note(const std::string& s) { notes.push_back(s); }
};

// What the robot saw while the tool ran.
struct Observed {
    bool windowSeen = false;
    DWORD windowMs = 0;
    std::vector<unsigned> messages;  // ids of the message boxes shown (0: unknown text)
    std::vector<std::string> actionLog;
};

// What the machine held before the tool started, to compare with afterwards.
struct Before {
    std::set<std::wstring> temp;       // the names in the temporary directory
    std::vector<std::wstring> pending;  // the strings of PendingFileRenameOperations
};

// ---- reading (robot_read.cpp) ------------------------------------------------

struct TopWindow {
    HWND hwnd;
    std::wstring cls;
};
std::vector<TopWindow> VisibleWindowsOf(DWORD pid);
bool Exited(HANDLE process, DWORD waitMs = 0);
// Elevation type of a started process (1 default, 2 full, 3 limited; 0 unknown).
DWORD ElevationOf(HANDLE process);
// notice, updating, completed, retry, failed or unknown, by the controls shown.
std::string ScreenOf(HWND w);
// The id of the table's message with that text; 0 for none.
unsigned MessageIdOf(const std::wstring& text);
RECT PrimaryMonitorRect();
bool CoversPrimaryMonitor(HWND w);

std::wstring TempDir();
// The temporary directory of the key temp that the runner made, empty for `normal` (the user's own).
std::wstring ScenarioTempDir(const std::string& temp, Report& rep);
std::set<std::wstring> ListDir(const std::wstring& dir);
// A work folder's name begins with the first three letters of the prefix, as GetTempFileNameW makes it.
bool WorkFolderName(const std::wstring& name);
std::vector<std::wstring> PendingRenames();
Before ReadBefore();

std::vector<DWORD> ProcessesNamed(const wchar_t* name);
bool RestartCommandRunning();
std::wstring SystemFolder();
std::wstring Wow64Folder();  // empty on a 32-bit system
bool SamePath(const std::wstring& a, const std::wstring& b);
std::wstring LowerW(std::wstring s);
std::string LogField(const std::string& line, const std::string& key, const std::string& next);
std::string Hex(unsigned long long v);

// ---- acting (robot_act.cpp) --------------------------------------------------

void EnableShots();
// A screenshot of the desktop; with pCrop, the runner also keeps that part
// of it (a message box) as a picture of its own.
void Shot(const std::string& label, const RECT* pCrop = nullptr);
bool StartProduct(const std::wstring& exe, const std::wstring& cwd, bool elevated, PROCESS_INFORMATION* pi,
                  std::string* error);
HANDLE StartIn(const std::wstring& exe, std::wstring cmd, const std::wstring& dir);
void WaitAll(std::vector<HANDLE>& processes);
void EndProcesses(const std::vector<DWORD>& ids);
bool SecondStartRefused(const std::wstring& exe, const std::wstring& cwd, bool elevated, Report& rep,
                        const char* when);
void PressOk(HWND box);
bool RunWindowActions(HWND w, HANDLE process, const std::string& actions, Report& rep, Observed& obs);
// A thread's work: spoils the extracted tool named by its two files (expected::kInfoTools or kReflashTools).
DWORD WINAPI SpoilTool(LPVOID names);

// ---- checking (robot_check.cpp) ----------------------------------------------

void CheckMessageBox(HWND box, Report& rep, Observed& obs);
void CheckWindowAgainstTable(HWND w, Report& rep);
void NoteStartupCost(DWORD windowMs, Report& rep);
void CheckImpostorsRecord(Report& rep);
// The expected outcome after the tool ended: every check of the table kOutcomeChecks.
void CheckOutcome(const qmsim::Scenario& sc, const Observed& obs, const Before& before, Report& rep);

}  // namespace robot
