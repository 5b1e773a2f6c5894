// Timed harness (not a test): one full session handshake and one capsule
// round trip through the installed substitute driver. Prints the client's
// CPU time (its own thread) and the wall time across the kernel boundary.
//
//   make bench-driver    (installs the substitute into build/wine/bench-driver and runs
//                         build/win64/bench/driver_channel_timing.exe under Wine)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "driver_channel/misc_common.h"
#include "sim/driver/sim_control.h"

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return double(k.QuadPart + u.QuadPart) / 1e7;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 10;
    SimScenario scenario;
    SimScenarioInitDefaults(&scenario);
    if (!SimControl::RegisterInterface(0, L"1.0.8.0") || !SimControl::SetScenario(scenario)) {
        fprintf(stderr, "the substitute driver is not installed in this prefix (error %lu)\n", GetLastError());
        return 1;
    }
    WCHAR text[MiscCommon::kErrorTextChars] = L"";
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    double handshakeWall = 0, handshakeCpu = 0, capsuleWall = 0, capsuleCpu = 0;
    int capsules = 0;
    for (int i = 0; i < rounds; ++i) {
        MiscCommon::CMiscCommon c(text);
        if (c.OpenDriver() != 0) {
            fprintf(stderr, "OpenDriver failed\n");
            return 1;
        }
        double cpu = ThreadCpuSeconds();
        QueryPerformanceCounter(&a);
        DWORD result = c._Initialize();
        QueryPerformanceCounter(&b);
        handshakeCpu += ThreadCpuSeconds() - cpu;
        handshakeWall += Seconds(a, b, f);
        if (result != 0) {
            fprintf(stderr, "_Initialize: %lu\n", result);
            return 1;
        }
        for (int j = 0; j < 10; ++j) {
            BYTE status;
            WORD v[4], extra = 0;
            cpu = ThreadCpuSeconds();
            QueryPerformanceCounter(&a);
            result = c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra);
            QueryPerformanceCounter(&b);
            capsuleCpu += ThreadCpuSeconds() - cpu;
            capsuleWall += Seconds(a, b, f);
            ++capsules;
            if (result != 0) return 1;
        }
        c.CloseDriver();
        SimControl::Reset();
    }
    printf("handshake (probe + 3 phases): %.2f ms wall, %.2f ms client CPU (mean of %d)\n",
           1e3 * handshakeWall / rounds, 1e3 * handshakeCpu / rounds, rounds);
    printf("capsule round trip (flat-pad query): %.3f ms wall, %.3f ms client CPU (mean of %d)\n",
           1e3 * capsuleWall / capsules, 1e3 * capsuleCpu / capsules, capsules);
    printf("(client CPU is the calling thread's time; Wine's clock for it is coarse, ~1-16 ms)\n");
    return 0;
}
