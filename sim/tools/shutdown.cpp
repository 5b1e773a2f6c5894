// Recording substitute for the system's shutdown command. The scenario runner
// puts it in the prefix's system folders in place of the real one (the 64-bit
// build in windows\system32 and the 32-bit build in windows\syswow64 of a
// 64-bit prefix; the 32-bit build in windows\system32 of a 32-bit prefix), so
// the restart command "cmd.exe /C shutdown /r /f /t 0" meets it wherever the
// system's cmd.exe finds the real one, and the whole Wine session is not
// ended. It only writes to the run log what it was run with, from where and
// in which working directory, and its width: the robot checks that the
// shutdown that ran is the system folder's and ran there.
#include "sim_scenario.h"

int wmain(int argc, wchar_t** argv) {
    std::wstring args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += L' ';
        args += argv[i];
    }
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    qmsim::LogRun("shutdown args=" + qmsim::Narrow(args) + " cwd=" + qmsim::Narrow(cwd) + " exe=" +
                  qmsim::Narrow(exe) + " bits=" + std::to_string(sizeof(void*) * 8));
    return 0;
}
