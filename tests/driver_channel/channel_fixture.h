// Shared fixture of the driver-channel tests: the installed substitute driver
// in this test's Wine prefix, a scenario per test, and white-box access to
// the channel's fields.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_channel/misc_common.h"
#include "driver_channel/misc_protocol.h"
#include "sim/driver/sim_control.h"

namespace MiscCommon {
struct CMiscCommonInspector {
    static HANDLE Device(const CMiscCommon& c) { return c._hDevice; }
    static LPCWSTR Version(const CMiscCommon& c) { return c._szVersion; }
    static DWORD SessionId(const CMiscCommon& c) { return c._dwSessionId; }
    static DWORD Sequence(const CMiscCommon& c) { return c._dwSequence; }
    static const void* Context(const CMiscCommon& c) { return c._pBlowfishContext; }
    static BOOL SessionRequired(const CMiscCommon& c) { return c._bSessionRequired; }
    static void Numbers(const CMiscCommon& c, DWORD n[4]) {
        n[0] = c._dwMajor;
        n[1] = c._dwMinor;
        n[2] = c._dwBuild;
        n[3] = c._dwRevision;
    }
};
}  // namespace MiscCommon

using MiscCommon::CMiscCommon;
using Inspect = MiscCommon::CMiscCommonInspector;

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimScenarioInitDefaults(&scenario);
        ASSERT_TRUE(SimControl::RegisterInterface(0, L"1.0.8.0")) << GetLastError();
        ASSERT_TRUE(SimControl::SetDriverVersion(0, L"1.0.8.0"));
        ASSERT_TRUE(SimControl::SetLinked(0, true));
        SimControl::RemoveInterface(1);
        text[0] = L'\0';
    }

    // Sends the scenario (which also clears the driver's record).
    void Apply() { ASSERT_TRUE(SimControl::SetScenario(scenario)) << GetLastError(); }

    static std::vector<SimExchange> Exchanges() {
        std::vector<SimExchange> e;
        EXPECT_TRUE(SimControl::GetExchanges(&e));
        return e;
    }
    static SimSummary Summary() {
        SimSummary s = {};
        EXPECT_TRUE(SimControl::GetSummary(&s));
        return s;
    }
    static int Count(uint32_t code) {
        int n = 0;
        for (const SimExchange& e : Exchanges()) n += e.code == code;
        return n;
    }
    static const SimExchange* Last(const std::vector<SimExchange>& e, uint32_t code) {
        for (auto it = e.rbegin(); it != e.rend(); ++it)
            if (it->code == code) return &*it;
        return nullptr;
    }
    // Whether an end-of-session message carrying `sessionId` went out.
    static bool EndSessionSent(uint32_t sessionId) {
        for (const SimExchange& e : Exchanges())
            if (e.code == IOCTL_MISC_END_SESSION && e.inLength == 4 && memcmp(e.in, &sessionId, 4) == 0)
                return true;
        return false;
    }
    std::wstring Text() const { return text; }

    // Where transcripts go: QM_TRANSCRIPT_DIR from the environment (a Windows
    // path), else the repository's build/transcripts.
    static std::wstring TranscriptPath(const wchar_t* name) {
        wchar_t dir[MAX_PATH];
        DWORD n = GetEnvironmentVariableW(L"QM_TRANSCRIPT_DIR", dir, MAX_PATH);
        std::wstring path = (n > 0 && n < MAX_PATH) ? std::wstring(dir) : std::wstring(DC_TRANSCRIPT_DIR);
        CreateDirectoryW(path.c_str(), nullptr);
        return path + L"\\" + name + L".jsonl";
    }

    // Opens the channel and, for a driver that passes the gate, sets up the session.
    void OpenAndInitialize(CMiscCommon& c) {
        ASSERT_EQ(c.OpenDriver(), 0u) << text;
        ASSERT_EQ(c._Initialize(), 0u) << text;
    }

    SimScenario scenario;
    WCHAR text[256];
};

#define MC_TEXT(s) L"MiscCommon::CMiscCommon::" s
