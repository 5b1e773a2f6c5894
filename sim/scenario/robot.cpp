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
#include "sim/scenario/driver_setup.h"
#include "sim/tools/sim_scenario.h"
#include "expected_values.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t* const kProductMutex = expected::kSessionMutex;
const wchar_t* const kGlobalMutex = expected::kGlobalMutex;
const wchar_t* const kWindowClass = expected::kClassName;
const wchar_t kResultPath[] = L"C:\\qmsim\\result.txt";
const wchar_t kShotDir[] = L"C:\\qmsim\\shots";
// A work folder's name begins with the first three letters of the prefix ("FWU"), as GetTempFileNameW makes it.
bool WorkFolderName(const std::wstring& name) { return _wcsnicmp(name.c_str(), expected::kWorkFolderPrefix, 3) == 0; }

// The message texts the tool may show, by id, come from the transcribed
// table (tests/expected/quillmere.json, made into expected_values.h).
unsigned MessageIdOf(const std::wstring& text) {
    for (const expected::Message& m : expected::kMessages)
        if (text == m.text) return m.id;
    return 0;
}

struct Report {
    std::vector<std::string> failures;
    std::vector<std::string> notes;
    void Fail(const std::string& s) { failures.push_back(s); }
    void Note(const std::string& s) { notes.push_back(s); }
};

bool g_shots = false;
int g_shotCount = 0;

// Asks the runner for a screenshot and waits until it is taken.
void Shot(const std::string& label) {
    if (!g_shots) return;
    char name[64];
    wsprintfA(name, "%02d-", ++g_shotCount);
    std::wstring base = std::wstring(kShotDir) + L"\\" + qmsim::Widen(name + label);
    std::wstring req = base + L".req", done = base + L".done";
    CreateDirectoryW(kShotDir, nullptr);
    qmsim::AppendLine(req.c_str(), label);
    for (int i = 0; i < 100 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

// ---- processes -------------------------------------------------------------

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

// Elevation type of a started process (1 default, 2 full, 3 limited; 0 unknown).
DWORD ElevationOf(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD len = 0;
    BOOL ok = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &len);
    CloseHandle(token);
    return ok ? static_cast<DWORD>(type) : 0;
}

struct TopWindow {
    HWND hwnd;
    std::wstring cls;
};

struct EnumState {
    DWORD pid;
    std::vector<TopWindow>* out;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lp) {
    EnumState* st = reinterpret_cast<EnumState*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == st->pid && IsWindowVisible(hwnd)) {
        wchar_t cls[128] = {};
        GetClassNameW(hwnd, cls, 128);
        st->out->push_back({hwnd, cls});
    }
    return TRUE;
}

std::vector<TopWindow> VisibleWindowsOf(DWORD pid) {
    std::vector<TopWindow> list;
    EnumState st = {pid, &list};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&st));
    return list;
}

bool Exited(HANDLE process, DWORD waitMs = 0) { return WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0; }

// ---- input -----------------------------------------------------------------

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

// ---- the main window's screens ---------------------------------------------

bool ChildVisible(HWND parent, int id) {
    HWND c = GetDlgItem(parent, id);
    return c && IsWindowVisible(c);
}

std::string ScreenOf(HWND w) {
    bool yes = ChildVisible(w, expected::kYesButton), no = ChildVisible(w, expected::kNoButton),
         ok = ChildVisible(w, expected::kOkButton);
    HWND bar = FindWindowExW(w, nullptr, expected::kProgressClass, nullptr);
    bool progress = bar && IsWindowVisible(bar);
    if (yes && no && !ok && !progress) return "notice";
    if (!yes && !no && !ok && progress) return "updating";
    if (yes && no && !ok && progress) return "completed";
    if (!yes && !no && ok && progress) return "retry";
    if (!yes && !no && ok && !progress) return "failed";
    return "unknown";
}

// ---- files and registry ----------------------------------------------------

std::wstring TempDir() {
    wchar_t buf[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, buf);
    std::wstring s = buf;
    if (!s.empty() && s.back() == L'\\') s.pop_back();
    return s;
}

std::set<std::wstring> ListDir(const std::wstring& dir) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) names.insert(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

// The strings of PendingFileRenameOperations, in order.
std::vector<std::wstring> PendingRenames() {
    std::vector<std::wstring> out;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return out;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, 0);
        if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                             reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS) {
            // Every string ends with a NUL, a deletion's target is an empty
            // string, and the list ends with one more NUL.
            size_t n = size / sizeof(wchar_t);
            size_t i = 0;
            while (i < n) {
                std::wstring s(&buf[i]);
                out.push_back(s);
                i += s.size() + 1;
            }
            if (out.size() % 2 == 1 && out.back().empty()) out.pop_back();
        }
    }
    RegCloseKey(key);
    return out;
}

std::wstring LowerW(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

// ---- the run ---------------------------------------------------------------

struct Observed {
    bool windowSeen = false;
    DWORD windowMs = 0;
    std::vector<unsigned> messages;       // ids of the message boxes shown (0: unknown text)
    std::vector<std::string> actionLog;
};

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

RECT PrimaryMonitorRect() {
    const POINT origin = {0, 0};
    MONITORINFO mi = {};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &mi);
    return mi.rcMonitor;
}

bool CoversPrimaryMonitor(HWND w) {
    RECT r = {}, m = PrimaryMonitorRect();
    return GetWindowRect(w, &r) && EqualRect(&r, &m);
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

std::string Hex(unsigned long long v) {
    char buf[24];
    wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(v));
    return buf;
}

// The product's own window class, window and child controls as the running
// program has them, against the transcribed table (expected_values.h). Read
// on the notice screen, the first one. The system adds WS_CLIPSIBLINGS to
// every top-level window and WS_MAXIMIZE once it is shown maximised; nothing
// else may differ.
void CheckWindowAgainstTable(HWND w, Report& rep) {
    const unsigned classStyle = static_cast<unsigned>(GetClassLongPtrW(w, GCL_STYLE));
    if (classStyle != expected::kClassStyle)
        rep.Fail("class style " + Hex(classStyle) + ", expected " + Hex(expected::kClassStyle));
    // Wine keeps a class's icon and brush in the process that registered it
    // (GetClassLongPtrW answers 0 to another process), so the brush is
    // checked by its effect: the client area's lower right corner, right of
    // the buttons and below the notice frame, shows only the background.
    RECT rc = {};
    GetClientRect(w, &rc);
    POINT corner = {rc.right - 8, rc.bottom - 8};
    ClientToScreen(w, &corner);
    HDC screen = GetDC(nullptr);
    COLORREF px = GetPixel(screen, corner.x, corner.y);
    ReleaseDC(nullptr, screen);
    if (px != expected::kBackground)
        rep.Fail("background " + Hex(px) + " in the client area's corner, expected " + Hex(expected::kBackground));

    const unsigned style = static_cast<unsigned>(GetWindowLongPtrW(w, GWL_STYLE));
    const unsigned exStyle = static_cast<unsigned>(GetWindowLongPtrW(w, GWL_EXSTYLE));
    if ((style & ~static_cast<unsigned>(WS_CLIPSIBLINGS | WS_MAXIMIZE)) != expected::kWindowStyle || !IsZoomed(w))
        rep.Fail("window style " + Hex(style) + (IsZoomed(w) ? "" : ", not maximised") + ", expected " +
                 Hex(expected::kWindowStyle) + " shown maximised");
    if (exStyle != expected::kWindowExStyle)
        rep.Fail("window extended style " + Hex(exStyle) + ", expected " + Hex(expected::kWindowExStyle));
    wchar_t caption[64] = {};
    GetWindowTextW(w, caption, 64);
    if (wcscmp(caption, expected::kTitle) != 0) rep.Fail("window caption '" + qmsim::Narrow(caption) + "'");

    // Each new control goes below its siblings, so the children come in the order of creation.
    std::vector<HWND> children;
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    const size_t n = sizeof expected::kControls / sizeof expected::kControls[0];
    if (children.size() != n) {
        rep.Fail(std::to_string(children.size()) + " child windows, expected " + std::to_string(n));
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const expected::Control& want = expected::kControls[i];
        HWND c = children[i];
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        const unsigned id = static_cast<unsigned>(GetDlgCtrlID(c));
        const unsigned cstyle = static_cast<unsigned>(GetWindowLongPtrW(c, GWL_STYLE));
        RECT r = {};
        GetWindowRect(c, &r);
        std::string which = "control " + std::to_string(i + 1) + " (" + qmsim::Narrow(want.cls) + " " +
                            std::to_string(want.id) + ")";
        if (_wcsicmp(cls, want.cls) != 0 || id != want.id || GetParent(c) != w)
            rep.Fail(which + " is " + qmsim::Narrow(cls) + " " + std::to_string(id));
        if (cstyle != want.style) rep.Fail(which + " style " + Hex(cstyle) + ", expected " + Hex(want.style));
        if (want.width && (r.right - r.left != want.width || r.bottom - r.top != want.height))
            rep.Fail(which + " size " + std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
        if (_wcsicmp(want.cls, expected::kProgressClass) == 0) {
            DWORD_PTR low = 99, high = 0, step = 0;
            SendMessageTimeoutW(c, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, &low);
            SendMessageTimeoutW(c, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high);
            SendMessageTimeoutW(c, PBM_GETSTEP, 0, 0, SMTO_ABORTIFHUNG, 2000, &step);
            if (low != expected::kProgressLow || high != expected::kProgressHigh || step != expected::kProgressStep)
                rep.Fail("progress bar range " + std::to_string(low) + "-" + std::to_string(high) + " step " +
                         std::to_string(step));
        }
    }
    rep.Note("window class, window and controls as the table (class style " + Hex(classStyle) + ", background " +
             Hex(px) + ", style " + Hex(style) + ", extended " + Hex(exStyle) + ")");
}

// ---- the window actions ----------------------------------------------------

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

// Reads the message box's text, checks its caption and style, and presses OK.
void HandleMessageBox(HWND box, Report& rep, Observed& obs) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    wchar_t caption[256] = {};
    GetWindowTextW(box, caption, 256);
    // A box of the system's own (ShellExecuteExW reports a program that
    // cannot start this way unless told to keep silent) is a fault: on the
    // worker thread it would stand behind the top-most window and hold the
    // attempt. It is closed, but is not the tool's message.
    if (wcscmp(caption, expected::kTitle) != 0 && !MessageIdOf(text)) {
        rep.Fail("system dialog '" + qmsim::Narrow(caption) + "': " + qmsim::Narrow(text));
        return;
    }
    unsigned id = MessageIdOf(text);
    obs.messages.push_back(id);
    if (!id) rep.Fail("message box with an unknown text: " + qmsim::Narrow(text));
    if (wcscmp(caption, expected::kTitle) != 0) rep.Fail("message box caption is '" + qmsim::Narrow(caption) + "'");
    // Wine 8 does not apply MB_TOPMOST to the box, so this is only noted.
    if (!(GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST)) rep.Note("message box not top-most");
    rep.Note("message " + std::to_string(id));
    Shot("message-" + std::to_string(id));
}

void PressOk(HWND box) {
    SetForegroundWindow(box);
    Sleep(50);
    PressKey(VK_RETURN);
    for (int i = 0; i < 40 && IsWindow(box); ++i) Sleep(50);
    if (IsWindow(box)) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

void CheckLeftovers(const qmsim::Scenario& sc, const std::set<std::wstring>& tempBefore,
                    const std::vector<std::wstring>& pendingBefore, const std::string& extracted, Report& rep) {
    const std::wstring temp = TempDir();
    for (const std::wstring& n : ListDir(temp))
        if (!tempBefore.count(n)) rep.Fail("left in the temporary directory: " + qmsim::Narrow(n));

    // The reboot-time deletions the run registered, in order.
    std::vector<std::wstring> pending = PendingRenames();
    std::vector<std::wstring> added;
    if (pending.size() >= pendingBefore.size() &&
        std::equal(pendingBefore.begin(), pendingBefore.end(), pending.begin()))
        added.assign(pending.begin() + pendingBefore.size(), pending.end());
    else
        rep.Fail("PendingFileRenameOperations lost earlier entries");

    std::string expectArch = qmsim::Lower(sc.Get("expect.payloads"));
    const int x64 = expectArch == "x64";
    const char* info = expected::kInfoTools[x64];
    const char* reflash = expected::kReflashTools[x64];

    std::vector<std::wstring> sources;
    for (size_t i = 0; i < added.size(); i += 2) {
        sources.push_back(added[i]);
        if (i + 1 < added.size() && !added[i + 1].empty())
            rep.Fail("a reboot registration renames instead of deleting: " + qmsim::Narrow(added[i]));
    }
    if (extracted != "yes") {
        for (const std::string& l : qmsim::RunLogLines())
            if (qmsim::StartsWith(l, "run ")) rep.Fail("a vendor tool ran: " + l);
        if (extracted == "no" && !sources.empty())
            rep.Fail("reboot registrations made although nothing was to be extracted");
        if (extracted == "no" || sources.empty()) return;
    }
    // An extraction that failed part of the way registered the files written
    // so far, in order, but not the log file or the folder.
    if (extracted == "partial") {
        if (sources.size() >= 4) rep.Fail(std::to_string(sources.size()) + " reboot registrations for a failed extraction");
        std::wstring first = sources[0];
        size_t cut = first.rfind(L'\\');
        std::wstring folder = cut == std::wstring::npos ? L"" : first.substr(0, cut);
        const char* names[3] = {expected::kImageFile, info, reflash};
        for (size_t i = 0; i < sources.size() && i < 3; ++i)
            if (LowerW(sources[i]) != LowerW(folder + L"\\" + qmsim::Widen(names[i])))
                rep.Fail("registration " + std::to_string(i + 1) + " is " + qmsim::Narrow(sources[i]));
        if (folder.compare(0, 4, L"\\??\\") == 0 &&
            GetFileAttributesW(folder.substr(4).c_str()) != INVALID_FILE_ATTRIBUTES)
            rep.Fail("the work folder is still there: " + qmsim::Narrow(folder));
        rep.Note(std::to_string(sources.size()) + " of the files registered before the extraction failed");
        return;
    }
    if (sources.size() != 5) {
        rep.Fail("expected 5 reboot registrations, found " + std::to_string(sources.size()));
        return;
    }
    // "\??\C:\...\FWUxxxx.tmp" is the last; the others are files inside it, in order.
    std::wstring folder = sources[4];
    const std::wstring prefix = L"\\??\\";
    if (folder.compare(0, prefix.size(), prefix) == 0) folder = folder.substr(prefix.size());
    else rep.Fail("registration without the \\??\\ prefix: " + qmsim::Narrow(sources[4]));
    size_t slash = folder.rfind(L'\\');
    std::wstring parent = slash == std::wstring::npos ? L"" : folder.substr(0, slash);
    std::wstring leaf = slash == std::wstring::npos ? folder : folder.substr(slash + 1);
    if (LowerW(parent) != LowerW(temp)) rep.Fail("work folder not in the temporary directory: " + qmsim::Narrow(folder));
    // GetTempFileNameW: the prefix's first three letters, one to four hex digits, ".tmp".
    bool nameOk = leaf.size() >= 8 && leaf.size() <= 11 && WorkFolderName(leaf) &&
                  LowerW(leaf.substr(leaf.size() - 4)) == L".tmp";
    for (size_t i = 3; nameOk && i + 4 < leaf.size(); ++i) nameOk = iswxdigit(leaf[i]) != 0;
    if (!nameOk) rep.Fail("work folder name is not FWUxxxx.tmp: " + qmsim::Narrow(leaf));
    const char* names[4] = {expected::kImageFile, info, reflash, expected::kLogFile};
    for (int i = 0; i < 4; ++i) {
        std::wstring want = LowerW(prefix + folder + L"\\" + qmsim::Widen(names[i]));
        if (LowerW(sources[i]) != want)
            rep.Fail("registration " + std::to_string(i + 1) + " is " + qmsim::Narrow(sources[i]) + ", expected " +
                     qmsim::Narrow(want));
    }
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        rep.Fail("the work folder is still there: " + qmsim::Narrow(folder));

    // The information tool ran from the work folder, under its own name.
    bool ranCheck = false;
    for (const std::string& l : qmsim::RunLogLines()) {
        if (!qmsim::StartsWith(l, "run ")) continue;
        if (l.find(" cwd=" + qmsim::Narrow(folder) + " ") == std::string::npos &&
            LowerW(qmsim::Widen(l)).find(L" cwd=" + LowerW(folder) + L" ") == std::wstring::npos)
            rep.Fail("a tool ran outside the work folder: " + l);
        // Each run's arguments are the table's command line for it.
        const size_t at = l.find(" args=");
        for (const expected::CommandLine& c : expected::kCommandLines)
            if (qmsim::StartsWith(l, std::string("run ") + c.run + " ") &&
                (at == std::string::npos || l.substr(at + 6) != c.args))
                rep.Fail(std::string("the ") + c.run + " run's arguments are not \"" + c.args + "\": " + l);
        if (qmsim::StartsWith(l, "run info.check ")) {
            ranCheck = true;
            if (l.find(std::string("exe=") + info + " ") == std::string::npos)
                rep.Fail("the information tool that ran is not " + std::string(info) + ": " + l);
        }
        if (qmsim::StartsWith(l, "run reflash ") && l.find(std::string("exe=") + reflash + " ") == std::string::npos)
            rep.Fail("the reflash tool that ran is not " + std::string(reflash) + ": " + l);
    }
    if (!ranCheck && qmsim::Lower(sc.Get("info.check")) != "unstartable") rep.Fail("the information tool never ran");
    rep.Note(std::string("payloads ") + info + ", " + reflash);
}

// Checks that a library that was loaded was also freed with nothing left alive.
void CheckVendorLibrary(Report& rep) {
    bool loaded = false, unloaded = false;
    for (const std::string& l : qmsim::RunLogLines()) {
        if (l == "kvcom load") loaded = true;
        if (qmsim::StartsWith(l, "kvcom unload")) {
            unloaded = true;
            if (l != "kvcom unload live=0") rep.Fail("vendor library objects not released: " + l);
        }
        if (qmsim::StartsWith(l, "kvcom unexpected") || l.find("mismatch") != std::string::npos)
            rep.Fail("vendor library misused: " + l);
    }
    if (loaded && !unloaded) rep.Fail("the vendor library was not freed");
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

// The tool's own start-up cost: the time to its window less the 1000 ms of
// pauses of the work folder and the extraction, and less the information
// tool's run as that tool measured it.
void NoteStartupCost(DWORD windowMs, Report& rep) {
    for (const std::string& l : qmsim::RunLogLines()) {
        size_t at = l.find(" ms=");
        if (!qmsim::StartsWith(l, "end info.check ") || at == std::string::npos) continue;
        unsigned long long toolMs = 0;
        if (!qmsim::ParseNumber(l.substr(at + 4), toolMs)) return;
        long long own = static_cast<long long>(windowMs) - 1000 - static_cast<long long>(toolMs);
        rep.Note("start-up cost " + std::to_string(own) + " ms (window " + std::to_string(windowMs) +
                 " - pauses 1000 - information tool " + std::to_string(toolMs) + ")");
        return;
    }
}

// The ids of the running processes of that program name.
std::vector<DWORD> ProcessesNamed(const wchar_t* name) {
    std::vector<DWORD> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (_wcsicmp(pe.szExeFile, name) == 0) ids.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return ids;
}

// expect.leftover = reflash-running: an attempt that was cancelled (by the
// time limit or by closing the window) leaves the reflash tool running, as
// a firmware write must not be cut off, and so the work folder stays, held by
// it. Checked here: the reflash tool is still running after the tool ended;
// the robot then ends it, as the restart would, and the work folder must
// hold nothing but the four files registered for deletion at restart and be
// the registered folder. It is then removed, as the restart would, so the
// usual checks of the temporary directory and the registrations follow.
void EndLeftReflash(const std::vector<std::wstring>& pendingBefore, Report& rep) {
    std::vector<DWORD> ids;
    for (const char* n : expected::kReflashTools)
        for (DWORD id : ProcessesNamed(qmsim::Widen(n).c_str())) ids.push_back(id);
    if (ids.empty()) {
        rep.Fail("the reflash tool is not running any more after the tool ended");
        return;
    }
    for (DWORD id : ids) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!h) continue;
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
    for (const char* n : expected::kReflashTools)
        if (!ProcessesNamed(qmsim::Widen(n).c_str()).empty())
            rep.Fail("the reflash tool left running could not be ended");
    rep.Note("the reflash tool was left running (" + std::to_string(ids.size()) + ") and was ended by the robot");

    std::vector<std::wstring> pending = PendingRenames();
    if (pending.size() <= pendingBefore.size() + 1) return;  // CheckLeftovers reports the missing registrations
    std::wstring folder = pending[pending.size() - 2];
    if (folder.compare(0, 4, L"\\??\\") == 0) folder = folder.substr(4);
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    std::set<std::wstring> allowed;
    for (size_t i = pendingBefore.size(); i + 2 < pending.size(); i += 2) allowed.insert(LowerW(pending[i]));
    for (const std::wstring& n : ListDir(folder)) {
        std::wstring path = folder + L"\\" + n;
        if (!allowed.count(LowerW(L"\\??\\" + path))) {
            rep.Fail("left in the work folder without a deletion at restart: " + qmsim::Narrow(n));
            continue;
        }
        DeleteFileW(path.c_str());
    }
    if (!RemoveDirectoryW(folder.c_str())) rep.Fail("the work folder could not be removed after the reflash tool ended");
    else rep.Note("work folder kept by the reflash tool, all registered for deletion; removed");
}

// Whether a cmd.exe or shutdown.exe process exists.
bool RestartCommandRunning() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    bool found = false;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (_wcsicmp(pe.szExeFile, L"cmd.exe") == 0 || _wcsicmp(pe.szExeFile, L"shutdown.exe") == 0) found = true;
    CloseHandle(snap);
    return found;
}

std::wstring SystemFolder() {
    wchar_t buf[MAX_PATH] = {};
    GetSystemDirectoryW(buf, MAX_PATH);
    return buf;
}

// C:\windows\syswow64 on a 64-bit system, empty on a 32-bit one.
std::wstring Wow64Folder() {
    wchar_t buf[MAX_PATH] = {};
    return GetSystemWow64DirectoryW(buf, MAX_PATH) ? buf : L"";
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    auto bare = [](std::wstring s) {
        while (!s.empty() && s.back() == L'\\') s.pop_back();
        return LowerW(s);
    };
    return bare(a) == bare(b);
}

// The value of "key=" in a run log line, up to the next " word=" of the line.
std::string LogField(const std::string& line, const std::string& key, const std::string& next) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    size_t end = next.empty() ? std::string::npos : line.find(" " + next + "=", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The restart's shutdown must be the system folder's, run in the system
// folder: the product starts <system folder>\cmd.exe there, and cmd.exe finds
// shutdown in its working directory. The recording shutdown logs its path
// (GetModuleFileNameW), its working directory and its width. The working
// directory is the string the product gave, GetSystemDirectoryW's
// "C:\windows\system32" also for a 32-bit product on a 64-bit system. There a
// 32-bit shutdown reached as C:\windows\system32\shutdown.exe is, through the
// redirector, the file in syswow64: Windows reports that real path, Wine may
// report the name it was reached by; for a 32-bit image both mean the
// syswow64 file, and any other folder is a program that stood in for it.
void CheckShutdownPlace(const std::string& line, Report& rep) {
    const std::wstring sys = SystemFolder(), wow = Wow64Folder();
    const std::wstring cwd = qmsim::Widen(LogField(line, "cwd", "exe"));
    const std::wstring exe = qmsim::Widen(LogField(line, "exe", "bits"));
    const bool bits32 = LogField(line, "bits", "") == "32";
    const size_t cut = exe.rfind(L'\\');
    const std::wstring folder = cut == std::wstring::npos ? L"" : exe.substr(0, cut);
    const bool inWow = bits32 && !wow.empty() && SamePath(folder, wow);
    if (LowerW(exe.substr(cut + 1)) != L"shutdown.exe" || !(SamePath(folder, sys) || inWow))
        rep.Fail("the restart's shutdown is " + qmsim::Narrow(exe) + ", not the system folder's " +
                 qmsim::Narrow((bits32 && !wow.empty() ? wow : sys) + L"\\shutdown.exe") + ": " + line);
    if (!SamePath(cwd, sys))
        rep.Fail("the restart's shutdown ran in " + qmsim::Narrow(cwd) + ", not in the system folder " +
                 qmsim::Narrow(sys) + ": " + line);
}

// ---- impostors (plant = yes) -------------------------------------------------

// Where the runner lays the impostors, and under which names: the tool's own
// folder and its working directory (see sim/scenario/run.py, IMPOSTORS).
const wchar_t* const kImpostorFolders[] = {L"C:\\qmsim\\app", L"C:\\qmsim\\bin"};
const wchar_t* const kImpostorPrograms[] = {L"cmd.exe", L"cmd.com", L"shutdown.exe", L"shutdown.com"};
const wchar_t* const kImpostorBatches[] = {L"shutdown.bat", L"shutdown.cmd"};
const wchar_t kImpostorLibrary[] = L"KvCom.dll";

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

// Each impostor the runner laid must be able to record, or the check after
// the run could pass only because none of them can run: before the tool
// starts, every impostor program is started once by its name through the
// system's cmd.exe in its folder ("cmd.exe /C shutdown.com ..." finds the one
// in its working directory), and the library is loaded once by the system's
// rundll32.exe of the tool's width. Each must have left its line; these lines
// are then set aside in C:\qmsim\selfcheck.log, so the run log holds only
// what the tool's run caused. The programs and the library run at once, the
// batch files one at a time after them: cmd.exe's ">>" appends by moving to
// the end and then writing, which a concurrent writer could overwrite.
void CheckImpostorsRecord(Report& rep) {
    const DWORD began = GetTickCount();
    const std::wstring sys = SystemFolder(), wow = Wow64Folder(), cmd = sys + L"\\cmd.exe";
    DWORD type = SCS_32BIT_BINARY;
    GetBinaryTypeW(L"C:\\qmsim\\app\\Quillmere.exe", &type);
    const std::wstring rundll = ((type == SCS_32BIT_BINARY && !wow.empty()) ? wow : sys) + L"\\rundll32.exe";
    std::vector<std::wstring> paths;  // of the impostors, in the order they ran
    std::vector<HANDLE> running;
    for (const std::wstring folder : kImpostorFolders) {
        for (const wchar_t* name : kImpostorPrograms) {
            running.push_back(StartIn(cmd, std::wstring(L"cmd.exe /C ") + name + L" qmsim-selfcheck", folder));
            paths.push_back(folder + L"\\" + name);
        }
        paths.push_back(folder + L"\\" + kImpostorLibrary);
        running.push_back(StartIn(rundll, L"rundll32.exe " + paths.back() + L",KvCreateAPI", folder));
    }
    WaitAll(running);
    for (const std::wstring folder : kImpostorFolders) {
        for (const wchar_t* name : kImpostorBatches) {
            running.push_back(StartIn(cmd, std::wstring(L"cmd.exe /C ") + name + L" qmsim-selfcheck", folder));
            WaitAll(running);
            paths.push_back(folder + L"\\" + name);
        }
    }
    // Each records "impostor <name> path=<path> ...".
    const std::vector<std::string> lines = qmsim::RunLogLines();
    size_t missing = 0;
    for (const std::wstring& path : paths) {
        const std::wstring want = LowerW(L"impostor " + path.substr(path.rfind(L'\\') + 1) + L" path=" + path + L" ");
        bool found = false;
        for (const std::string& l : lines) found = found || LowerW(qmsim::Widen(l)).compare(0, want.size(), want) == 0;
        if (!found) {
            ++missing;
            rep.Fail("impostor self-check: " + qmsim::Narrow(path) + " left no record when run or loaded");
        }
    }
    if (!missing)
        rep.Note("impostor self-check: all " + std::to_string(paths.size()) + " impostors recorded in " +
                 std::to_string(GetTickCount() - began) + " ms");
    MoveFileExW(qmsim::kRunLogPath, L"C:\\qmsim\\selfcheck.log", MOVEFILE_REPLACE_EXISTING);
    DeleteFileW(qmsim::kTimesPath);
}

// A record of any impostor fails the scenario, whatever `plant` says: the
// tool loaded a library or ran a program that lay beside it or in its
// working directory instead of the system's.
void CheckNoImpostor(Report& rep) {
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, "impostor ")) rep.Fail("an impostor was run or loaded: " + l.substr(9));
}

// Every key the robot and the substitutes read was in the scenario file: the
// runner fills in every default, so a missing one is its fault, not a default.
void CheckScenarioComplete(const qmsim::Scenario& sc, Report& rep) {
    std::set<std::string> lacking(sc.Missing().begin(), sc.Missing().end());
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, "scenario lacks ")) lacking.insert(l.substr(15));
    for (const std::string& key : lacking)
        rep.Fail("the scenario file lacks " + key + " (the runner writes every key of its table)");
}

// The verdict appears at once and whole: written aside, then renamed.
void WriteResult(const std::string& text) {
    const wchar_t* tmp = L"C:\\qmsim\\result.tmp";
    DeleteFileW(tmp);
    qmsim::AppendLine(tmp, text);
    MoveFileExW(tmp, kResultPath, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring scenarioPath = qmsim::kScenarioPath;
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/shots") == 0) g_shots = true;
        else scenarioPath = argv[i];
    }
    DeleteFileW(kResultPath);
    qmsim::AppendLine(L"C:\\qmsim\\robot.started", "");
    Report rep;
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

    const std::wstring exe = L"C:\\qmsim\\app\\Quillmere.exe";
    const std::wstring cwd = L"C:\\qmsim\\bin";
    const bool elevated = qmsim::Lower(sc.Get("start")) == "elevated";
    const std::string second = qmsim::Lower(sc.Get("second.start"));
    // The runner allows the scenario `timeout` seconds; the tool gets all
    // but a minute of it, for the checks that follow.
    unsigned long long scenarioSeconds = 0;
    qmsim::ParseNumber(sc.Get("timeout"), scenarioSeconds);
    const DWORD timeoutMs = static_cast<DWORD>((scenarioSeconds > 60 ? scenarioSeconds - 60 : 0) * 1000);

    // temp = readonly | full: the runner mounted a file system of its own at
    // C:\qmsim\temp; the tool inherits it as its temporary directory.
    if (qmsim::Lower(sc.Get("temp")) != "normal") {
        SetEnvironmentVariableW(L"TMP", L"C:\\qmsim\\temp");
        SetEnvironmentVariableW(L"TEMP", L"C:\\qmsim\\temp");
    }
    if (qmsim::Lower(sc.Get("plant")) == "yes") CheckImpostorsRecord(rep);
    std::set<std::wstring> tempBefore = ListDir(TempDir());
    std::vector<std::wstring> pendingBefore = PendingRenames();

    // Another logon session's run holds the machine-wide lock only.
    HANDLE otherUser = nullptr;
    if (qmsim::Lower(sc.Get("other.user")) == "running") otherUser = CreateMutexW(nullptr, FALSE, kGlobalMutex);
    // A run of this session holds the session lock.
    HANDLE sameSession = nullptr;
    if (second == "before") sameSession = CreateMutexW(nullptr, FALSE, kProductMutex);

    HANDLE spoilers[2] = {nullptr, nullptr};
    if (qmsim::Lower(sc.Get("info.check")) == "unstartable")
        spoilers[0] = CreateThread(nullptr, 0, SpoilTool, const_cast<char**>(expected::kInfoTools), 0, nullptr);
    if (qmsim::Lower(sc.Get("reflash")) == "unstartable")
        spoilers[1] = CreateThread(nullptr, 0, SpoilTool, const_cast<char**>(expected::kReflashTools), 0, nullptr);

    PROCESS_INFORMATION pi;
    if (!StartProduct(exe, cwd, elevated, &pi, &err)) {
        WriteResult("FAIL\nfail: cannot start the tool: " + err);
        return 1;
    }
    const DWORD started = GetTickCount();
    qmsim::LogRun("robot started the tool");
    DWORD elevation = ElevationOf(pi.hProcess);
    if (elevation != (elevated ? 2u : 3u))
        rep.Fail("the tool runs with elevation type " + std::to_string(elevation));

    Observed obs;
    std::set<HWND> handled;
    while (!Exited(pi.hProcess, 20) && GetTickCount() - started < timeoutMs) {
        for (const TopWindow& t : VisibleWindowsOf(pi.dwProcessId)) {
            if (handled.count(t.hwnd)) continue;
            if (t.cls == L"#32770") {
                handled.insert(t.hwnd);
                Sleep(100);  // let it finish painting
                HandleMessageBox(t.hwnd, rep, obs);
                if (second == "message") SecondStartRefused(exe, cwd, elevated, rep, "while the message box is open");
                PressOk(t.hwnd);
            } else if (t.cls == kWindowClass) {
                handled.insert(t.hwnd);
                obs.windowSeen = true;
                obs.windowMs = GetTickCount() - started;
                qmsim::LogRun("robot saw the window");
                rep.Note("window after " + std::to_string(obs.windowMs) + " ms");
                NoteStartupCost(obs.windowMs, rep);
                Sleep(300);
                CheckWindowAgainstTable(t.hwnd, rep);  // the window appears on the notice screen
                if (second == "window") SecondStartRefused(exe, cwd, elevated, rep, "while the window is shown");
                RunWindowActions(t.hwnd, pi.hProcess, sc.Get("window.actions"), rep, obs);
            }
        }
    }
    if (!Exited(pi.hProcess)) {
        rep.Fail("the tool did not end within " + std::to_string(timeoutMs / 1000) + " s");
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (code != 0) rep.Fail("exit code " + std::to_string(code));
    rep.Note("run took " + std::to_string(GetTickCount() - started) + " ms");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (HANDLE spoiler : spoilers)
        if (spoiler) CloseHandle(spoiler);
    if (second == "after") SecondStartRefused(exe, cwd, elevated, rep, "after the first run");

    // ---- expected outcome ---------------------------------------------------
    std::string expMsg = qmsim::Lower(sc.Get("expect.message"));
    if (expMsg == "none") {
        if (!obs.messages.empty()) rep.Fail("a message box appeared: " + std::to_string(obs.messages[0]));
    } else {
        unsigned long long id = 0;
        qmsim::ParseNumber(expMsg, id);
        if (obs.messages.empty()) rep.Fail("no message box; expected " + expMsg);
        else if (obs.messages[0] != id) rep.Fail("message " + std::to_string(obs.messages[0]) + ", expected " + expMsg);
        if (obs.messages.size() > 1) rep.Fail("more than one message box");
    }
    bool expWindow = qmsim::Lower(sc.Get("expect.window")) == "yes";
    if (expWindow != obs.windowSeen) rep.Fail(obs.windowSeen ? "the window appeared" : "the window did not appear");
    std::string range = sc.Get("expect.window.ms");
    if (obs.windowSeen && !range.empty()) {
        std::vector<std::string> mm = qmsim::Split(range, '-');
        unsigned long long lo = 0, hi = 0;
        if (mm.size() == 2 && qmsim::ParseNumber(mm[0], lo) && qmsim::ParseNumber(mm[1], hi)) {
            if (obs.windowMs < lo || obs.windowMs > hi)
                rep.Fail("window after " + std::to_string(obs.windowMs) + " ms, expected " + range);
        } else {
            rep.Fail("expect.window.ms: MIN-MAX");
        }
    }

    // The restart command runs detached (cmd.exe, then shutdown.exe): it is
    // recorded once neither of them is running any more.
    bool expRestart = qmsim::Lower(sc.Get("expect.restart")) == "yes";
    int restarts = 0;
    Sleep(200);
    for (int i = 0; i < 100; ++i) {
        bool running = RestartCommandRunning();
        restarts = 0;
        for (const std::string& l : qmsim::RunLogLines())
            if (qmsim::StartsWith(l, "shutdown ")) ++restarts;
        if (!running && (restarts || !expRestart)) break;
        Sleep(100);
    }
    // cmd.exe hands the shutdown program the rest of the table's "/C shutdown ..." line.
    const std::string cmdArgs = expected::kRestartArgs, viaCmd = "/C shutdown ";
    const std::string restartLine = "shutdown args=" + cmdArgs.substr(cmdArgs.compare(0, viaCmd.size(), viaCmd) == 0
                                                                          ? viaCmd.size() : 0) + " ";
    for (const std::string& l : qmsim::RunLogLines()) {
        if (!qmsim::StartsWith(l, "shutdown ")) continue;
        if (!qmsim::StartsWith(l, restartLine)) rep.Fail("restart command: " + l);
        CheckShutdownPlace(l, rep);
    }
    if (expRestart && restarts != 1) rep.Fail("restart recorded " + std::to_string(restarts) + " times");
    if (!expRestart && restarts) rep.Fail("a restart was recorded");

    std::string leftover = qmsim::Lower(sc.Get("expect.leftover"));
    if (leftover == "reflash-running") EndLeftReflash(pendingBefore, rep);
    else if (leftover != "none") rep.Fail("expect.leftover must be none or reflash-running");
    std::string expExtracted = qmsim::Lower(sc.Get("expect.extracted"));
    CheckLeftovers(sc, tempBefore, pendingBefore, expExtracted, rep);
    CheckVendorLibrary(rep);
    CheckNoImpostor(rep);
    // expect.runs: the vendor tool runs, in order (info.check, reflash, info.verify).
    if (!sc.Get("expect.runs").empty()) {
        std::string want, got;
        for (const std::string& k : qmsim::Split(qmsim::Lower(sc.Get("expect.runs")), ',')) want += (want.empty() ? "" : ", ") + k;
        for (const std::string& l : qmsim::RunLogLines())
            if (qmsim::StartsWith(l, "run ")) {
                std::string k = l.substr(4, l.find(' ', 4) - 4);
                got += (got.empty() ? "" : ", ") + k;
            }
        if (want != got) rep.Fail("tool runs were [" + got + "], expected [" + want + "]");
    }
    for (const std::string& p : robot::CheckDriverAfterRun(sc)) rep.Fail(p);
    CheckScenarioComplete(sc, rep);

    if (otherUser) CloseHandle(otherUser);
    if (sameSession) CloseHandle(sameSession);

    std::string text = rep.failures.empty() ? "PASS" : "FAIL";
    for (const std::string& f : rep.failures) text += "\nfail: " + f;
    for (const std::string& n : rep.notes) text += "\nnote: " + n;
    WriteResult(text);
    return rep.failures.empty() ? 0 : 1;
}
