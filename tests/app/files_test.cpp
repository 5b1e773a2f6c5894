// Payload files over this program's own FILE resources (300 to 304, under
// language 1041 like the product's), the short-write check, the work folder
// with its reboot-time deletions, and the Windows version request.
#include <gtest/gtest.h>

#include <cstring>

#include "app/app.h"
#include "app/payload_write.h"
#include "tests/app/support.h"

using namespace apptest;

namespace {

BOOL g_fakeResult;
DWORD g_fakeShortBy, g_fakeCalls;

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD nBytes, LPDWORD pWritten, LPOVERLAPPED)
{
    ++g_fakeCalls;
    *pWritten = nBytes - g_fakeShortBy;
    return g_fakeResult;
}

// The sources registered for deletion at reboot (an empty target), in order.
std::vector<std::wstring> PendingDeletions()
{
    std::vector<WCHAR> data(1 << 16, 0);
    DWORD cb = DWORD(data.size() * sizeof(WCHAR) - 4);
    std::vector<std::wstring> deletions;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, NULL, data.data(), &cb);
    for (const WCHAR* p = data.data(); *p;) {  // source, target pairs
        const WCHAR* source = p;
        p += wcslen(p) + 1;
        if (!*p) deletions.push_back(source);
        p += wcslen(p) + 1;
    }
    return deletions;
}

bool AllPathsEmpty()
{
    return !g_szWorkFolder[0] && !g_szImagePath[0] && !g_szInfoToolPath[0] && !g_szReflashToolPath[0] &&
           !g_szLogPath[0];
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

TEST(PayloadFile, LoadsWritesAndFails)
{
    const apptest::WorkFolder folder;
    ASSERT_NE(0, g_szWorkFolder[0]);
    const std::wstring path = folder.path() + L"\\image.img";
    for (WORD id = IDR_REFLASH_X86; id <= IDR_INFO_X64; ++id) {
        ASSERT_TRUE(WriteFileBytes(path, std::string(100000, 'x')));
        PayloadFile payload(GetModuleHandleW(NULL), id);
        DWORD dwSize = 0;
        const BYTE* pData = payload.GetData(&dwSize);
        ASSERT_NE(nullptr, pData) << id;
        EXPECT_EQ(ExpectedPayload(id), std::string(reinterpret_cast<const char*>(pData), dwSize)) << id;
        EXPECT_EQ(pData, payload.GetData(NULL)) << id << ": cached, the size optional";
        ASSERT_TRUE(payload.WriteToFile(path.c_str())) << id;
        EXPECT_EQ(ExpectedPayload(id), ReadFileBytes(path)) << id << ": the longer old file replaced";
        payload.Unload();
        EXPECT_EQ(nullptr, payload.GetData(NULL)) << id << ": not loaded again after Unload";
    }
    const struct { HMODULE hModule; WORD id; const wchar_t* file; } failures[] = {
                    {GetModuleHandleW(NULL), 399, L"\\missing.bin"},  // no such id
                    {NULL, IDR_FIRMWARE_IMAGE, L"\\missing.bin"},
                    {GetModuleHandleW(NULL), IDR_FIRMWARE_IMAGE, L"\\no-such-folder\\image.img"}};
    for (const auto& c : failures) {
        PayloadFile payload(c.hModule, c.id);
        EXPECT_EQ(c.id == 399 || !c.hModule, payload.GetData(NULL) == nullptr) << c.id;
        EXPECT_FALSE(payload.WriteToFile((folder.path() + c.file).c_str())) << c.id;
        EXPECT_FALSE(Exists(folder.path() + c.file)) << c.id;
        payload.Unload();
    }
}

class WorkFolderTest : public ::testing::Test {
protected:
    void SetUp() override { g_hInstance = GetModuleHandleW(NULL); }
    void TearDown() override { DeleteSessionFiles(); }
};

TEST_F(WorkFolderTest, ExtractsForTheNativeArchitectureAndLeavesNothingBehind)
{
    const size_t nBefore = PendingDeletions().size();
    ASSERT_TRUE(CreateWorkFolder());
    const std::wstring folder = g_szWorkFolder;
    WCHAR szTemp[MAX_PATH] = {0};
    const size_t nTemp = GetTempPathW(MAX_PATH, szTemp);
    ASSERT_EQ(0, _wcsnicmp(folder.c_str(), szTemp, nTemp)) << folder;
    // FWU, the unique number in one to four hex digits (GetTempFileNameW does not pad it), .tmp
    const std::wstring name = folder.substr(nTemp);
    const size_t nDigits = name.size() - 7;
    EXPECT_TRUE(name.size() >= 8 && name.size() <= 11 && !_wcsnicmp(name.c_str(), L"FWU", 3) &&
                !_wcsicmp(name.c_str() + 3 + nDigits, L".tmp") &&
                wcsspn(name.c_str() + 3, L"0123456789ABCDEFabcdef") == nDigits)
        << name;
    EXPECT_TRUE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    SessionPayloads payloads;
    ASSERT_TRUE(ExtractPayloads(&payloads));
    // Under Wine's 64-bit prefix this takes the 64-bit branch; the 32-bit
    // names are only reachable on a 32-bit system.
    SYSTEM_INFO si = {};
    GetNativeSystemInfo(&si);
    const bool b64 = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    const struct { const WCHAR* path; std::wstring name; WORD id; } files[] = {
        {g_szImagePath, L"FW2149928-kt2379-004_touchthr_40.img", IDR_FIRMWARE_IMAGE},
        {g_szInfoToolPath, b64 ? L"KvInfo64.exe" : L"KvInfo32.exe", WORD(b64 ? IDR_INFO_X64 : IDR_INFO_X86)},
        {g_szReflashToolPath, b64 ? L"KvReflash_x64.exe" : L"KvReflash_x86.exe",
         WORD(b64 ? IDR_REFLASH_X64 : IDR_REFLASH_X86)},
    };
    for (const auto& f : files) {
        EXPECT_EQ(folder + L"\\" + f.name, f.path);
        EXPECT_EQ(ExpectedPayload(f.id), ReadFileBytes(f.path)) << f.id;
    }
    EXPECT_EQ(folder + L"\\Log.txt", g_szLogPath);
    EXPECT_FALSE(Exists(g_szLogPath)) << "the program never writes the log itself";

    // Registered for deletion at reboot, in order: image, tools, log, then the folder.
    std::wstring expected, registered;
    for (const std::wstring& file : {files[0].name, files[1].name, files[2].name, std::wstring(L"Log.txt")}) {
        expected += name + L"\\" + file + L"|";
    }
    const std::vector<std::wstring> all = PendingDeletions();
    for (size_t i = nBefore; i < all.size(); ++i) {  // other programs in the prefix may register too
        if (all[i].find(name) != std::wstring::npos) registered += all[i].substr(all[i].find(name)) + L"|";
    }
    EXPECT_EQ(0, _wcsicmp((expected + name + L"|").c_str(), registered.c_str())) << registered;

    // What the tools may leave behind goes with the folder.
    ASSERT_TRUE(WriteFileBytes(g_szLogPath, "log") && WriteFileBytes(folder + L"\\other.dat", "x"));
    ReleasePayloads(&payloads);
    EXPECT_TRUE(!payloads.pImage && !payloads.pInfoTool && !payloads.pReflashTool);
    DeleteSessionFiles();
    EXPECT_TRUE(AllPathsEmpty());
    EXPECT_FALSE(Exists(folder));

    ASSERT_TRUE(CreateWorkFolder());
    EXPECT_NE(folder, g_szWorkFolder) << "each run gets a fresh folder";
}

TEST_F(WorkFolderTest, FailedToolWriteStillDeletesEverything)
{
    // The child helper carries the image but no tools.
    HMODULE hImageOnly =
        LoadLibraryExW((ModuleDir() + L"\\app_child_helper.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hImageOnly);
    g_hInstance = hImageOnly;
    ASSERT_TRUE(CreateWorkFolder());
    const std::wstring folder = g_szWorkFolder;
    SessionPayloads payloads;
    EXPECT_FALSE(ExtractPayloads(&payloads));
    EXPECT_TRUE(Exists(g_szImagePath));
    EXPECT_NE(0, g_szInfoToolPath[0]) << "set before the write, so it is deleted at the end";
    EXPECT_EQ(0, g_szReflashToolPath[0] | g_szLogPath[0]);
    EXPECT_TRUE(payloads.pImage && payloads.pInfoTool && !payloads.pReflashTool);
    ReleasePayloads(&payloads);
    DeleteSessionFiles();
    EXPECT_TRUE(AllPathsEmpty());
    EXPECT_FALSE(Exists(folder));
    FreeLibrary(hImageOnly);
}

// VerifyVersionInfoW cannot be made to fail under Wine, so the request is
// compared field by field: 6.1, service pack 0, each "greater or equal".
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

TEST(OsVersionRequest, AsksForWindows7OrLaterAndNothingElse)
{
    OsVersionRequest request;
    std::memset(&request, 0xCC, sizeof(request));
    BuildOsVersionRequest(&request);
    OSVERSIONINFOEXW expected = {284, 6, 1, 0, 0, {0}, 0, 0, 0, 0, 0};  // size, major, minor; the rest zero
    EXPECT_EQ(0, std::memcmp(&request.info, &expected, sizeof(expected)));
    EXPECT_EQ(0x23u, request.dwTypeMask);
    // VER_GREATER_EQUAL (3) in the 3-bit slots of minor, major and service-pack major.
    EXPECT_EQ(0x1801Bull, request.dwlConditionMask);
    EXPECT_TRUE(IsSupportedOs());
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
