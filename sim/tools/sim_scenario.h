// Scenario control file and run log of the simulated laptop, shared by the
// substitute vendor tools, the substitute vendor library, the recording
// shutdown program and the scenario robot.
//
// The scenario runner copies the scenario to C:\qmsim\scenario.ini before
// anything runs, with every key of its table (sim/scenario/run.py), the
// defaults filled in. Its lines are "key = value"; '#' starts a comment; keys
// are case-insensitive. Every substitute reads the keys it knows at the moment it
// runs, so a value changed between two runs takes effect at the next one.
//
// Every substitute appends one line per event to C:\qmsim\runs.log, which the
// robot reads to check what ran, in which folder and with which arguments.
// The same lines, each after the tick count at which it was written, go to
// C:\qmsim\times.log, from which the start-up benchmark reads its phases.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace qmsim {

constexpr const wchar_t* kScenarioPath = L"C:\\qmsim\\scenario.ini";
constexpr const wchar_t* kRunLogPath = L"C:\\qmsim\\runs.log";
constexpr const wchar_t* kTimesPath = L"C:\\qmsim\\times.log";

inline std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

inline std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads a whole file into a byte string; false when it cannot be opened.
inline bool ReadWholeFile(const wchar_t* path, std::string& out) {
    out.clear();
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return true;
}

// Splits on a separator character, trimming every piece; empty pieces are dropped.
inline std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t e = s.find(sep, pos);
        if (e == std::string::npos) e = s.size();
        std::string p = Trim(s.substr(pos, e - pos));
        if (!p.empty()) parts.push_back(p);
        pos = e + 1;
    }
    return parts;
}

// Parses a whole decimal or 0x-prefixed number; false on anything else.
inline bool ParseNumber(const std::string& s, unsigned long long& out) {
    std::string t = Trim(s);
    if (t.empty()) return false;
    int base = 10;
    size_t i = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        i = 2;
    }
    unsigned long long v = 0;
    for (; i < t.size(); ++i) {
        int d;
        char c = t[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    out = v;
    return true;
}

inline std::string Narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

inline std::wstring Widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// Appends one line (a line feed is added) to a file, creating it when needed.
// The line goes out in one write, so lines of concurrent writers do not mix.
inline bool AppendLine(const wchar_t* path, const std::string& line) {
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string data = line + "\n";
    DWORD written = 0;
    BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == data.size();
}

inline void LogRun(const std::string& line) {
    const unsigned long tick = GetTickCount();
    AppendLine(kRunLogPath, line);
    AppendLine(kTimesPath, std::to_string(tick) + " " + line);
}

// The process's ANSI code page, user's locale and UI language, as "acp=N lcid=N ui=N": what the
// Wine session's Unix locale made of them (the robot checks them against the key "locale").
inline std::string LocaleFields() {
    return "acp=" + std::to_string(GetACP()) + " lcid=" + std::to_string(GetUserDefaultLCID()) +
           " ui=" + std::to_string(GetUserDefaultUILanguage());
}

// Parsed "key = value" lines, in file order.
class Scenario {
public:
    bool Load(const wchar_t* path = kScenarioPath) {
        entries_.clear();
        std::string text;
        if (!ReadWholeFile(path, text)) return false;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(pos, nl - pos);
            pos = nl + 1;
            size_t hash = line.find('#');
            if (hash != std::string::npos) line.erase(hash);
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = Lower(Trim(line.substr(0, eq)));
            std::string value = Trim(line.substr(eq + 1));
            if (!key.empty()) entries_.push_back({key, value});
        }
        return true;
    }

    // The last value given for the key. The runner writes every key of its table into the file,
    // the defaults filled in, so a key that is not there is a fault of the runner (or a reader
    // that asks for a key the table lacks): it is kept in Missing() and logged as "scenario lacks
    // KEY", which fails the scenario, and the value is empty.
    std::string Get(const std::string& key) const {
        std::string k = Lower(key);
        for (size_t i = entries_.size(); i-- > 0;)
            if (entries_[i].first == k) return entries_[i].second;
        missing_.push_back(k);
        LogRun("scenario lacks " + k);
        return std::string();
    }

    // The keys asked for that the file does not hold.
    const std::vector<std::string>& Missing() const { return missing_; }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
    mutable std::vector<std::string> missing_;
};

// The lines of the run log, or none when there is no log yet.
inline std::vector<std::string> RunLogLines() {
    std::string text;
    std::vector<std::string> lines;
    if (!ReadWholeFile(kRunLogPath, text)) return lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string l = Trim(text.substr(pos, nl - pos));
        if (!l.empty()) lines.push_back(l);
        pos = nl + 1;
    }
    return lines;
}

inline bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace qmsim
