// Timed harness for the Windows builds (run under Wine): the same operations as
// the native benchmark - pow2mod and powmod as the handshake calls them, a
// Blowfish key schedule, SHA-1 over 1 MiB - timed with QueryPerformanceCounter
// (wall) and GetProcessTimes (CPU). OpenSSL is not part of these builds, so
// only our figures are printed; the native benchmark has the comparison.
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"

namespace {

const uint32_t kExponent[4] = {0x6C8E9CF5u, 0xB1F3A5E2u, 0x9D0F4C37u, 0};
const uint8_t kKey[16] = {0x3A, 0x91, 0x0C, 0xE7, 0x55, 0x82, 0xF0, 0x1D,
                          0x6B, 0xA4, 0x27, 0xC9, 0x88, 0x13, 0xFE, 0x40};
const size_t kHashBytes = 1 << 20;

uint32_t g_peer[33];
std::vector<uint8_t> g_data;
BlowfishContext g_blowfish;
volatile uint32_t g_sink;

void peerValue(uint32_t out[33])
{
    uint32_t s = 0x2409u;
    for (int i = 0; i < 32; ++i) {
        s = s * 1664525u + 1013904223u;
        out[i] = s;
    }
    out[31] &= 0x7FFFFFFFu;
    out[32] = 0;
}

void runPow2mod()
{
    uint32_t out[33] = {0};
    pow2mod(out, 33, kExponent, 4, kOakleyGroup2Prime, 33);
    g_sink = out[0];
}

void runPowmod()
{
    uint32_t out[33] = {0};
    powmod(out, 33, g_peer, 33, kExponent, 4, kOakleyGroup2Prime, 33);
    g_sink = out[0];
}

void runHandshake()
{
    runPow2mod();
    runPowmod();
}

void runBlowfish()
{
    BlowfishInitialize(&g_blowfish, kKey, 16);
    g_sink = g_blowfish.P[0];
}

void runSha1()
{
    Sha1Context context;
    uint8_t digest[20];
    Sha1Init(&context);
    Sha1Update(&context, g_data.data(), uint32_t(g_data.size()));
    Sha1Final(&context);
    Sha1GetDigest(&context, digest);
    g_sink = digest[0];
}

double processCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const uint64_t k = (uint64_t(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    const uint64_t u = (uint64_t(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return double(k + u) * 1e-7;
}

void formatTime(char* text, size_t size, double seconds)
{
    if (seconds >= 1e-3) snprintf(text, size, "%.3f ms", seconds * 1e3);
    else snprintf(text, size, "%.3f us", seconds * 1e6);
}

// Repeats op for at least minSeconds of wall time (and three runs), then
// prints the mean wall and CPU time per run.
void measure(const char* label, void (*op)(), double minSeconds, double bytes = 0)
{
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    op();  // warm-up
    const double cpuStart = processCpuSeconds();
    QueryPerformanceCounter(&start);
    int runs = 0;
    double wall = 0;
    do {
        op();
        ++runs;
        QueryPerformanceCounter(&now);
        wall = double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    } while (wall < minSeconds || runs < 3);
    const double cpu = (processCpuSeconds() - cpuStart) / runs;
    char wallText[32], cpuText[32];
    formatTime(wallText, sizeof(wallText), wall / runs);
    formatTime(cpuText, sizeof(cpuText), cpu);
    printf("%-44s %12s %12s %8d", label, wallText, cpuText, runs);
    if (bytes > 0 && cpu > 0) printf("   %.1f MiB/s (CPU)", bytes / cpu / (1 << 20));
    printf("\n");
}

}  // namespace

int main()
{
    peerValue(g_peer);
    g_data.resize(kHashBytes);
    for (size_t i = 0; i < g_data.size(); ++i) g_data[i] = uint8_t(i * 131 + (i >> 9));

    printf("Crypto timings, %d-bit build (OpenSSL is not in this build: ours only;\n"
           "the native crypto_bench prints OpenSSL's figures and the ratios)\n\n",
           int(sizeof(void*) * 8));
    printf("%-44s %12s %12s %8s\n", "operation", "wall", "CPU", "runs");
    measure("pow2mod: 2^x mod p (x 96-bit, p 1024-bit)", runPow2mod, 1.0);
    measure("powmod: B^x mod p (x 96-bit, p 1024-bit)", runPowmod, 1.0);
    measure("handshake: pow2mod + powmod", runHandshake, 1.0);
    measure("Blowfish key schedule (16-byte key)", runBlowfish, 0.5);
    measure("SHA-1 of 1 MiB", runSha1, 1.0, double(kHashBytes));
    return 0;
}
