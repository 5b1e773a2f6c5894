// What only a unit test reaches: the short-write check, the 32-bit payload
// names, and the state set before the window.
// Extraction, the work folder and its reboot-time deletions are checked by the
// scenarios (expect.extracted, temp_full, temp_readonly).
#include <gtest/gtest.h>

#include "app/app.h"
#include "app/payload_write.h"

namespace {

BOOL g_fakeResult;
DWORD g_fakeShortBy, g_fakeCalls;

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD nBytes, LPDWORD pWritten, LPOVERLAPPED)
{
    ++g_fakeCalls;
    *pWritten = nBytes - g_fakeShortBy;
    return g_fakeResult;
}

}  // namespace

TEST(PayloadWrite, OnlyAWholeWriteCountsAsSuccess)
{
    const struct { const char* name; BOOL result; DWORD shortBy; bool expected; } cases[] = {
                 {"whole resource written", TRUE, 0, true},
                 {"one byte short", TRUE, 1, false},
                 {"nothing written but success reported", TRUE, 4096, false},
                 {"write failed", FALSE, 0, false}};
    static const BYTE data[4096] = {0};
    for (const auto& c : cases) {
        g_fakeResult = c.result;
        g_fakeShortBy = c.shortBy;
        g_fakeCalls = 0;
        EXPECT_EQ(c.expected, WritePayloadBytes(INVALID_HANDLE_VALUE, data, sizeof(data), FakeWriteFile)) << c.name;
        EXPECT_EQ(1u, g_fakeCalls) << c.name << ": one write of the whole size";
    }
}

// A 64-bit prefix only ever reports AMD64, so the 32-bit branch is proven here.
TEST(ToolPayloads, FollowTheNativeArchitecture)
{
    const struct {
        WORD wArch;
        int nInfoId;
        const WCHAR* pszInfo;
        int nReflashId;
        const WCHAR* pszReflash;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_AMD64, IDR_INFO_X64, L"KvInfo64.exe", IDR_REFLASH_X64, L"KvReflash_x64.exe"},
        {PROCESSOR_ARCHITECTURE_INTEL, IDR_INFO_X86, L"KvInfo32.exe", IDR_REFLASH_X86, L"KvReflash_x86.exe"},
        {PROCESSOR_ARCHITECTURE_IA64, IDR_INFO_X86, L"KvInfo32.exe", IDR_REFLASH_X86, L"KvReflash_x86.exe"},
        {PROCESSOR_ARCHITECTURE_UNKNOWN, IDR_INFO_X86, L"KvInfo32.exe", IDR_REFLASH_X86, L"KvReflash_x86.exe"},
    };
    for (const auto& c : cases) {
        const ToolPayloads t = SelectToolPayloads(c.wArch);
        EXPECT_EQ(c.nInfoId, t.nInfoId) << c.wArch;
        EXPECT_STREQ(c.pszInfo, t.pszInfoName) << c.wArch;
        EXPECT_EQ(c.nReflashId, t.nReflashId) << c.wArch;
        EXPECT_STREQ(c.pszReflash, t.pszReflashName) << c.wArch;
    }
}

TEST(BeforeTheWindow, KeepsTheSystemAwakeAndAsksThisProcessFirstAtShutdown)
{
    KeepAwakeAndAskFirstAtShutdown();
    DWORD dwLevel = 0, dwFlags = 0xFFFFFFFF;
    ASSERT_TRUE(GetProcessShutdownParameters(&dwLevel, &dwFlags));
    EXPECT_EQ(0x3FFu, dwLevel);
    EXPECT_EQ(0u, dwFlags);
    // The state in force is the one set: continuous, system and display required.
    EXPECT_EQ(0x80000003u, SetThreadExecutionState(ES_CONTINUOUS));
}
