// Helpers shared by the update-control tests.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace apptest {

inline std::wstring ModuleDir()
{
    WCHAR sz[MAX_PATH] = {0};
    GetModuleFileNameW(NULL, sz, MAX_PATH);
    *wcsrchr(sz, L'\\') = 0;
    return sz;
}

// Whole file as bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    if (FILE* f = _wfopen(path.c_str(), L"rb")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) bytes.append(buf, n);
        fclose(f);
    }
    return bytes;
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The test payload tests/app/CMakeLists.txt builds: "payload-<id>;" (id - 290) times.
inline std::string ExpectedPayload(WORD id)
{
    std::string all;
    for (int i = 0; i < id - 290; ++i) all += "payload-" + std::to_string(id) + ";";
    return all;
}

// A fresh folder in the temporary directory, removed with its contents when it goes away.
class TempFolder {
public:
    explicit TempFolder(const wchar_t* pszTag)
    {
        WCHAR szTemp[MAX_PATH] = {0};
        GetTempPathW(MAX_PATH, szTemp);
        _path = std::wstring(szTemp) + pszTag + L"_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(_path.c_str(), NULL);
    }
    ~TempFolder()
    {
        const std::wstring from = _path + L'\0';  // ended by a double NUL
        SHFILEOPSTRUCTW op = {NULL, FO_DELETE, from.c_str(), NULL, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI,
                              FALSE, NULL, NULL};
        SHFileOperationW(&op);
    }
    const std::wstring& path() const { return _path; }

private:
    std::wstring _path;
};

}  // namespace apptest
