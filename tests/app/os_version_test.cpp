// The Windows version request: 6.1 (Windows 7), service pack 0, each
// compared "greater or equal". The check itself cannot be made to fail under
// Wine, so the request is compared field by field.
#include <gtest/gtest.h>

#include <cstring>

#include "app/app.h"

TEST(OsVersionRequest, AsksForWindows7OrLaterAndNothingElse)
{
    OsVersionRequest request;
    std::memset(&request, 0xCC, sizeof(request));
    BuildOsVersionRequest(&request);

    OSVERSIONINFOEXW expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.dwOSVersionInfoSize = 284;
    expected.dwMajorVersion = 6;
    expected.dwMinorVersion = 1;
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), 284u);
    EXPECT_EQ(0, std::memcmp(&request.info, &expected, sizeof(expected)))
        << "only the size, 6 and 1 may be set; every other field is zero";

    EXPECT_EQ(0x23u, request.dwTypeMask);

    DWORDLONG dwlMask = 0;
    dwlMask = VerSetConditionMask(dwlMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_MINORVERSION, VER_GREATER_EQUAL);
    dwlMask = VerSetConditionMask(dwlMask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    EXPECT_EQ(dwlMask, request.dwlConditionMask);
    // VER_GREATER_EQUAL (3) in the 3-bit slots of bits 0 (minor), 1 (major)
    // and 5 (service-pack major).
    EXPECT_EQ(0x1801Bull, request.dwlConditionMask);
}

TEST(OsVersionRequest, WineCountsAsWindows7OrLater)
{
    EXPECT_TRUE(IsSupportedOs());
}
