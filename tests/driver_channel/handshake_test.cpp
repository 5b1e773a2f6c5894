// The session handshake: probe answers, every
// failure branch the substitute can be made to take. Every test leaves its
// transcript, which check_transcript.py recomputes (capsule layout, ciphering,
// session ids and sequence numbers are checked there).
#include "channel_fixture.h"

namespace {

// Whatever else the probe answers, the full handshake follows and succeeds.
TEST_F(ChannelTest, ProbeAnswersOtherThanNotSupportedLeadToASession) {
    for (uint32_t probe : {uint32_t(SIM_STATUS_OK), uint32_t(SIM_STATUS_ACCESS_DENIED)}) {
        scenario.probeStatus = probe;
        CMiscCommon object(text);
        Open(object);
        EXPECT_EQ(Summary().sessionState, uint32_t(SIM_SESSION_ESTABLISHED)) << probe;
        object.CloseDriver();
    }
}

struct HandshakeFailure {
    const char* name;
    uint32_t target, kind;
    int32_t param;
    uint32_t status;
    DWORD result;
    const wchar_t* text;
    DWORD lastError;  // 0: not checked
};

class HandshakeFails : public ChannelTest, public ::testing::WithParamInterface<HandshakeFailure> {};

// Whether the session phase 1 gave is ended (exactly once) is the transcript
// checker's: a handshake failing after phase 1 must end it, nothing else may.
TEST_P(HandshakeFails, WithItsCodeTextAndEndOfSession) {
    const HandshakeFailure& f = GetParam();
    SimControl::AddFault(&scenario, f.target, f.kind, f.param, f.status);
    Apply();
    ASSERT_EQ(c.OpenDriver(), 0u);
    EXPECT_EQ(c._Initialize(), f.result);
    const DWORD error = GetLastError();
    EXPECT_EQ(error, f.lastError ? f.lastError : error);
    EXPECT_EQ(Text(), f.text);
    const size_t sent = Exchanges().size();
    // The object stays open without a session: capsules are refused unsent.
    EXPECT_EQ(Inspect::Context(c), nullptr);
    BYTE status;
    SYSTEMTIME date;
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 2u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Exchanges().size(), sent);
}

// Each phase failing, answering one byte short or long; then a wrong driver
// proof and a wrong confirmation.
std::vector<HandshakeFailure> Failures() {
    std::vector<HandshakeFailure> all;
    const struct {
        const char* name;
        uint32_t target;
        const wchar_t* text;
    } phases[] = {{"Phase1", SIM_TARGET_PHASE1, MC_TEXT(L"_Initialize: DeviceIoControl failed.")},
                  {"Phase2", SIM_TARGET_PHASE2, MC_TEXT(L"_Initialize: DeviceIoControl (phase2) failed.")},
                  {"Phase3", SIM_TARGET_PHASE3, MC_TEXT(L"_Initialize: DeviceIoControl (phase3) failed.")}};
    for (const auto& p : phases) {
        all.push_back({"Fails", p.target, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2, p.text, ERROR_GEN_FAILURE});
        all.push_back({"Short", p.target, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2, p.text, 0});
        all.push_back({"Long", p.target, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, p.text, 0});
    }
    all.push_back({"WarnsWithData", SIM_TARGET_PHASE1, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, 2,
                   phases[0].text, ERROR_MORE_DATA});
    all.push_back({"ProofLastByte", SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 6,
                   MC_TEXT(L"_Initialize: Driver Authentication Failed."), 0});
    all.push_back({"WrongConfirmation", SIM_TARGET_PHASE3, SIM_FAULT_WRONG_CONFIRMATION, 0, SIM_STATUS_OK, 2,
                   MC_TEXT(L"_Initialize: BlowfishDecipher failed."), 0});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Branches, HandshakeFails, ::testing::ValuesIn(Failures()),
                         [](const ::testing::TestParamInfo<HandshakeFailure>& i) {
                             return "Phase" + std::to_string(i.param.target - SIM_TARGET_PHASE1 + 1) + i.param.name;
                         });

// A second handshake on the same object ends the first session at the
// driver before it starts, also when the new one then fails (the transcript
// checker refuses a phase 1 in an established session and a failed
// handshake left open).
TEST_F(ChannelTest, SecondInitializeEndsTheSessionItReplaces) {
    SimControl::AddFault(&scenario, SIM_TARGET_PHASE2, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2);
    Open(c);
    BYTE status;
    WORD v[4], extra = 0;
    ASSERT_EQ(FlatPad(&status, v, &extra), 0u);
    ASSERT_EQ(c._Initialize(), 0u) << text;
    EXPECT_EQ(FlatPad(&status, v, &extra), 0u) << text;  // numbered from 0 again

    EXPECT_EQ(c._Initialize(), 2u);  // the third handshake fails in phase 2
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Exchanges(IOCTL_MISC_END_SESSION).size(), 3u);  // first, second, and the failed third
}

}  // namespace
