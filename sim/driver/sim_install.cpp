// Registers the substitute system-interface driver's device interface in a
// Wine prefix (the driver service itself is created by scripts/make-prefix --driver).
//
//   sim_install install VERSION [FORMAT] [--second]   register device, interface,
//                                                     "DriverVersion", Linked flag
//   sim_install set-version VERSION [FORMAT] [--second]
//   sim_install delete-version [--second]
//   sim_install link | unlink [--second]              set / clear the Linked flag
//   sim_install remove [--second | --all]             remove the registration
//   sim_install path [--second]                       print the interface path
//   sim_install status                                ask the running driver
//
// FORMAT: --string (default: REG_SZ with terminator), --no-terminator (REG_SZ
// whose byte count leaves the terminator out), --binary (REG_BINARY).
// Exit code 0 on success, 1 on failure (with a line on standard error).
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <wchar.h>

#include "sim/driver/sim_control.h"

namespace {

int Fail(const char* what)
{
    fprintf(stderr, "sim_install: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

int Usage()
{
    fprintf(stderr,
            "usage: sim_install install|set-version VERSION [--string|--no-terminator|--binary] [--second]\n"
            "       sim_install delete-version|link|unlink|path [--second]\n"
            "       sim_install remove [--second|--all]\n"
            "       sim_install status\n");
    return 2;
}

int Run(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage();
    const wchar_t* command = argv[1];
    const wchar_t* version = nullptr;
    int instance = 0;
    bool all = false;
    SimControl::VersionFormat format = SimControl::VersionFormat::String;
    for (int i = 2; i < argc; ++i) {
        const wchar_t* a = argv[i];
        if (wcscmp(a, L"--second") == 0) instance = 1;
        else if (wcscmp(a, L"--all") == 0) all = true;
        else if (wcscmp(a, L"--string") == 0) format = SimControl::VersionFormat::String;
        else if (wcscmp(a, L"--no-terminator") == 0) format = SimControl::VersionFormat::StringWithoutTerminator;
        else if (wcscmp(a, L"--binary") == 0) format = SimControl::VersionFormat::Binary;
        else if (a[0] != L'-' && version == nullptr) version = a;
        else return Usage();
    }

    if (wcscmp(command, L"install") == 0) {
        if (version == nullptr) return Usage();
        return SimControl::RegisterInterface(instance, version, format) ? 0 : Fail("install");
    }
    if (wcscmp(command, L"set-version") == 0) {
        if (version == nullptr) return Usage();
        return SimControl::SetDriverVersion(instance, version, format) ? 0 : Fail("set-version");
    }
    if (wcscmp(command, L"delete-version") == 0)
        return SimControl::DeleteDriverVersion(instance) ? 0 : Fail("delete-version");
    if (wcscmp(command, L"link") == 0) return SimControl::SetLinked(instance, true) ? 0 : Fail("link");
    if (wcscmp(command, L"unlink") == 0) return SimControl::SetLinked(instance, false) ? 0 : Fail("unlink");
    if (wcscmp(command, L"remove") == 0) {
        bool ok = true;
        for (int i = all ? 0 : instance; i <= (all ? 1 : instance); ++i) ok = SimControl::RemoveInterface(i) && ok;
        return ok ? 0 : Fail("remove");
    }
    if (wcscmp(command, L"path") == 0) {
        std::wstring path = SimControl::InterfacePath(instance);
        if (path.empty()) return Fail("path");
        printf("%ls\n", path.c_str());
        return 0;
    }
    if (wcscmp(command, L"status") == 0) {
        SimSummary s;
        if (!SimControl::GetSummary(&s)) return Fail("status");
        printf("exchanges %u, session state %u, session id 0x%08x, opens %u, closes %u\n", s.exchangeCount,
               s.sessionState, s.sessionId, s.opens, s.closes);
        return 0;
    }
    return Usage();
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return Fail("CommandLineToArgvW");
    int rc = Run(argc, argv);
    LocalFree(argv);
    return rc;
}
