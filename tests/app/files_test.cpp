// What only a unit test reaches: the 32-bit payload names. Extraction, the
// work folder and its reboot-time deletions are checked by the scenarios
// (expect.extracted, temp_full, temp_readonly).
#include <gtest/gtest.h>

#include "app/app.h"

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
