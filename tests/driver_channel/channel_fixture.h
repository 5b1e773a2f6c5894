// Shared fixture of the driver-channel tests: the installed substitute driver
// in this test's Wine prefix, a scenario per test, and white-box access to
// the channel's fields.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "driver_channel/misc_common.h"
#include "driver_channel/misc_protocol.h"
#include "sim/driver/sim_control.h"

namespace MiscCommon {
struct CMiscCommonInspector {
    static HANDLE Device(const CMiscCommon& c) { return c._hDevice; }
    static LPCWSTR Version(const CMiscCommon& c) { return c._szVersion; }
    static const void* Context(const CMiscCommon& c) { return c._pBlowfishContext; }
    static std::array<DWORD, 4> Numbers(const CMiscCommon& c) {
        return {c._dwMajor, c._dwMinor, c._dwBuild, c._dwRevision};
    }
};
}  // namespace MiscCommon

using MiscCommon::CMiscCommon;
using Inspect = MiscCommon::CMiscCommonInspector;
using Version4 = std::array<DWORD, 4>;

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimScenarioInitDefaults(&scenario);
        ASSERT_TRUE(SimControl::RegisterInterface(0, L"1.0.8.0")) << GetLastError();
        ASSERT_TRUE(SimControl::SetDriverVersion(0, L"1.0.8.0"));
        ASSERT_TRUE(SimControl::SetLinked(0, true));
        SimControl::RemoveInterface(1);
        text[0] = L'\0';
        Apply();  // a clean record for this test
    }
    // The test's object is closed; the record is left as a transcript named after the test,
    // failing tests included, for check_transcript.py; a strict scenario also fails the test
    // when the driver refused anything the client should not have sent.
    void TearDown() override {
        c.CloseDriver();
        const SimSummary s = Summary();
        if (scenario.strict) {
            EXPECT_EQ(s.violations, 0u) << "the driver refused exchange " << s.firstViolationExchange
                                        << " as a client fault (reason " << s.firstViolation << ")";
        }
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The 32-bit and the 64-bit tree's runs keep transcripts of their own.
        std::string name = std::string(sizeof(void*) == 8 ? "driver_channel.win64." : "driver_channel.win32.") +
                           info->test_suite_name() + "." + info->name();
        for (char& ch : name)
            if (ch == '/') ch = '.';
        EXPECT_TRUE(SimControl::WriteTranscript(name.c_str())) << GetLastError();
    }
    // Sends the scenario (which also clears the driver's record).
    void Apply() { ASSERT_TRUE(SimControl::SetScenario(scenario)) << GetLastError(); }

    static std::vector<SimExchange> Exchanges(uint32_t code = 0) {
        std::vector<SimExchange> all, e;
        EXPECT_TRUE(SimControl::GetExchanges(&all));
        for (const SimExchange& x : all)
            if (!code || x.code == code) e.push_back(x);
        return e;
    }
    static SimSummary Summary() {
        SimSummary s = {};
        EXPECT_TRUE(SimControl::GetSummary(&s));
        return s;
    }
    std::wstring Text() const { return text; }

    // Sends the scenario, then opens the object and makes a session.
    void Open(CMiscCommon& object) {
        Apply();
        ASSERT_EQ(object.OpenDriver(), 0u) << text;
        ASSERT_EQ(object._Initialize(), 0u) << text;
    }
    DWORD FlatPad(BYTE* status, WORD v[4], WORD* extra) {
        return c.GetFlatPadSetting(status, &v[0], &v[1], &v[2], &v[3], extra);
    }

    SimScenario scenario;
    WCHAR text[256];
    CMiscCommon c{text};  // the test's object, writing its failures' texts into text
};

#define MC_TEXT(s) L"MiscCommon::CMiscCommon::" s

// A parameterised case is named after its row's name.
template <class Row>
std::string RowName(const ::testing::TestParamInfo<Row>& i) { return i.param.name; }
