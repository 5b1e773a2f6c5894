// The session handshake: success, drivers without sessions, and every
// failure branch the substitute can be made to take. Every test leaves its
// transcript, which check_transcript.py recomputes (capsule layout, ciphering,
// session ids and sequence numbers are checked there).
#include "channel_fixture.h"

namespace {

// Whatever else the probe answers, the full handshake follows and succeeds.
TEST_F(ChannelTest, ProbeAnswersOtherThanNotSupportedLeadToASession) {
    for (uint32_t probe : {uint32_t(SIM_STATUS_OK), uint32_t(SIM_STATUS_ACCESS_DENIED)}) {
        scenario.probeStatus = probe;
        Apply();
        CMiscCommon c(text);
        OpenAndInitialize(c);
        EXPECT_EQ(Summary().sessionState, uint32_t(SIM_SESSION_ESTABLISHED)) << probe;
        EXPECT_NE(Inspect::Context(c), nullptr);
        EXPECT_EQ(Count(IOCTL_MISC_HANDSHAKE), 4);
        c.CloseDriver();
    }
}

struct HandshakeFailure {
    const char* name;
    uint32_t target, kind;
    int32_t param;
    uint32_t status;
    DWORD result;
    const wchar_t* text;
    bool endSession;
    DWORD lastError;  // 0: not checked
};

class HandshakeFails : public ChannelTest, public ::testing::WithParamInterface<HandshakeFailure> {};

TEST_P(HandshakeFails, WithItsCodeTextAndEndOfSession) {
    const HandshakeFailure& f = GetParam();
    SimControl::AddFault(&scenario, f.target, f.kind, f.param, f.status);
    Apply();
    CMiscCommon c(text);
    ASSERT_EQ(c.OpenDriver(), 0u);
    EXPECT_EQ(c._Initialize(), f.result);
    const DWORD error = GetLastError();
    EXPECT_EQ(error, f.lastError ? f.lastError : error);
    EXPECT_EQ(Text(), f.text);
    const auto e = Exchanges();
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), f.endSession ? 1 : 0);
    EXPECT_EQ(EndSessionSent(Le32(e[1].out)), f.endSession);  // for the session phase 1 gave
    // The object stays open without a session: capsules are refused unsent.
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_TRUE(Inspect::SessionRequired(c));
    EXPECT_EQ(Inspect::SessionId(c), 0u);
    BYTE status;
    SYSTEMTIME date;
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 2u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Exchanges().size(), e.size());
    c.CloseDriver();
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), f.endSession ? 1 : 0);  // nothing more to end
}

#define HS(name, target, kind, param, status, result, text, end, error) \
    HandshakeFailure { name, target, kind, param, status, result, MC_TEXT(L"_Initialize: ") text, end, error }
#define PHASE1 SIM_TARGET_PHASE1
#define PHASE2 SIM_TARGET_PHASE2
#define PHASE3 SIM_TARGET_PHASE3
#define FAILED1 L"DeviceIoControl failed."
#define FAILED2 L"DeviceIoControl (phase2) failed."
#define FAILED3 L"DeviceIoControl (phase3) failed."
INSTANTIATE_TEST_SUITE_P(
    Branches, HandshakeFails,
    ::testing::Values(
        HS("Phase1Fails", PHASE1, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2, FAILED1, false, ERROR_GEN_FAILURE),
        HS("Phase1Short", PHASE1, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2, FAILED1, false, 0),
        HS("Phase1Long", PHASE1, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, FAILED1, false, 0),
        HS("Phase1WarnsWithData", PHASE1, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, 2, FAILED1, false,
           ERROR_MORE_DATA),
        HS("Phase2Fails", PHASE2, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2, FAILED2, true, ERROR_GEN_FAILURE),
        HS("Phase2Short", PHASE2, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2, FAILED2, true, 0),
        HS("Phase2Long", PHASE2, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, FAILED2, true, 0),
        HS("Phase2ProofLastByte", PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 6,
           L"Driver Authentication Failed.", true, 0),
        HS("Phase3Fails", PHASE3, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2, FAILED3, true, ERROR_GEN_FAILURE),
        HS("Phase3Short", PHASE3, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2, FAILED3, true, 0),
        HS("Phase3Long", PHASE3, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, FAILED3, true, 0),
        HS("WrongConfirmation", PHASE3, SIM_FAULT_WRONG_CONFIRMATION, 0, SIM_STATUS_OK, 2,
           L"BlowfishDecipher failed.", true, 0)),
    [](const ::testing::TestParamInfo<HandshakeFailure>& i) { return std::string(i.param.name); });

// Plain capsules, session id 0: the transcript checker reads them as sent.
TEST_F(ChannelTest, DriverWithoutSessionsTakesPlainCapsules) {
    scenario.flags &= ~SIM_FLAG_SESSIONS;
    scenario.flatPadValues[0] = 0x0102;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    EXPECT_FALSE(Inspect::SessionRequired(c));
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Exchanges().size(), 1u);  // only the probe

    WORD v[4] = {};
    SYSTEMTIME date;
    QueryAsTheSessionDoes(c, v, &date);
    EXPECT_EQ(v[0], 0x0102);
    EXPECT_EQ(date.wYear, 2017);
    EXPECT_EQ(Inspect::Sequence(c), 2u);
    c.CloseDriver();
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), 0);
}

// One whole run as the update session makes it.
TEST_F(ChannelTest, SessionCarriesEncipheredCapsulesAndCloseEndsIt) {
    scenario.flatPadValues[0] = 0x0001;
    scenario.flatPadValues[3] = 0xBEEF;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    const DWORD sessionId = Inspect::SessionId(c);

    WORD v[4] = {};
    SYSTEMTIME date, absent;
    QueryAsTheSessionDoes(c, v, &date);
    EXPECT_EQ(v[0], 0x0001);
    EXPECT_EQ(v[3], 0xBEEF);
    EXPECT_EQ(date.wYear * 10000 + date.wMonth * 100 + date.wDay, 20170315);
    EXPECT_EQ(date.wHour, 0);
    BYTE status = 0xEE;
    memset(&absent, 0x5A, sizeof(absent));
    ASSERT_EQ(c.GetBatteryPackDate(&status, 1, &absent), 0u);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(absent.wYear, 0x5A5A);  // untouched for an absent pack

    EXPECT_EQ(Inspect::Sequence(c), 3u);

    c.CloseDriver();
    EXPECT_TRUE(EndSessionSent(sessionId));
    EXPECT_EQ(Summary().sessionsEnded, 1u);
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Inspect::SessionId(c), 0u);
    EXPECT_EQ(Inspect::Sequence(c), 0u);
    EXPECT_EQ(Inspect::Device(c), INVALID_HANDLE_VALUE);
    const size_t count = Exchanges().size();
    c.CloseDriver();  // a second close does nothing
    EXPECT_EQ(Exchanges().size(), count);
}

// A second handshake on the same object ends the first session at the
// driver before it starts, also when the new one then fails.
TEST_F(ChannelTest, SecondInitializeEndsTheSessionItReplaces) {
    SimControl::AddFault(&scenario, SIM_TARGET_PHASE2, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2);
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE status;
    WORD v[4], extra = 0;
    ASSERT_EQ(FlatPad(c, &status, v, &extra), 0u);
    const DWORD first = Inspect::SessionId(c);
    ASSERT_EQ(c._Initialize(), 0u) << text;
    EXPECT_TRUE(EndSessionSent(first));
    const DWORD second = Inspect::SessionId(c);
    EXPECT_NE(second, first);
    EXPECT_EQ(Inspect::Sequence(c), 0u);
    EXPECT_EQ(FlatPad(c, &status, v, &extra), 0u) << text;

    EXPECT_EQ(c._Initialize(), 2u);  // the third handshake fails in phase 2
    EXPECT_TRUE(EndSessionSent(second));
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Inspect::SessionId(c), 0u);
    EXPECT_EQ(Summary().sessionState, uint32_t(SIM_SESSION_NONE));
    c.CloseDriver();
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), 3);  // first, second, and the failed third
}

}  // namespace
