// The crypto primitives of the session handshake beside OpenSSL's, in one run:
// 2^x and B^x modulo the 1024-bit prime with a 96-bit x (as the handshake
// calls them), a Blowfish key schedule with a 16-byte key, and SHA-1 over
// 1 MiB. Ends with a table of CPU times and the ratio ours / OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED  // BF_set_key and SHA1 are the direct equivalents
#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <openssl/sha.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"

namespace {

// Fixed inputs: the private exponent as the handshake draws it (three random
// words and a zero limb) and a peer value below the prime.
const uint32_t kExponent[4] = {0x6C8E9CF5u, 0xB1F3A5E2u, 0x9D0F4C37u, 0};

void peerValue(uint32_t out[33])
{
    uint32_t s = 0x2409u;
    for (int i = 0; i < 32; ++i) {
        s = s * 1664525u + 1013904223u;
        out[i] = s;
    }
    out[31] &= 0x7FFFFFFFu;  // below the prime, whose top word is all ones
    out[32] = 0;
}

const uint8_t kKey[16] = {0x3A, 0x91, 0x0C, 0xE7, 0x55, 0x82, 0xF0, 0x1D,
                          0x6B, 0xA4, 0x27, 0xC9, 0x88, 0x13, 0xFE, 0x40};

const size_t kHashBytes = 1 << 20;

std::vector<uint8_t>& hashInput()
{
    static std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(kHashBytes);
        for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i * 131 + (i >> 9));
        return d;
    }();
    return data;
}

BIGNUM* bnFromLimbs(const uint32_t* limbs, int count)
{
    uint8_t bytes[4 * 33];
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 4; ++k) bytes[4 * i + k] = uint8_t(limbs[i] >> (8 * k));
    return BN_lebin2bn(bytes, 4 * count, nullptr);
}

// --- ours ------------------------------------------------------------------

void Pow2mod_Ours(benchmark::State& state)
{
    uint32_t out[33];
    for (auto _ : state) {
        memset(out, 0, sizeof(out));
        if (!pow2mod(out, 33, kExponent, 4, kOakleyGroup2Prime, 33)) state.SkipWithError("pow2mod failed");
        benchmark::DoNotOptimize(out);
    }
}

void Powmod_Ours(benchmark::State& state)
{
    uint32_t b[33], out[33];
    peerValue(b);
    for (auto _ : state) {
        memset(out, 0, sizeof(out));
        if (!powmod(out, 33, b, 33, kExponent, 4, kOakleyGroup2Prime, 33)) state.SkipWithError("powmod failed");
        benchmark::DoNotOptimize(out);
    }
}

void Handshake_Ours(benchmark::State& state)
{
    uint32_t b[33], a[33], z[33];
    peerValue(b);
    for (auto _ : state) {
        memset(a, 0, sizeof(a));
        memset(z, 0, sizeof(z));
        pow2mod(a, 33, kExponent, 4, kOakleyGroup2Prime, 33);
        powmod(z, 33, b, 33, kExponent, 4, kOakleyGroup2Prime, 33);
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(z);
    }
}

void BlowfishKeySchedule_Ours(benchmark::State& state)
{
    static BlowfishContext context;
    for (auto _ : state) {
        BlowfishInitialize(&context, kKey, 16);
        benchmark::DoNotOptimize(context.P[0]);
    }
}

void Sha1_1MiB_Ours(benchmark::State& state)
{
    const std::vector<uint8_t>& data = hashInput();
    Sha1Context context;
    uint8_t digest[20];
    for (auto _ : state) {
        Sha1Init(&context);
        Sha1Update(&context, data.data(), uint32_t(data.size()));
        Sha1Final(&context);
        Sha1GetDigest(&context, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// --- OpenSSL ---------------------------------------------------------------

void modExpOpenSsl(benchmark::State& state, bool baseTwo)
{
    uint32_t b[33];
    peerValue(b);
    BIGNUM* base = baseTwo ? BN_new() : bnFromLimbs(b, 33);
    if (baseTwo) BN_set_word(base, 2);
    BIGNUM* exp = bnFromLimbs(kExponent, 4);
    BIGNUM* mod = bnFromLimbs(kOakleyGroup2Prime, 33);
    BIGNUM* out = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    for (auto _ : state) {
        if (!BN_mod_exp(out, base, exp, mod, ctx)) state.SkipWithError("BN_mod_exp failed");
        benchmark::DoNotOptimize(out);
    }
    BN_CTX_free(ctx);
    BN_free(out);
    BN_free(mod);
    BN_free(exp);
    BN_free(base);
}

void Pow2mod_OpenSSL(benchmark::State& state) { modExpOpenSsl(state, true); }
void Powmod_OpenSSL(benchmark::State& state) { modExpOpenSsl(state, false); }

void BlowfishKeySchedule_OpenSSL(benchmark::State& state)
{
    static BF_KEY key;
    for (auto _ : state) {
        BF_set_key(&key, 16, kKey);
        benchmark::DoNotOptimize(key.P[0]);
    }
}

void Sha1_1MiB_OpenSSL(benchmark::State& state)
{
    const std::vector<uint8_t>& data = hashInput();
    uint8_t digest[20];
    for (auto _ : state) {
        SHA1(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

BENCHMARK(Pow2mod_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(Pow2mod_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(Powmod_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(Powmod_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(Handshake_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BlowfishKeySchedule_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BlowfishKeySchedule_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(Sha1_1MiB_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(Sha1_1MiB_OpenSSL)->Unit(benchmark::kMillisecond);

// Console output as usual, and the CPU time per iteration of every run kept
// for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpuSeconds;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            cpuSeconds[run.benchmark_name()] = run.cpu_accumulated_time / double(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string formatTime(double seconds)
{
    char text[32];
    if (seconds >= 1e-3) snprintf(text, sizeof(text), "%.3f ms", seconds * 1e3);
    else snprintf(text, sizeof(text), "%.3f us", seconds * 1e6);
    return text;
}

void printTable(const TableReporter& reporter)
{
    struct Row {
        const char* label;
        const char* name;
    };
    const Row rows[] = {
        {"pow2mod: 2^x mod p (x 96-bit, p 1024-bit)", "Pow2mod"},
        {"powmod: B^x mod p (x 96-bit, p 1024-bit)", "Powmod"},
        {"Blowfish key schedule (16-byte key)", "BlowfishKeySchedule"},
        {"SHA-1 of 1 MiB", "Sha1_1MiB"},
    };
    printf("\nCPU time per operation (ratio = ours / OpenSSL)\n");
    printf("%-44s %14s %14s %9s\n", "operation", "ours", "OpenSSL", "ratio");
    for (const Row& row : rows) {
        const auto ours = reporter.cpuSeconds.find(std::string(row.name) + "_Ours");
        const auto theirs = reporter.cpuSeconds.find(std::string(row.name) + "_OpenSSL");
        if (ours == reporter.cpuSeconds.end() || theirs == reporter.cpuSeconds.end()) continue;
        printf("%-44s %14s %14s %9.2f\n", row.label, formatTime(ours->second).c_str(),
               formatTime(theirs->second).c_str(), ours->second / theirs->second);
    }
    const auto handshake = reporter.cpuSeconds.find("Handshake_Ours");
    if (handshake != reporter.cpuSeconds.end())
        printf("%-44s %14s %14s %9s\n", "handshake: pow2mod + powmod (target 40 ms)",
               formatTime(handshake->second).c_str(), "-", handshake->second <= 0.040 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter);
    benchmark::Shutdown();
    return 0;
}
