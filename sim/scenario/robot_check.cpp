// The scenario robot's checks: the tool's window against the transcribed
// table, its message boxes, the impostors of `plant = yes`, and the expected
// outcome after the run, one check per expect.* key (kOutcomeChecks).
#include "sim/scenario/robot.h"
#include "sim/scenario/driver_setup.h"
#include "expected_values.h"

#include <commctrl.h>

#include <algorithm>

namespace robot {
namespace {

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

// A record of any impostor fails the scenario, whatever `plant` says: the
// tool loaded a library or ran a program that lay beside it or in its
// working directory instead of the system's.
void CheckNoImpostor(Report& rep) {
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, "impostor ")) rep.Fail("an impostor was run or loaded: " + l.substr(9));
}

// ---- the expected outcome ------------------------------------------------------

// What the outcome checks read and what they hand on to the ones after them.
struct Outcome {
    const qmsim::Scenario& sc;
    const Observed& obs;
    const Before& before;
    Report& rep;
    const char* info = nullptr;     // the payloads' tool names (expect.payloads)
    const char* reflash = nullptr;
    std::wstring workFolder;        // the work folder of a whole extraction's registrations
};

// expect.message: the one message box's text, by its id in the table.
void CheckMessage(const std::string& value, Outcome& o) {
    if (value == "none") {
        if (!o.obs.messages.empty()) o.rep.Fail("a message box appeared: " + std::to_string(o.obs.messages[0]));
        return;
    }
    unsigned long long id = 0;
    qmsim::ParseNumber(value, id);
    if (o.obs.messages.empty()) o.rep.Fail("no message box; expected " + value);
    else if (o.obs.messages[0] != id) o.rep.Fail("message " + std::to_string(o.obs.messages[0]) + ", expected " + value);
    if (o.obs.messages.size() > 1) o.rep.Fail("more than one message box");
}

// expect.window: whether the main window appeared.
void CheckWindowShown(const std::string& value, Outcome& o) {
    if ((value == "yes") != o.obs.windowSeen)
        o.rep.Fail(o.obs.windowSeen ? "the window appeared" : "the window did not appear");
}

// expect.window.ms = MIN-MAX: milliseconds from the start to the window; empty, not checked.
void CheckWindowTime(const std::string& value, Outcome& o) {
    if (!o.obs.windowSeen || value.empty()) return;
    std::vector<std::string> mm = qmsim::Split(value, '-');
    unsigned long long lo = 0, hi = 0;
    if (mm.size() != 2 || !qmsim::ParseNumber(mm[0], lo) || !qmsim::ParseNumber(mm[1], hi))
        o.rep.Fail("expect.window.ms: MIN-MAX");
    else if (o.obs.windowMs < lo || o.obs.windowMs > hi)
        o.rep.Fail("window after " + std::to_string(o.obs.windowMs) + " ms, expected " + value);
}

// expect.restart: the table's restart command recorded once by the system
// folder's shutdown, run there; every shutdown recorded is checked so.
void CheckRestart(const std::string& value, Outcome& o) {
    // The restart command runs detached (cmd.exe, then shutdown.exe): it is
    // recorded once neither of them is running any more.
    const bool wanted = value == "yes";
    int restarts = 0;
    Sleep(200);
    for (int i = 0; i < 100; ++i) {
        bool running = RestartCommandRunning();
        restarts = 0;
        for (const std::string& l : qmsim::RunLogLines())
            if (qmsim::StartsWith(l, "shutdown ")) ++restarts;
        if (!running && (restarts || !wanted)) break;
        Sleep(100);
    }
    // cmd.exe hands the shutdown program the rest of the table's "/C shutdown ..." line.
    const std::string cmdArgs = expected::kRestartArgs, viaCmd = "/C shutdown ";
    const std::string restartLine = "shutdown args=" + cmdArgs.substr(cmdArgs.compare(0, viaCmd.size(), viaCmd) == 0
                                                                          ? viaCmd.size() : 0) + " ";
    for (const std::string& l : qmsim::RunLogLines()) {
        if (!qmsim::StartsWith(l, "shutdown ")) continue;
        if (!qmsim::StartsWith(l, restartLine)) o.rep.Fail("restart command: " + l);
        CheckShutdownPlace(l, o.rep);
    }
    if (wanted && restarts != 1) o.rep.Fail("restart recorded " + std::to_string(restarts) + " times");
    if (!wanted && restarts) o.rep.Fail("a restart was recorded");
}

// expect.leftover = reflash-running: an attempt that was cancelled (by the
// time limit or by closing the window) leaves the reflash tool running, as
// a firmware write must not be cut off, and so the work folder stays, held by
// it. Checked here: the reflash tool is still running after the tool ended;
// the robot then ends it, as the restart would, and the work folder must
// hold nothing but the four files registered for deletion at restart and be
// the registered folder. It is then removed, as the restart would, so the
// usual checks of the temporary directory and the registrations follow.
void CheckLeftover(const std::string& value, Outcome& o) {
    if (value == "none") return;
    if (value != "reflash-running") {
        o.rep.Fail("expect.leftover must be none or reflash-running");
        return;
    }
    std::vector<DWORD> ids;
    for (const char* n : expected::kReflashTools)
        for (DWORD id : ProcessesNamed(qmsim::Widen(n).c_str())) ids.push_back(id);
    if (ids.empty()) {
        o.rep.Fail("the reflash tool is not running any more after the tool ended");
        return;
    }
    EndProcesses(ids);
    for (const char* n : expected::kReflashTools)
        if (!ProcessesNamed(qmsim::Widen(n).c_str()).empty())
            o.rep.Fail("the reflash tool left running could not be ended");
    o.rep.Note("the reflash tool was left running (" + std::to_string(ids.size()) + ") and was ended by the robot");

    const std::vector<std::wstring>& before = o.before.pending;
    std::vector<std::wstring> pending = PendingRenames();
    if (pending.size() <= before.size() + 1) return;  // CheckRegistrations reports the missing registrations
    std::wstring folder = pending[pending.size() - 2];
    if (folder.compare(0, 4, L"\\??\\") == 0) folder = folder.substr(4);
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    std::set<std::wstring> allowed;
    for (size_t i = before.size(); i + 2 < pending.size(); i += 2) allowed.insert(LowerW(pending[i]));
    for (const std::wstring& n : ListDir(folder)) {
        std::wstring path = folder + L"\\" + n;
        if (!allowed.count(LowerW(L"\\??\\" + path))) {
            o.rep.Fail("left in the work folder without a deletion at restart: " + qmsim::Narrow(n));
            continue;
        }
        DeleteFileW(path.c_str());
    }
    if (!RemoveDirectoryW(folder.c_str())) o.rep.Fail("the work folder could not be removed after the reflash tool ended");
    else o.rep.Note("work folder kept by the reflash tool, all registered for deletion; removed");
}

// In every run: nothing new is left in the temporary directory.
void CheckTempDirectory(const std::string&, Outcome& o) {
    for (const std::wstring& n : ListDir(TempDir()))
        if (!o.before.temp.count(n)) o.rep.Fail("left in the temporary directory: " + qmsim::Narrow(n));
}

// expect.payloads: the names of the tools (the 64-bit or the 32-bit builds)
// that the registrations and runs checked next must carry.
void NamePayloads(const std::string& value, Outcome& o) {
    const int x64 = value == "x64";
    if (!x64 && value != "x86") o.rep.Fail("expect.payloads must be x64 or x86");
    o.info = expected::kInfoTools[x64];
    o.reflash = expected::kReflashTools[x64];
}

// The files of an extraction that failed part of the way: those written so
// far registered for deletion in order, but not the log file or the folder.
void CheckPartialRegistrations(const std::vector<std::wstring>& sources, Outcome& o) {
    if (sources.size() >= 4) o.rep.Fail(std::to_string(sources.size()) + " reboot registrations for a failed extraction");
    std::wstring first = sources[0];
    size_t cut = first.rfind(L'\\');
    std::wstring folder = cut == std::wstring::npos ? L"" : first.substr(0, cut);
    const char* names[3] = {expected::kImageFile, o.info, o.reflash};
    for (size_t i = 0; i < sources.size() && i < 3; ++i)
        if (LowerW(sources[i]) != LowerW(folder + L"\\" + qmsim::Widen(names[i])))
            o.rep.Fail("registration " + std::to_string(i + 1) + " is " + qmsim::Narrow(sources[i]));
    if (folder.compare(0, 4, L"\\??\\") == 0 && GetFileAttributesW(folder.substr(4).c_str()) != INVALID_FILE_ATTRIBUTES)
        o.rep.Fail("the work folder is still there: " + qmsim::Narrow(folder));
    o.rep.Note(std::to_string(sources.size()) + " of the files registered before the extraction failed");
}

// The five registrations of a whole extraction: the image, the two tools and
// Log.txt inside one FWUxxxx.tmp folder of the temporary directory, then that
// folder, which is gone. The folder, for the check of the runs.
std::wstring CheckWholeRegistrations(const std::vector<std::wstring>& sources, Outcome& o) {
    if (sources.size() != 5) {
        o.rep.Fail("expected 5 reboot registrations, found " + std::to_string(sources.size()));
        return std::wstring();
    }
    // "\??\C:\...\FWUxxxx.tmp" is the last; the others are files inside it, in order.
    std::wstring folder = sources[4];
    const std::wstring prefix = L"\\??\\";
    if (folder.compare(0, prefix.size(), prefix) == 0) folder = folder.substr(prefix.size());
    else o.rep.Fail("registration without the \\??\\ prefix: " + qmsim::Narrow(sources[4]));
    size_t slash = folder.rfind(L'\\');
    std::wstring parent = slash == std::wstring::npos ? L"" : folder.substr(0, slash);
    std::wstring leaf = slash == std::wstring::npos ? folder : folder.substr(slash + 1);
    if (LowerW(parent) != LowerW(TempDir()))
        o.rep.Fail("work folder not in the temporary directory: " + qmsim::Narrow(folder));
    // GetTempFileNameW: the prefix's first three letters, one to four hex digits, ".tmp".
    bool nameOk = leaf.size() >= 8 && leaf.size() <= 11 && WorkFolderName(leaf) &&
                  LowerW(leaf.substr(leaf.size() - 4)) == L".tmp";
    for (size_t i = 3; nameOk && i + 4 < leaf.size(); ++i) nameOk = iswxdigit(leaf[i]) != 0;
    if (!nameOk) o.rep.Fail("work folder name is not FWUxxxx.tmp: " + qmsim::Narrow(leaf));
    const char* names[4] = {expected::kImageFile, o.info, o.reflash, expected::kLogFile};
    for (int i = 0; i < 4; ++i) {
        std::wstring want = LowerW(prefix + folder + L"\\" + qmsim::Widen(names[i]));
        if (LowerW(sources[i]) != want)
            o.rep.Fail("registration " + std::to_string(i + 1) + " is " + qmsim::Narrow(sources[i]) + ", expected " +
                       qmsim::Narrow(want));
    }
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        o.rep.Fail("the work folder is still there: " + qmsim::Narrow(folder));
    return folder;
}

// expect.extracted = yes | no | partial: the reboot-time deletions the run
// registered, in order (a rename among them, or earlier entries lost, fail in
// every run); with `no` or `partial` no vendor tool ran.
void CheckRegistrations(const std::string& value, Outcome& o) {
    const std::vector<std::wstring>& before = o.before.pending;
    std::vector<std::wstring> pending = PendingRenames();
    std::vector<std::wstring> added;
    if (pending.size() >= before.size() && std::equal(before.begin(), before.end(), pending.begin()))
        added.assign(pending.begin() + before.size(), pending.end());
    else
        o.rep.Fail("PendingFileRenameOperations lost earlier entries");
    std::vector<std::wstring> sources;
    for (size_t i = 0; i < added.size(); i += 2) {
        sources.push_back(added[i]);
        if (i + 1 < added.size() && !added[i + 1].empty())
            o.rep.Fail("a reboot registration renames instead of deleting: " + qmsim::Narrow(added[i]));
    }
    if (value != "yes") {
        for (const std::string& l : qmsim::RunLogLines())
            if (qmsim::StartsWith(l, "run ")) o.rep.Fail("a vendor tool ran: " + l);
        if (value == "no" && !sources.empty()) o.rep.Fail("reboot registrations made although nothing was to be extracted");
        if (value == "partial" && !sources.empty()) CheckPartialRegistrations(sources, o);
        return;
    }
    o.workFolder = CheckWholeRegistrations(sources, o);
}

// After a whole extraction (expect.extracted = yes): every vendor tool ran in
// the work folder with the table's command line, the information tool under
// its own name for the payloads' width, and so the reflash tool.
void CheckToolRuns(const std::string&, Outcome& o) {
    if (o.workFolder.empty()) return;
    const std::wstring& folder = o.workFolder;
    bool ranCheck = false;
    for (const std::string& l : qmsim::RunLogLines()) {
        if (!qmsim::StartsWith(l, "run ")) continue;
        if (l.find(" cwd=" + qmsim::Narrow(folder) + " ") == std::string::npos &&
            LowerW(qmsim::Widen(l)).find(L" cwd=" + LowerW(folder) + L" ") == std::wstring::npos)
            o.rep.Fail("a tool ran outside the work folder: " + l);
        // Each run's arguments are the table's command line for it.
        const size_t at = l.find(" args=");
        for (const expected::CommandLine& c : expected::kCommandLines)
            if (qmsim::StartsWith(l, std::string("run ") + c.run + " ") &&
                (at == std::string::npos || l.substr(at + 6) != c.args))
                o.rep.Fail(std::string("the ") + c.run + " run's arguments are not \"" + c.args + "\": " + l);
        if (qmsim::StartsWith(l, "run info.check ")) {
            ranCheck = true;
            if (l.find(std::string("exe=") + o.info + " ") == std::string::npos)
                o.rep.Fail("the information tool that ran is not " + std::string(o.info) + ": " + l);
        }
        if (qmsim::StartsWith(l, "run reflash ") && l.find(std::string("exe=") + o.reflash + " ") == std::string::npos)
            o.rep.Fail("the reflash tool that ran is not " + std::string(o.reflash) + ": " + l);
    }
    if (!ranCheck && qmsim::Lower(o.sc.Get("info.check")) != "unstartable") o.rep.Fail("the information tool never ran");
    o.rep.Note(std::string("payloads ") + o.info + ", " + o.reflash);
}

// In every run: the vendor library, when loaded, was freed with every object
// released, and only the known slots were called.
void CheckVendorLibrary(const std::string&, Outcome& o) {
    bool loaded = false, unloaded = false;
    for (const std::string& l : qmsim::RunLogLines()) {
        if (l == "kvcom load") loaded = true;
        if (qmsim::StartsWith(l, "kvcom unload")) {
            unloaded = true;
            if (l != "kvcom unload live=0") o.rep.Fail("vendor library objects not released: " + l);
        }
        if (qmsim::StartsWith(l, "kvcom unexpected") || l.find("mismatch") != std::string::npos)
            o.rep.Fail("vendor library misused: " + l);
    }
    if (loaded && !unloaded) o.rep.Fail("the vendor library was not freed");
}

// In every run: no impostor was run or loaded (CheckNoImpostor).
void CheckNoImpostorRan(const std::string&, Outcome& o) { CheckNoImpostor(o.rep); }

// expect.runs: the vendor tool runs in order (info.check, reflash,
// info.verify); empty, not checked.
void CheckRunOrder(const std::string& value, Outcome& o) {
    if (value.empty()) return;
    std::string want, got;
    for (const std::string& k : qmsim::Split(value, ',')) want += (want.empty() ? "" : ", ") + k;
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, "run ")) got += (got.empty() ? "" : ", ") + l.substr(4, l.find(' ', 4) - 4);
    if (want != got) o.rep.Fail("tool runs were [" + got + "], expected [" + want + "]");
}

// expect.handshake = done | none (empty, not checked), and in every run what
// the driver saw (driver_setup.cpp): no refused client fault, no session left
// open, every open closed; its transcript is kept.
void CheckDriver(const std::string& value, Outcome& o) {
    for (const std::string& p : CheckDriverAfterRun(value)) o.rep.Fail(p);
}

// The code page, user locale and UI language of a Windows of each value of
// the key locale (the README's table): Japanese 932, 1041, 1041; English
// 1252, 1033, 1033.
const struct {
    const char* locale;
    unsigned acp, lcid, ui;
} kLocales[] = {{"ja", 932, 1041, 1041}, {"en", 1252, 1033, 1033}};

// locale: the robot's own session (and so the tool, its child) and every
// vendor tool run had the scenario's code page, locale and UI language. Each
// run of a vendor tool logs a "locale exe=... acp=... lcid=... ui=..." line
// before its run or badargs line, so the two counts must be equal.
void CheckLocale(const std::string& value, Outcome& o) {
    std::string want;
    for (const auto& l : kLocales)
        if (value == l.locale)
            want = "acp=" + std::to_string(l.acp) + " lcid=" + std::to_string(l.lcid) + " ui=" + std::to_string(l.ui);
    if (want.empty()) {
        o.rep.Fail("locale must be ja or en, not " + value);
        return;
    }
    const std::string own = qmsim::LocaleFields();
    if (own != want) o.rep.Fail("the robot's session has " + own + ", locale " + value + " has " + want);
    size_t records = 0, runs = 0;
    for (const std::string& l : qmsim::RunLogLines()) {
        if (qmsim::StartsWith(l, "run ") || qmsim::StartsWith(l, "badargs ")) ++runs;
        if (!qmsim::StartsWith(l, "locale ")) continue;
        ++records;
        const size_t at = l.find(" acp=");
        if (at == std::string::npos || l.substr(at + 1) != want)
            o.rep.Fail("a vendor tool ran in another locale than " + want + ": " + l);
    }
    if (records != runs)
        o.rep.Fail(std::to_string(runs) + " vendor tool runs, " + std::to_string(records) + " with their locale");
    o.rep.Note("locale " + value + ": " + own + " (the robot), " + std::to_string(records) + " vendor tool runs");
}

// In every run, last: every key the robot and the substitutes read was in the
// scenario file. The runner fills in every default, so a missing key is its
// fault, never a default.
void CheckScenarioComplete(const std::string&, Outcome& o) {
    std::set<std::string> lacking(o.sc.Missing().begin(), o.sc.Missing().end());
    for (const std::string& l : qmsim::RunLogLines())
        if (qmsim::StartsWith(l, "scenario lacks ")) lacking.insert(l.substr(15));
    for (const std::string& key : lacking)
        o.rep.Fail("the scenario file lacks " + key + " (the runner writes every key of its table)");
}

// The expected outcome, in the order it is checked: each expect.* key (and
// the laptop's locale) with the function that checks its value (lower case,
// as the runner filled it in), and the checks of every run (no key). The leftover reflash tool is
// ended before the temporary directory is looked at; the payloads' names are
// taken before the registrations and runs that must carry them.
const struct {
    const char* key;
    void (*check)(const std::string& value, Outcome& o);
} kOutcomeChecks[] = {
    {"expect.message", CheckMessage},
    {"expect.window", CheckWindowShown},
    {"expect.window.ms", CheckWindowTime},
    {"expect.restart", CheckRestart},
    {"expect.leftover", CheckLeftover},
    {nullptr, CheckTempDirectory},
    {"expect.payloads", NamePayloads},
    {"expect.extracted", CheckRegistrations},
    {"expect.extracted", CheckToolRuns},
    {nullptr, CheckVendorLibrary},
    {nullptr, CheckNoImpostorRan},
    {"expect.runs", CheckRunOrder},
    {"expect.handshake", CheckDriver},
    {"locale", CheckLocale},
    {nullptr, CheckScenarioComplete},
};

}  // namespace

// Reads the message box's text and checks it against the table, and its caption and style.
void CheckMessageBox(HWND box, Report& rep, Observed& obs) {
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
    RECT rc;
    GetWindowRect(box, &rc);
    Shot("message-" + std::to_string(id), &rc);
}

namespace {

// The window class's style and background and the window's styles and caption
// against the table; what was seen, for the note.
std::string CheckClassAndWindow(HWND w, Report& rep) {
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
    return "(class style " + Hex(classStyle) + ", background " + Hex(px) + ", style " + Hex(style) + ", extended " +
           Hex(exStyle) + ")";
}

// The child controls, in the order of creation, against the table: class, id,
// style, size, and the progress bar's range and step. False when their number
// differs, and nothing more is compared.
bool CheckControls(HWND w, Report& rep) {
    // Each new control goes below its siblings, so the children come in the order of creation.
    std::vector<HWND> children;
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    const size_t n = sizeof expected::kControls / sizeof expected::kControls[0];
    if (children.size() != n) {
        rep.Fail(std::to_string(children.size()) + " child windows, expected " + std::to_string(n));
        return false;
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
    return true;
}

}  // namespace

// The product's own window class, window and child controls as the running
// program has them, against the transcribed table (expected_values.h). Read
// on the notice screen, the first one. The system adds WS_CLIPSIBLINGS to
// every top-level window and WS_MAXIMIZE once it is shown maximised; nothing
// else may differ.
void CheckWindowAgainstTable(HWND w, Report& rep) {
    const std::string seen = CheckClassAndWindow(w, rep);
    if (CheckControls(w, rep)) rep.Note("window class, window and controls as the table " + seen);
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

void CheckOutcome(const qmsim::Scenario& sc, const Observed& obs, const Before& before, Report& rep) {
    Outcome o = {sc, obs, before, rep, nullptr, nullptr, std::wstring()};
    for (const auto& c : kOutcomeChecks) c.check(c.key ? qmsim::Lower(sc.Get(c.key)) : std::string(), o);
}

}  // namespace robot
