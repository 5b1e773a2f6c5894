// PayloadFile over this test program's own FILE resources (300 to 304,
// filed under language 1041 like the product's), and the short-write check.
#include <gtest/gtest.h>

#include "app/app.h"
#include "app/payload_write.h"
#include "tests/app/test_support.h"

using apptest::ExpectedPayload;
using apptest::ReadFileBytes;

namespace {

// A stand-in for WriteFile that reports what the current case asks for.
BOOL g_fakeResult = TRUE;
DWORD g_fakeShortBy = 0;
DWORD g_fakeCalls = 0;

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD nBytes, LPDWORD pWritten, LPOVERLAPPED)
{
    ++g_fakeCalls;
    *pWritten = nBytes - g_fakeShortBy;
    return g_fakeResult;
}

struct WriteCase {
    const char* name;
    BOOL result;
    DWORD shortBy;
    bool expected;
};

}  // namespace

TEST(PayloadWrite, OnlyAWholeWriteCountsAsSuccess)
{
    const WriteCase cases[] = {
        {"whole resource written", TRUE, 0, true},
        {"one byte short", TRUE, 1, false},
        {"nothing written but success reported", TRUE, 4096, false},
        {"write failed", FALSE, 0, false},
    };
    static const BYTE data[4096] = {0};
    for (const WriteCase& c : cases) {
        g_fakeResult = c.result;
        g_fakeShortBy = c.shortBy;
        g_fakeCalls = 0;
        EXPECT_EQ(c.expected, WritePayloadBytes(INVALID_HANDLE_VALUE, data, sizeof(data), FakeWriteFile))
            << c.name;
        EXPECT_EQ(1u, g_fakeCalls) << c.name << ": one write of the whole size";
    }
}

class PayloadFileTest : public ::testing::Test {
protected:
    apptest::TempFolder folder{L"qm_payload_test"};
    HMODULE hSelf = GetModuleHandleW(NULL);
};

TEST_F(PayloadFileTest, LoadsEachPayloadWithoutNamingItsLanguage)
{
    for (WORD id = IDR_REFLASH_X86; id <= IDR_INFO_X64; ++id) {
        PayloadFile payload(hSelf, id);
        DWORD dwSize = 0;
        const BYTE* pData = payload.GetData(&dwSize);
        ASSERT_NE(nullptr, pData) << id;
        EXPECT_EQ(ExpectedPayload(id), std::string(reinterpret_cast<const char*>(pData), dwSize)) << id;
        // Cached: the same pointer again, and the size is optional.
        EXPECT_EQ(pData, payload.GetData(NULL)) << id;
        payload.Unload();
    }
}

TEST_F(PayloadFileTest, WritesTheWholeResourceReplacingAnExistingFile)
{
    const std::wstring path = folder.path() + L"\\image.img";
    ASSERT_TRUE(apptest::WriteFileBytes(path, std::string(100000, 'x')));

    PayloadFile payload(hSelf, IDR_FIRMWARE_IMAGE);
    ASSERT_TRUE(payload.WriteToFile(path.c_str()));
    EXPECT_EQ(ExpectedPayload(IDR_FIRMWARE_IMAGE), ReadFileBytes(path));
    payload.Unload();
}

TEST_F(PayloadFileTest, FailsWithoutTheResourceAndCreatesNoFile)
{
    struct Case {
        const char* name;
        HMODULE hModule;
        WORD id;
    } cases[] = {
        {"no such id", hSelf, 399},
        {"no module", NULL, IDR_FIRMWARE_IMAGE},
    };
    for (const Case& c : cases) {
        const std::wstring path = folder.path() + L"\\missing.bin";
        PayloadFile payload(c.hModule, c.id);
        EXPECT_EQ(nullptr, payload.GetData(NULL)) << c.name;
        EXPECT_FALSE(payload.WriteToFile(path.c_str())) << c.name;
        EXPECT_FALSE(apptest::Exists(path)) << c.name;
    }
}

TEST_F(PayloadFileTest, UnloadedPayloadCannotBeLoadedAgain)
{
    PayloadFile payload(hSelf, IDR_INFO_X86);
    ASSERT_NE(nullptr, payload.GetData(NULL));
    payload.Unload();
    EXPECT_EQ(nullptr, payload.GetData(NULL));
}

TEST_F(PayloadFileTest, WriteIntoAMissingFolderFails)
{
    PayloadFile payload(hSelf, IDR_FIRMWARE_IMAGE);
    const std::wstring path = folder.path() + L"\\no-such-folder\\image.img";
    EXPECT_FALSE(payload.WriteToFile(path.c_str()));
    payload.Unload();
}
