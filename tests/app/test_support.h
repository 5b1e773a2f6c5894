// Helpers shared by the update-control tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace apptest {

// The folder of the running test program, without a trailing backslash.
std::wstring ModuleDir();

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);

// The test payload that tests/app/CMakeLists.txt builds for resource id:
// "payload-<id>;" repeated (id - 290) times.
std::string ExpectedPayload(WORD id);

// Entries of PendingFileRenameOperations (sources and targets alternate).
std::vector<std::wstring> PendingFileRenames();

// Case-insensitive suffix test on paths.
bool EndsWithPath(const std::wstring& text, const std::wstring& suffix);

// A fresh folder in the temporary directory, removed when it goes away.
class TempFolder {
public:
    explicit TempFolder(const wchar_t* pszTag);
    ~TempFolder();
    const std::wstring& path() const { return _path; }

private:
    std::wstring _path;
};

}  // namespace apptest
