#include "tests/app/test_support.h"

#include <shellapi.h>

namespace apptest {

std::wstring ModuleDir()
{
    WCHAR sz[MAX_PATH] = {0};
    GetModuleFileNameW(NULL, sz, MAX_PATH);
    std::wstring path(sz);
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof(buf), &n, NULL) && n > 0) {
        bytes.append(buf, n);
    }
    CloseHandle(h);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD n = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, NULL);
    CloseHandle(h);
    return ok && n == bytes.size();
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path)
{
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string ExpectedPayload(WORD id)
{
    std::string unit = "payload-" + std::to_string(id) + ";";
    std::string all;
    for (int i = 0; i < id - 290; ++i) {
        all += unit;
    }
    return all;
}

std::vector<std::wstring> PendingFileRenames()
{
    std::vector<std::wstring> entries;
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
        return entries;
    }
    DWORD cb = 0;
    DWORD type = 0;
    if (RegQueryValueExW(hKey, L"PendingFileRenameOperations", NULL, &type, NULL, &cb) == ERROR_SUCCESS &&
        cb > 0) {
        std::vector<WCHAR> data(cb / sizeof(WCHAR) + 2, 0);
        if (RegQueryValueExW(hKey, L"PendingFileRenameOperations", NULL, &type,
                             reinterpret_cast<BYTE*>(data.data()), &cb) == ERROR_SUCCESS) {
            // Pairs of strings; an empty target stands for "delete".
            const size_t nChars = cb / sizeof(WCHAR);
            size_t start = 0;
            for (size_t i = 0; i < nChars; ++i) {
                if (data[i] == L'\0') {
                    entries.emplace_back(data.data() + start, i - start);
                    start = i + 1;
                }
            }
        }
    }
    RegCloseKey(hKey);
    return entries;
}

bool EndsWithPath(const std::wstring& text, const std::wstring& suffix)
{
    if (suffix.size() > text.size()) {
        return false;
    }
    return lstrcmpiW(text.c_str() + (text.size() - suffix.size()), suffix.c_str()) == 0;
}

TempFolder::TempFolder(const wchar_t* pszTag)
{
    WCHAR szTemp[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, szTemp);
    _path = std::wstring(szTemp) + pszTag + L"_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(_path.c_str(), NULL);
}

TempFolder::~TempFolder()
{
    std::vector<WCHAR> from(_path.begin(), _path.end());
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.data();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&op);
}

}  // namespace apptest
