// What only a unit test reaches: the 32-bit payload names. Extraction, the
// work folder and its reboot-time deletions are checked by the scenarios
// (expect.extracted, temp_full, temp_readonly).
#include <gtest/gtest.h>

#include "app/app.h"

// A 64-bit prefix only ever reports AMD64, so the 32-bit branch is proven here;
// the resource ids are the expected table's (FILE 303 and 300, 304 and 301).
TEST(ToolPayloads, FollowTheNativeArchitecture)
{
    for (WORD wArch : {PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_IA64,
                       PROCESSOR_ARCHITECTURE_UNKNOWN}) {
        const bool x64 = wArch == PROCESSOR_ARCHITECTURE_AMD64;
        const ToolPayloads t = SelectToolPayloads(wArch);
        EXPECT_EQ(t.nInfoId, x64 ? 304 : 303) << wArch;
        EXPECT_STREQ(t.pszInfoName, x64 ? L"KvInfo64.exe" : L"KvInfo32.exe") << wArch;
        EXPECT_EQ(t.nReflashId, x64 ? 301 : 300) << wArch;
        EXPECT_STREQ(t.pszReflashName, x64 ? L"KvReflash_x64.exe" : L"KvReflash_x86.exe") << wArch;
    }
}
