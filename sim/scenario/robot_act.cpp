// The scenario robot's acting: starting the tool and other programs, the
// window actions of `window.actions` (input, commands, the end-session
// query, display changes, the power supply), closing message boxes, and
// spoiling an extracted tool.
#include "sim/scenario/robot.h"
#include "expected_values.h"

#include <algorithm>

namespace robot {
namespace {

const wchar_t kShotDir[] = L"C:\\qmsim\\shots";
bool g_shots = false;
int g_shotCount = 0;

// ---- input, the end-session query, display changes, power ------------------------

void PressKey(WORD vk) {
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = vk;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
}

// Brings the window to the foreground, as a user's click or the taskbar would.
void Foreground(HWND w) {
    for (int i = 0; i < 20 && GetForegroundWindow() != w; ++i) {
        SetForegroundWindow(w);
        Sleep(50);
    }
}

bool WriteAcOnline(bool online) {
    HANDLE h = CreateFileW(L"Z:\\sys\\class\\power_supply\\AC\\online", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const char* text = online ? "1\n" : "0\n";
    DWORD n = 0;
    BOOL ok = WriteFile(h, text, 2, &n, nullptr);
    CloseHandle(h);
    return ok && n == 2;
}

// Sends the end-of-session queries a log-off and a shutdown started
// elsewhere would send; the window must refuse both (return FALSE) and stay
// on the screen it shows.
bool EndSessionRefused(HWND w, Report& rep) {
    const std::string screen = ScreenOf(w);
    const LPARAM kinds[2] = {static_cast<LPARAM>(ENDSESSION_LOGOFF), 0};
    for (LPARAM kind : kinds) {
        DWORD_PTR answer = 1;
        if (!SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, kind, SMTO_ABORTIFHUNG, 5000, &answer)) {
            rep.Fail("no answer to the end-session query on the " + screen + " screen");
            return false;
        }
        if (answer != FALSE) {
            rep.Fail("the end-session query was accepted on the " + screen + " screen");
            return false;
        }
    }
    Sleep(200);
    if (!IsWindow(w) || ScreenOf(w) != screen) {
        rep.Fail("the end-session query changed the " + screen + " screen");
        return false;
    }
    rep.Note("end-session query refused on the " + screen + " screen");
    return true;
}

// Moves the window off its place (a quarter of the monitor, inset), as a
// changed display would leave it, so that a refit shows as a move back.
bool Displace(HWND w) {
    RECT m = PrimaryMonitorRect();
    int width = (m.right - m.left) / 2, height = (m.bottom - m.top) / 2;
    SetWindowPos(w, nullptr, m.left + 40, m.top + 30, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    return !CoversPrimaryMonitor(w);
}

// Sends `count` display changes `gap` ms apart to the displaced window. One
// refit must follow, about a second after the last change: none earlier
// (every change restarts the wait) and no second one afterwards.
bool DisplayChangesRefitOnce(HWND w, HANDLE process, int count, DWORD gap, Report& rep) {
    const std::string screen = ScreenOf(w);
    if (!Displace(w)) {
        rep.Fail("the window could not be moved off the monitor");
        return false;
    }
    RECT m = PrimaryMonitorRect();
    DWORD last = 0;
    for (int i = 0; i < count; ++i) {
        if (i) Sleep(gap);
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(w, WM_DISPLAYCHANGE, 32, MAKELPARAM(m.right - m.left, m.bottom - m.top),
                            SMTO_ABORTIFHUNG, 5000, &ignored);
        last = GetTickCount();
        if (CoversPrimaryMonitor(w)) {
            rep.Fail("refit before " + std::to_string(gap) + " ms after display change " + std::to_string(i + 1));
            return false;
        }
    }
    DWORD fitted = 0;
    while (GetTickCount() - last < 4000 && !Exited(process, 10))
        if (CoversPrimaryMonitor(w)) {
            fitted = GetTickCount() - last;
            break;
        }
    if (!fitted) {
        rep.Fail(std::string(Exited(process) ? "the tool ended" : "no refit") + " within 4 s of the last of " +
                 std::to_string(count) + " display changes");
        return false;
    }
    // The timer has 1000 ms; a refit that comes before 800 ms was started by
    // an earlier change, not the last.
    if (fitted < 800 || fitted > 2500) {
        rep.Fail("refit " + std::to_string(fitted) + " ms after the last display change, expected about 1000");
        return false;
    }
    // No further refit may be pending.
    if (!Displace(w)) {
        rep.Fail("the window could not be moved off the monitor again");
        return false;
    }
    Sleep(1500);
    bool again = CoversPrimaryMonitor(w);
    SetWindowPos(w, nullptr, m.left, m.top, m.right - m.left, m.bottom - m.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (again) {
        rep.Fail("a second refit after " + std::to_string(count) + " display changes");
        return false;
    }
    if (!IsZoomed(w) || ScreenOf(w) != screen) {
        rep.Fail("after the display changes the window is not maximised on the " + screen + " screen");
        return false;
    }
    rep.Note("one refit " + std::to_string(fitted) + " ms after the last of " + std::to_string(count) +
             " display changes on the " + screen + " screen");
    return true;
}

// ---- the verbs of window.actions ---------------------------------------------

// One action of `window.actions`, split at ':' (part[0] is the verb).
struct Action {
    HWND w;
    HANDLE process;
    std::vector<std::string> part;
    Report& rep;
    std::string Arg(size_t i = 1) const { return part.size() > i ? part[i] : ""; }
};

// The visible button named yes, no or ok; NULL (and a failure) otherwise.
HWND ShownButton(const Action& a) {
    const std::string name = a.Arg();
    unsigned id = name == "yes" ? expected::kYesButton : name == "no" ? expected::kNoButton
                : name == "ok"  ? expected::kOkButton : 0;
    HWND b = id ? GetDlgItem(a.w, id) : nullptr;
    if (!b || !IsWindowVisible(b)) {
        a.rep.Fail("button " + name + " is not shown");
        return nullptr;
    }
    return b;
}

// Each returns false when the run of actions must stop.
bool ActClose(Action& a) {
    PostMessageW(a.w, WM_CLOSE, 0, 0);
    return true;
}

bool ActKey(Action& a) {
    const std::string k = a.Arg();
    WORD vk = k == "enter" ? VK_RETURN : k == "escape" ? VK_ESCAPE : k == "tab" ? VK_TAB : k == "space" ? VK_SPACE : 0;
    if (!vk) {
        a.rep.Fail("unknown key " + k);
        return false;
    }
    Foreground(a.w);
    PressKey(vk);
    return true;
}

// BM_CLICK: the button gets a press and a release of the left mouse button,
// as from a click on it, and tells its parent. (A single click injected with
// SendInput into Wine's virtual desktop proved unreliable under load.)
bool ActClick(Action& a) {
    HWND b = ShownButton(a);
    if (!b) return false;
    Foreground(a.w);
    PostMessageW(b, BM_CLICK, 0, 0);
    return true;
}

// A real double click on the button: the pointer is put on its middle and
// two presses and releases go through SendInput at once, so the second
// press is queued before the first click has been handled, as when the
// tool is busy.
bool ActDoubleClick(Action& a) {
    HWND b = ShownButton(a);
    if (!b) return false;
    Foreground(a.w);
    RECT r = {};
    GetWindowRect(b, &r);
    const int x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
    SetCursorPos(x, y);
    INPUT in[5] = {};
    for (INPUT& i : in) i.type = INPUT_MOUSE;
    in[0].mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    in[0].mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags = in[3].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[2].mi.dwFlags = in[4].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (SendInput(5, in, sizeof(INPUT)) != 5) {
        a.rep.Fail("the double click could not be sent");
        return false;
    }
    return true;
}

// A command as a stray click would send it: WM_COMMAND with the id and
// notification 0, posted to the main window.
bool ActCommand(Action& a) {
    unsigned long long id = 0;
    if (!qmsim::ParseNumber(a.Arg(), id) || id > 0xFFFF) {
        a.rep.Fail("bad command id '" + a.Arg() + "'");
        return false;
    }
    PostMessageW(a.w, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0);
    return true;
}

bool ActAwait(Action& a) {
    const std::string want = a.Arg();
    unsigned long long limit = 30000, least = 0;
    if (a.part.size() > 2) qmsim::ParseNumber(a.part[2], limit);
    if (a.part.size() > 3) qmsim::ParseNumber(a.part[3], least);
    DWORD start = GetTickCount();
    std::string now;
    while ((now = ScreenOf(a.w)) != want && GetTickCount() - start < limit && !Exited(a.process, 50)) {
    }
    DWORD took = GetTickCount() - start;
    if (now != want) {
        a.rep.Fail("screen " + want + " did not come (last seen: " + now + ")");
        return false;
    }
    a.rep.Note("screen " + want + " after " + std::to_string(took) + " ms");
    if (took < least) {
        a.rep.Fail("screen " + want + " came after " + std::to_string(took) + " ms, not before " +
                   std::to_string(least) + " ms");
        return false;
    }
    return true;
}

bool ActEndSession(Action& a) { return EndSessionRefused(a.w, a.rep); }

bool ActDisplay(Action& a) {
    unsigned long long count = 3, gap = 200;
    if (a.part.size() > 1) qmsim::ParseNumber(a.part[1], count);
    if (a.part.size() > 2) qmsim::ParseNumber(a.part[2], gap);
    return DisplayChangesRefitOnce(a.w, a.process, static_cast<int>(count), static_cast<DWORD>(gap), a.rep);
}

bool ActWait(Action& a) {
    unsigned long long ms = 0;
    qmsim::ParseNumber(a.Arg(), ms);
    Sleep(static_cast<DWORD>(ms));
    return true;
}

bool ActShot(Action& a) {
    Shot(a.Arg().empty() ? "window" : a.Arg());
    return true;
}

bool ActPower(Action& a) {
    if (!WriteAcOnline(a.part[0] == "plug")) a.rep.Fail("cannot change the AC adapter state");
    return true;
}

// The verbs of `window.actions`.
const struct {
    const char* name;
    bool (*run)(Action&);
} kVerbs[] = {
    {"close", ActClose},     {"key", ActKey},       {"click", ActClick},         {"dblclick", ActDoubleClick},
    {"command", ActCommand}, {"await", ActAwait},   {"endsession", ActEndSession}, {"display", ActDisplay},
    {"wait", ActWait},       {"shot", ActShot},     {"unplug", ActPower},        {"plug", ActPower},
};

}  // namespace

// ---- screenshots, programs, message boxes -----------------------------------------

void EnableShots() { g_shots = true; }

// Asks the runner for a screenshot and waits until it is taken.
void Shot(const std::string& label, const RECT* pCrop) {
    if (!g_shots) return;
    char name[64];
    wsprintfA(name, "%02d-", ++g_shotCount);
    std::wstring base = std::wstring(kShotDir) + L"\\" + qmsim::Widen(name + label);
    std::wstring req = base + L".req", done = base + L".done";
    CreateDirectoryW(kShotDir, nullptr);
    std::string request = label;
    if (pCrop != nullptr)
        request += "\ncrop " + std::to_string(pCrop->right - pCrop->left) + "x" + std::to_string(pCrop->bottom - pCrop->top) +
                   "+" + std::to_string(pCrop->left) + "+" + std::to_string(pCrop->top);
    qmsim::AppendLine(req.c_str(), request);
    for (int i = 0; i < 100 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

// Starts the product. A normal user's start uses the limited token linked to
// the robot's own (Wine gives every process a fully elevated one).
bool StartProduct(const std::wstring& exe, const std::wstring& cwd, bool elevated, PROCESS_INFORMATION* pi,
                  std::string* error) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring cmd = L"\"" + exe + L"\"";
    ZeroMemory(pi, sizeof *pi);
    if (elevated) {
        if (CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &si, pi))
            return true;
        *error = "CreateProcessW failed: " + std::to_string(GetLastError());
        return false;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *error = "OpenProcessToken failed";
        return false;
    }
    TOKEN_LINKED_TOKEN linked = {};
    DWORD len = 0;
    BOOL ok = GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &len);
    CloseHandle(token);
    if (!ok || !linked.LinkedToken) {
        *error = "no linked token";
        return false;
    }
    ok = CreateProcessAsUserW(linked.LinkedToken, exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                              cwd.c_str(), &si, pi);
    DWORD err = GetLastError();
    CloseHandle(linked.LinkedToken);
    if (!ok) *error = "CreateProcessAsUserW failed: " + std::to_string(err);
    return ok != FALSE;
}

// Starts a command line in a folder; its process handle, or NULL.
HANDLE StartIn(const std::wstring& exe, std::wstring cmd, const std::wstring& dir) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir.c_str(),
                        &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits for the processes (10 s at most), ends those still running, and closes them all.
void WaitAll(std::vector<HANDLE>& processes) {
    const DWORD start = GetTickCount();
    for (HANDLE h : processes) {
        if (!h) continue;
        const DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(h, spent < 10000 ? 10000 - spent : 0) != WAIT_OBJECT_0) TerminateProcess(h, 1);
        CloseHandle(h);
    }
    processes.clear();
}

// Ends the processes and waits (10 s at most) for each.
void EndProcesses(const std::vector<DWORD>& ids) {
    for (DWORD id : ids) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!h) continue;
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
}

bool SecondStartRefused(const std::wstring& exe, const std::wstring& cwd, bool elevated, Report& rep,
                        const char* when) {
    PROCESS_INFORMATION pi;
    std::string err;
    if (!StartProduct(exe, cwd, elevated, &pi, &err)) {
        rep.Fail(std::string("second start ") + when + ": " + err);
        return false;
    }
    bool showed = false;
    DWORD start = GetTickCount();
    while (!Exited(pi.hProcess, 50) && GetTickCount() - start < 15000)
        if (!VisibleWindowsOf(pi.dwProcessId).empty()) showed = true;
    bool ended = Exited(pi.hProcess);
    if (!ended) {
        rep.Fail(std::string("second start ") + when + " did not end within 15 s");
        TerminateProcess(pi.hProcess, 1);
    } else if (showed) {
        rep.Fail(std::string("second start ") + when + " showed a window");
    } else {
        rep.Note(std::string("second start ") + when + " ended silently after " +
                 std::to_string(GetTickCount() - start) + " ms");
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended && !showed;
}

// Makes a vendor tool impossible to start: as soon as it has been
// extracted, it is replaced by bytes that are not a program. The argument
// names the tool's two files (expected::kInfoTools or kReflashTools).
DWORD WINAPI SpoilTool(LPVOID names) {
    const char* const* tool = static_cast<const char* const*>(names);
    const std::wstring temp = TempDir();
    for (int round = 0; round < 2000; ++round) {
        for (const std::wstring& d : ListDir(temp)) {
            if (!WorkFolderName(d)) continue;
            for (const char* n : {tool[0], tool[1]}) {
                std::wstring p = temp + L"\\" + d + L"\\" + qmsim::Widen(n);
                // Opening without write sharing succeeds only once the tool has finished writing it.
                HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (h == INVALID_HANDLE_VALUE) continue;
                DWORD size = GetFileSize(h, nullptr);
                if (size > 4096) {
                    const char junk[] = "not a program";
                    DWORD n2 = 0;
                    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
                    WriteFile(h, junk, sizeof junk, &n2, nullptr);
                    SetEndOfFile(h);
                    CloseHandle(h);
                    qmsim::LogRun("robot spoiled " + std::string(n));
                    return 0;
                }
                CloseHandle(h);
            }
        }
        Sleep(5);
    }
    return 0;
}

void PressOk(HWND box) {
    SetForegroundWindow(box);
    Sleep(50);
    PressKey(VK_RETURN);
    for (int i = 0; i < 40 && IsWindow(box); ++i) Sleep(50);
    if (IsWindow(box)) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

// ---- the window actions ----------------------------------------------------

// Runs the scenario's window actions; false when one failed.
bool RunWindowActions(HWND w, HANDLE process, const std::string& actions, Report& rep, Observed& obs) {
    for (const std::string& raw : qmsim::Split(actions, ',')) {
        const std::string text = qmsim::Lower(raw);
        Action a = {w, process, qmsim::Split(text, ':'), rep};
        if (a.part.empty()) continue;
        if (Exited(process)) {
            rep.Fail("the tool ended before action '" + text + "'");
            return false;
        }
        obs.actionLog.push_back(text);
        const auto* verb = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                        [&](const auto& v) { return a.part[0] == v.name; });
        if (verb == std::end(kVerbs)) {
            rep.Fail("unknown action " + text);
            return false;
        }
        if (!verb->run(a)) return false;
        Sleep(100);
    }
    return true;
}

}  // namespace robot
