// The string table of the built program, read back with LoadStringW, must
// hold exactly the texts of its UTF-8 source, under language 1033.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/resource_ids.h"
#include "tests/app/test_support.h"

namespace {

struct Entry {
    UINT id;
    std::wstring text;
};

std::wstring FromUtf8(const std::string& s)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), NULL, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), &w[0], n);
    return w;
}

// strings.txt: "id<TAB>name<TAB>text", "#" comments; "\n" and "\\" escapes.
std::vector<Entry> ReadSource(const std::wstring& path)
{
    std::vector<Entry> entries;
    const std::string all = apptest::ReadFileBytes(path);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const size_t tab1 = line.find('\t');
        const size_t tab2 = line.find('\t', tab1 + 1);
        std::string text;
        const std::string raw = line.substr(tab2 + 1);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) {
                text += raw[i + 1] == 'n' ? '\n' : raw[i + 1];
                ++i;
            } else {
                text += raw[i];
            }
        }
        entries.push_back({UINT(std::stoul(line.substr(0, tab1))), FromUtf8(text)});
    }
    return entries;
}

}  // namespace

TEST(StringTable, BuiltProgramHoldsTheSourceTextsExactly)
{
    const std::vector<Entry> entries = ReadSource(QM_STRINGS_SOURCE);
    ASSERT_EQ(15u, entries.size());

    HMODULE hProduct = LoadLibraryExW(QM_PRODUCT_PATH, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hProduct);
    UINT expectedId = IDS_APP_TITLE;
    for (const Entry& e : entries) {
        EXPECT_EQ(expectedId++, e.id);
        WCHAR buffer[512] = {0};
        const int n = LoadStringW(hProduct, e.id, buffer, 512);
        EXPECT_EQ(e.text, std::wstring(buffer, n > 0 ? n : 0)) << e.id;
        // Filed under English (United States), 1033.
        EXPECT_NE(nullptr, FindResourceExW(hProduct, RT_STRING, MAKEINTRESOURCEW(e.id / 16 + 1),
                                           MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)))
            << e.id;
    }
    EXPECT_EQ(L"ACアダプターを接続してください。", entries[IDS_CONNECT_AC_ADAPTER - IDS_APP_TITLE].text);
    FreeLibrary(hProduct);
}
