// A recording impostor program. With `plant = yes` the scenario runner lays
// copies of it beside the tool (C:\qmsim\app) and in the tool's working
// directory (C:\qmsim\bin) under the names of the system's programs the
// restart reaches by name: cmd.exe, cmd.com, shutdown.exe and shutdown.com
// (a PE file named .com is started as a PE program). Any copy that runs was
// taken instead of the system's program: it writes one "impostor ..." line
// with its file name, its path and its command line to the run log, which
// fails the scenario, and ends with 0 as the real restart command would.
#include "sim_scenario.h"

int wmain() {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const wchar_t* name = wcsrchr(exe, L'\\');
    qmsim::LogRun("impostor " + qmsim::Narrow(name ? name + 1 : exe) + " path=" + qmsim::Narrow(exe) +
                  " cmdline=" + qmsim::Narrow(GetCommandLineW()));
    return 0;
}
