// A recording impostor of the touchpad vendor's library, KvCom.dll. With
// `plant = yes` the scenario runner lays it beside the tool and in the tool's
// working directory, of the tool's width. Whenever a process loads it, it
// writes one "impostor ..." line with its own path and the loading program's
// to the run log, which fails the scenario, and refuses to be loaded
// (FALSE from DLL_PROCESS_ATTACH), so that nothing of it is ever called.
#include "sim_scenario.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t own[MAX_PATH] = {}, host[MAX_PATH] = {};
    GetModuleFileNameW(self, own, MAX_PATH);
    GetModuleFileNameW(nullptr, host, MAX_PATH);
    qmsim::LogRun("impostor KvCom.dll path=" + qmsim::Narrow(own) + " loaded by " + qmsim::Narrow(host));
    return FALSE;
}
