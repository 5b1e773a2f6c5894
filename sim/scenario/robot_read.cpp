// The scenario robot's reading: the tool's top-level windows and screens,
// the files and the registry it leaves, the processes running, and the
// fields of the run log's lines.
#include "sim/scenario/robot.h"
#include "expected_values.h"

#include <tlhelp32.h>

namespace robot {
namespace {

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

bool ChildVisible(HWND parent, int id) {
    HWND c = GetDlgItem(parent, id);
    return c && IsWindowVisible(c);
}

}  // namespace

// ---- processes and windows ---------------------------------------------------

DWORD ElevationOf(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD len = 0;
    BOOL ok = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &len);
    CloseHandle(token);
    return ok ? static_cast<DWORD>(type) : 0;
}

std::vector<TopWindow> VisibleWindowsOf(DWORD pid) {
    std::vector<TopWindow> list;
    EnumState st = {pid, &list};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&st));
    return list;
}

bool Exited(HANDLE process, DWORD waitMs) { return WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0; }

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

// The message texts the tool may show, by id, come from the transcribed
// table (tests/expected/quillmere.json, made into expected_values.h).
unsigned MessageIdOf(const std::wstring& text) {
    for (const expected::Message& m : expected::kMessages)
        if (text == m.text) return m.id;
    return 0;
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

// ---- files and registry ------------------------------------------------------

std::wstring TempDir() {
    wchar_t buf[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, buf);
    std::wstring s = buf;
    if (!s.empty() && s.back() == L'\\') s.pop_back();
    return s;
}

// temp = readonly | full: C:\qmsim\temp, a file system the runner mounted
// there; unicode: Temp in the user folder "田中 太郎" (kanji and a space);
// long: the deepest folder of the chain the runner made under
// C:\qmsim\deep, whose path leaves room in MAX_PATH for the work folder
// (FWUxxxx.tmp) but not for the image inside it. A folder that is not there,
// or a chain of another length, fails the scenario: the laptop would not be
// the one it claims.
std::wstring ScenarioTempDir(const std::string& temp, Report& rep) {
    std::wstring dir;
    if (temp == "readonly" || temp == "full") dir = L"C:\\qmsim\\temp";
    if (temp == "unicode") dir = L"C:\\users\\\u7530\u4e2d \u592a\u90ce\\Temp";
    if (temp == "long") {
        dir = L"C:\\qmsim\\deep";
        for (std::set<std::wstring> below; (below = ListDir(dir)).size() == 1;) dir += L"\\" + *below.begin();
        const size_t work = dir.size() + 12, image = work + 1 + strlen(expected::kImageFile);
        if (work >= MAX_PATH || image < MAX_PATH)
            rep.Fail("the deep temporary directory is " + std::to_string(dir.size()) + " characters long: the work "
                     "folder needs " + std::to_string(work) + ", the image " + std::to_string(image));
    }
    if (!dir.empty() && GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES)
        rep.Fail("the temporary directory of temp = " + temp + " is not there: " + qmsim::Narrow(dir));
    return dir;
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

bool WorkFolderName(const std::wstring& name) { return _wcsnicmp(name.c_str(), expected::kWorkFolderPrefix, 3) == 0; }

Before ReadBefore() { return Before{ListDir(TempDir()), PendingRenames()}; }

// ---- the system folders and the run log --------------------------------------

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

std::string Hex(unsigned long long v) {
    char buf[24];
    wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(v));
    return buf;
}

}  // namespace robot
