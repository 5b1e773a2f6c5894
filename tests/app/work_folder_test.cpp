// The work folder, the extracted payloads, the reboot-time deletion entries
// and the clean-up at the end of a run.
#include <gtest/gtest.h>

#include <cwctype>

#include "app/app.h"
#include "tests/app/test_support.h"

using apptest::EndsWithPath;
using apptest::Exists;
using apptest::PendingFileRenames;

namespace {

bool AllPathsEmpty()
{
    return g_szWorkFolder[0] == 0 && g_szImagePath[0] == 0 && g_szInfoToolPath[0] == 0 &&
           g_szReflashToolPath[0] == 0 && g_szLogPath[0] == 0;
}

// The deletion entries added since `before` that name something in
// `folder` (or the folder itself), as paths relative to the folder's parent.
std::vector<std::wstring> NewDeletionsUnder(const std::vector<std::wstring>& before,
                                            const std::wstring& folder)
{
    const std::vector<std::wstring> after = PendingFileRenames();
    std::vector<std::wstring> found;
    const std::wstring name = folder.substr(folder.find_last_of(L'\\') + 1);
    for (size_t i = before.size(); i + 1 < after.size(); i += 2) {
        const std::wstring& source = after[i];
        const size_t at = source.find(name);
        if (at != std::wstring::npos && after[i + 1].empty()) {
            found.push_back(source.substr(at));
        }
    }
    return found;
}

class WorkFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_hInstance = GetModuleHandleW(NULL);
        ASSERT_TRUE(AllPathsEmpty());
    }
    void TearDown() override { DeleteSessionFiles(); }
};

}  // namespace

TEST_F(WorkFolderTest, ExtractsForTheNativeArchitectureAndLeavesNothingBehind)
{
    const std::vector<std::wstring> before = PendingFileRenames();

    ASSERT_TRUE(CreateWorkFolder());
    const std::wstring folder = g_szWorkFolder;
    WCHAR szTemp[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring temp = szTemp;
    ASSERT_EQ(0, lstrcmpiW(folder.substr(0, temp.size()).c_str(), temp.c_str())) << folder;
    const std::wstring name = folder.substr(temp.size());
    ASSERT_EQ(11u, name.size()) << name;  // FWU, four hex digits, .tmp
    EXPECT_EQ(0, lstrcmpiW(name.substr(0, 3).c_str(), L"FWU")) << name;
    EXPECT_EQ(0, lstrcmpiW(name.substr(7).c_str(), L".tmp")) << name;
    for (int i = 3; i < 7; ++i) {
        EXPECT_TRUE(std::iswxdigit(name[i])) << name;
    }
    EXPECT_TRUE(apptest::IsDirectory(folder));

    SessionPayloads payloads;
    ASSERT_TRUE(ExtractPayloads(&payloads));

    SYSTEM_INFO si = {};
    GetNativeSystemInfo(&si);
    const bool b64 = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    struct Expected {
        const WCHAR* path;
        const wchar_t* name;
        WORD id;
    } files[] = {
        {g_szImagePath, L"FW2149928-kt2379-004_touchthr_40.img", IDR_FIRMWARE_IMAGE},
        {g_szInfoToolPath, b64 ? L"KvInfo64.exe" : L"KvInfo32.exe", WORD(b64 ? IDR_INFO_X64 : IDR_INFO_X86)},
        {g_szReflashToolPath, b64 ? L"KvReflash_x64.exe" : L"KvReflash_x86.exe",
         WORD(b64 ? IDR_REFLASH_X64 : IDR_REFLASH_X86)},
    };
    for (const Expected& f : files) {
        EXPECT_EQ(folder + L"\\" + f.name, std::wstring(f.path));
        EXPECT_EQ(apptest::ExpectedPayload(f.id), apptest::ReadFileBytes(f.path)) << f.name;
    }
    EXPECT_EQ(folder + L"\\Log.txt", std::wstring(g_szLogPath));
    EXPECT_FALSE(Exists(g_szLogPath)) << "the program never writes the log itself";

    // Registered for deletion at reboot: image, tools, log, then the folder.
    const std::wstring base = name;
    const std::vector<std::wstring> expected = {
        base + L"\\" + files[0].name, base + L"\\" + files[1].name, base + L"\\" + files[2].name,
        base + L"\\Log.txt", base};
    const std::vector<std::wstring> registered = NewDeletionsUnder(before, folder);
    ASSERT_EQ(expected.size(), registered.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(EndsWithPath(registered[i], expected[i])) << i << ": " << registered[i].c_str();
    }

    // What the tools may leave behind goes with the folder.
    ASSERT_TRUE(apptest::WriteFileBytes(g_szLogPath, "log"));
    ASSERT_TRUE(apptest::WriteFileBytes(folder + L"\\other.dat", "x"));

    ReleasePayloads(&payloads);
    EXPECT_EQ(nullptr, payloads.pImage);
    EXPECT_EQ(nullptr, payloads.pInfoTool);
    EXPECT_EQ(nullptr, payloads.pReflashTool);

    DeleteSessionFiles();
    EXPECT_TRUE(AllPathsEmpty());
    EXPECT_FALSE(Exists(folder));
}

TEST_F(WorkFolderTest, FailedToolWriteStillDeletesEverything)
{
    // A module that carries the image but no tools: the child helper.
    const std::wstring helper = apptest::ModuleDir() + L"\\app_child_helper.exe";
    HMODULE hImageOnly = LoadLibraryExW(helper.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hImageOnly);
    g_hInstance = hImageOnly;

    ASSERT_TRUE(CreateWorkFolder());
    const std::wstring folder = g_szWorkFolder;
    SessionPayloads payloads;
    EXPECT_FALSE(ExtractPayloads(&payloads));
    EXPECT_TRUE(Exists(g_szImagePath));
    EXPECT_NE(0, g_szInfoToolPath[0]) << "set before the write, so it is deleted at the end";
    EXPECT_EQ(0, g_szReflashToolPath[0]);
    EXPECT_EQ(0, g_szLogPath[0]);
    EXPECT_NE(nullptr, payloads.pImage);
    EXPECT_NE(nullptr, payloads.pInfoTool);
    EXPECT_EQ(nullptr, payloads.pReflashTool);

    ReleasePayloads(&payloads);
    DeleteSessionFiles();
    EXPECT_TRUE(AllPathsEmpty());
    EXPECT_FALSE(Exists(folder));
    FreeLibrary(hImageOnly);
}

TEST_F(WorkFolderTest, EachRunGetsAFreshFolder)
{
    ASSERT_TRUE(CreateWorkFolder());
    const std::wstring first = g_szWorkFolder;
    DeleteSessionFiles();
    EXPECT_FALSE(Exists(first));

    ASSERT_TRUE(CreateWorkFolder());
    EXPECT_NE(first, std::wstring(g_szWorkFolder));
    EXPECT_TRUE(apptest::IsDirectory(g_szWorkFolder));
}
