// The string table of the built program, read back with LoadStringW, holds
// exactly the texts of its UTF-8 source, under language 1033.
#include <gtest/gtest.h>

#include <sstream>

#include "app/resource_ids.h"
#include "tests/app/support.h"

TEST(StringTable, BuiltProgramHoldsTheSourceTextsExactly)
{
    // strings.txt: "id<TAB>name<TAB>text" lines and "#" comments; "\n" and "\\" escapes.
    std::vector<std::pair<UINT, std::wstring>> entries;
    std::istringstream in(apptest::ReadFileBytes(QM_STRINGS_SOURCE));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::string text;
        for (size_t i = line.find('\t', line.find('\t') + 1) + 1; i < line.size(); ++i) {
            text += line[i] == '\\' && i + 1 < line.size() ? (line[++i] == 'n' ? '\n' : line[i]) : line[i];
        }
        std::wstring wide(text.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), &wide[0],
                                        int(wide.size())));
        entries.emplace_back(UINT(std::stoul(line)), wide);
    }
    ASSERT_EQ(15u, entries.size());
    EXPECT_EQ(L"ACアダプターを接続してください。", entries[IDS_CONNECT_AC_ADAPTER - IDS_APP_TITLE].second);  // UTF-8 read

    HMODULE hProduct = LoadLibraryExW(QM_PRODUCT_PATH, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hProduct);
    UINT expectedId = IDS_APP_TITLE;
    for (const auto& e : entries) {
        EXPECT_EQ(expectedId++, e.first);
        WCHAR buffer[512] = {0};
        const int n = LoadStringW(hProduct, e.first, buffer, 512);
        EXPECT_EQ(e.second, std::wstring(buffer, n > 0 ? n : 0)) << e.first;
        EXPECT_NE(nullptr, FindResourceExW(hProduct, RT_STRING, MAKEINTRESOURCEW(e.first / 16 + 1),
                                           MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)))
            << e.first << ": filed under 1033";
    }
    FreeLibrary(hProduct);
}
