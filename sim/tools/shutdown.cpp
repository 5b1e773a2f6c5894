// Recording substitute for the system's shutdown command. The restart command
// runs "cmd.exe /C shutdown /r /f /t 0"; with this program in the caller's
// current directory cmd.exe runs it instead of the real one, which would end
// the whole Wine session. It only writes its arguments to the run log.
#include "sim_scenario.h"

int wmain(int argc, wchar_t** argv) {
    std::wstring args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += L' ';
        args += argv[i];
    }
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    qmsim::LogRun("shutdown args=" + qmsim::Narrow(args) + " cwd=" + qmsim::Narrow(cwd));
    return 0;
}
