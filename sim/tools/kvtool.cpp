// Substitute for the touchpad vendor's information tool (KV_TOOL_INFO) and
// reflash tool (KV_TOOL_REFLASH), built once per architecture.
//
// It accepts exactly the command lines the update tool uses and answers as the
// scenario file says:
//
//   info.check  = <runs>   for  /I 1846958;2025418
//   info.verify = <runs>   for  /I 2149928
//   reflash     = <runs>   for  /S 2 /F 0 /W 2 /I FW2149928-kt2379-004_touchthr_40.img
//
// <runs> is a comma-separated list, one entry per run of that kind (the last
// entry repeats): "exit N", "exit N after MS" or "hang" (the runner's default
// is "exit 0"). tools.log = no stops it from leaving "Log.txt" in
// its working directory. Any other command line exits with kExitBadArguments;
// a reflash run whose image is missing from the working directory, or has the
// wrong size, exits with kExitBadImage. Every run first logs its code page,
// locale and UI language ("locale exe=... acp=... lcid=... ui=..."), which the
// robot checks against the scenario's locale: the tool's children must see
// the system locale the tool sees.
#include "sim_scenario.h"

#include <shellapi.h>

#include <string>

namespace {

constexpr DWORD kExitBadArguments = 87;
constexpr DWORD kExitBadImage = 2;
constexpr const wchar_t* kImageName = L"FW2149928-kt2379-004_touchthr_40.img";
constexpr DWORD kImageSize = 28928;

struct RunSpec {
    bool hang = false;
    DWORD exitCode = 0;
    DWORD afterMs = 0;
    bool valid = true;
};

RunSpec ParseRunSpec(const std::string& text) {
    RunSpec spec;
    std::string t = qmsim::Lower(qmsim::Trim(text));
    if (t.empty()) return spec;
    if (t == "hang") {
        spec.hang = true;
        return spec;
    }
    // "exit N" optionally followed by "after MS".
    std::vector<std::string> words = qmsim::Split(t, ' ');
    unsigned long long n = 0;
    if (words.size() >= 2 && words[0] == "exit" && qmsim::ParseNumber(words[1], n)) {
        spec.exitCode = static_cast<DWORD>(n);
        if (words.size() == 4 && words[2] == "after" && qmsim::ParseNumber(words[3], n)) {
            spec.afterMs = static_cast<DWORD>(n);
            return spec;
        }
        if (words.size() == 2) return spec;
    }
    spec.valid = false;
    return spec;
}

std::wstring ModuleBaseName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* base = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') base = p + 1;
    return base;
}

// The scenario key of this command line, or empty when it is not one the
// update tool uses.
std::string KeyForArguments(int argc, wchar_t** argv) {
#if defined(KV_TOOL_INFO)
    if (argc == 3 && wcscmp(argv[1], L"/I") == 0) {
        if (wcscmp(argv[2], L"1846958;2025418") == 0) return "info.check";
        if (wcscmp(argv[2], L"2149928") == 0) return "info.verify";
    }
#elif defined(KV_TOOL_REFLASH)
    static const wchar_t* const kExpected[] = {L"/S", L"2", L"/F", L"0", L"/W", L"2", L"/I", kImageName};
    if (argc == 9) {
        bool same = true;
        for (int i = 0; i < 8; ++i)
            if (wcscmp(argv[i + 1], kExpected[i]) != 0) same = false;
        if (same) return "reflash";
    }
#else
#error "define KV_TOOL_INFO or KV_TOOL_REFLASH"
#endif
    (void)argc;
    (void)argv;
    return std::string();
}

// The raw argument text after the program name.
std::wstring ArgumentText() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// How many runs of this kind the log already holds.
size_t EarlierRuns(const std::string& key) {
    size_t n = 0;
    for (const std::string& line : qmsim::RunLogLines())
        if (qmsim::StartsWith(line, "run " + key + " ")) ++n;
    return n;
}

bool ImageInWorkingDirectory() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(kImageName, GetFileExInfoStandard, &data)) return false;
    return data.nFileSizeHigh == 0 && data.nFileSizeLow == kImageSize;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const std::string exe = qmsim::Narrow(ModuleBaseName());
    const std::string bits = sizeof(void*) == 8 ? "64" : "32";
    qmsim::LogRun("locale exe=" + exe + " " + qmsim::LocaleFields());
    wchar_t cwdBuf[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwdBuf);
    const std::string cwd = qmsim::Narrow(cwdBuf);
    const std::string args = qmsim::Narrow(ArgumentText());

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string key = argv ? KeyForArguments(argc, argv) : std::string();
    if (argv) LocalFree(argv);

    if (key.empty()) {
        qmsim::LogRun("badargs exe=" + exe + " bits=" + bits + " cwd=" + cwd + " args=" + args);
        return static_cast<int>(kExitBadArguments);
    }

    qmsim::Scenario scenario;
    scenario.Load();
    std::vector<std::string> runs = qmsim::Split(scenario.Get(key), ',');
    size_t index = EarlierRuns(key);
    RunSpec spec;
    if (!runs.empty()) spec = ParseRunSpec(runs[index < runs.size() ? index : runs.size() - 1]);

    const DWORD startTick = GetTickCount();
    qmsim::LogRun("run " + key + " exe=" + exe + " bits=" + bits + " cwd=" + cwd + " args=" + args);
    if (qmsim::Lower(scenario.Get("tools.log")) != "no")
        qmsim::AppendLine(L"Log.txt", exe + " " + args);

    DWORD code = spec.exitCode;
    if (!spec.valid) {
        qmsim::LogRun("badscenario " + key);
        code = kExitBadArguments;
    } else if (key == "reflash" && !ImageInWorkingDirectory()) {
        code = kExitBadImage;
    } else if (spec.hang) {
        qmsim::LogRun("hang " + key + " exe=" + exe);
        for (;;) Sleep(INFINITE);
    } else if (spec.afterMs) {
        Sleep(spec.afterMs);
    }
    qmsim::LogRun("end " + key + " exe=" + exe + " exit=" + std::to_string(code) +
                  " ms=" + std::to_string(GetTickCount() - startTick));
    return static_cast<int>(code);
}
