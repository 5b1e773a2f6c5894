// Helpers shared by the update-control tests.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"

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

// A fresh work folder made by the program's own code (g_szWorkFolder), deleted
// with its contents at the end of the scope.
struct WorkFolder {
    WorkFolder() { CreateWorkFolder(); }
    ~WorkFolder() { DeleteSessionFiles(); }
    std::wstring path() const { return g_szWorkFolder; }
};

}  // namespace apptest
