// The session handshake: success, drivers without sessions, and every
// failure branch the substitute can be made to take.
#include "channel_fixture.h"

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

class ProbeAnswers : public ChannelTest, public ::testing::WithParamInterface<uint32_t> {};

// Whatever else the probe answers, the full handshake follows and succeeds.
TEST_P(ProbeAnswers, OtherThanNotSupportedLeadToASession) {
    scenario.probeStatus = GetParam();
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    const SimSummary s = Summary();
    EXPECT_EQ(s.sessionState, uint32_t(SIM_SESSION_ESTABLISHED));
    EXPECT_EQ(Inspect::SessionId(c), s.sessionId);
    EXPECT_NE(Inspect::Context(c), nullptr);
    EXPECT_EQ(Inspect::Sequence(c), 0u);
    EXPECT_TRUE(Inspect::SessionRequired(c));
    const auto e = Exchanges();
    ASSERT_EQ(e.size(), 4u);
    for (const SimExchange& x : e) {
        EXPECT_EQ(x.code, uint32_t(IOCTL_MISC_HANDSHAKE));
        EXPECT_EQ(x.rejection, uint32_t(SIM_REJECT_NONE));
    }
    EXPECT_EQ(e[0].inLength, 0u);
    EXPECT_EQ(e[1].inLength, 160u);
    EXPECT_EQ(Le32(e[1].in + 132), 0u);  // the 33rd limb of A
    c.CloseDriver();
}

INSTANTIATE_TEST_SUITE_P(Statuses, ProbeAnswers,
                         ::testing::Values(uint32_t(SIM_STATUS_OK), uint32_t(SIM_STATUS_INVALID_PARAMETER),
                                           uint32_t(SIM_STATUS_ACCESS_DENIED)));

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
    if (f.lastError) {
        EXPECT_EQ(error, f.lastError);
    }
    EXPECT_EQ(Text(), f.text);

    const auto e = Exchanges();
    ASSERT_GE(e.size(), 2u);
    const uint32_t sessionId = e[1].outLength >= 4 ? Le32(e[1].out) : 0;
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), f.endSession ? 1 : 0);
    if (f.endSession) {
        EXPECT_TRUE(EndSessionSent(sessionId));
    }

    // The object stays open without a session: capsules are refused unsent.
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_TRUE(Inspect::SessionRequired(c));
    EXPECT_EQ(Inspect::SessionId(c), 0u);
    const size_t before = Exchanges().size();
    BYTE status;
    SYSTEMTIME date;
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 2u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Exchanges().size(), before);
    c.CloseDriver();
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), f.endSession ? 1 : 0);  // nothing more to end
}

#define HS(name, target, kind, param, status, result, text, end, error) \
    HandshakeFailure { name, target, kind, param, status, result, MC_TEXT(L"_Initialize: ") text, end, error }
INSTANTIATE_TEST_SUITE_P(
    Branches, HandshakeFails,
    ::testing::Values(
        HS("Phase1Fails", SIM_TARGET_PHASE1, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2, L"DeviceIoControl failed.",
           false, ERROR_GEN_FAILURE),
        HS("Phase1Short", SIM_TARGET_PHASE1, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2, L"DeviceIoControl failed.",
           false, 0),
        HS("Phase1Long", SIM_TARGET_PHASE1, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, L"DeviceIoControl failed.", false,
           0),
        HS("Phase1WarnsWithData", SIM_TARGET_PHASE1, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, 2,
           L"DeviceIoControl failed.", false, ERROR_MORE_DATA),
        HS("Phase2Fails", SIM_TARGET_PHASE2, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2,
           L"DeviceIoControl (phase2) failed.", true, ERROR_GEN_FAILURE),
        HS("Phase2Short", SIM_TARGET_PHASE2, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2,
           L"DeviceIoControl (phase2) failed.", true, 0),
        HS("Phase2Long", SIM_TARGET_PHASE2, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, L"DeviceIoControl (phase2) failed.",
           true, 0),
        HS("Phase2ProofLastByte", SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 6,
           L"Driver Authentication Failed.", true, 0),
        HS("Phase3Fails", SIM_TARGET_PHASE3, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 2,
           L"DeviceIoControl (phase3) failed.", true, ERROR_GEN_FAILURE),
        HS("Phase3Short", SIM_TARGET_PHASE3, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 2,
           L"DeviceIoControl (phase3) failed.", true, 0),
        HS("Phase3Long", SIM_TARGET_PHASE3, SIM_FAULT_LENGTH, 1, SIM_STATUS_OK, 2, L"DeviceIoControl (phase3) failed.",
           true, 0),
        HS("WrongConfirmation", SIM_TARGET_PHASE3, SIM_FAULT_WRONG_CONFIRMATION, 0, SIM_STATUS_OK, 2,
           L"BlowfishDecipher failed.", true, 0)),
    [](const ::testing::TestParamInfo<HandshakeFailure>& i) { return std::string(i.param.name); });

TEST_F(ChannelTest, DriverWithoutSessionsTakesPlainCapsulesWithSessionIdZero) {
    scenario.flags &= ~SIM_FLAG_SESSIONS;
    scenario.flatPadValues[0] = 0x0102;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    EXPECT_FALSE(Inspect::SessionRequired(c));
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Exchanges().size(), 1u);  // only the probe

    BYTE model[20] = {};
    DWORD size = sizeof(model);
    EXPECT_EQ(c.GetModelNumber(model, &size), 0u);
    BYTE status = 0xEE;
    WORD v[4] = {}, extra = 0;
    ASSERT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 0u) << text;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(v[0], 0x0102);
    SYSTEMTIME date;
    ASSERT_EQ(c.GetBatteryPackDate(&status, 0, &date), 0u);
    EXPECT_EQ(date.wYear, 2017);

    // Plain capsules: readable as sent, session id 0, sequence 0 and 1.
    std::vector<const SimExchange*> capsules;
    const auto e = Exchanges();
    for (const SimExchange& x : e)
        if (x.code == IOCTL_MISC_CAPSULE) capsules.push_back(&x);
    ASSERT_EQ(capsules.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Le32(capsules[i]->in + 8), 0u);
        EXPECT_EQ(Le32(capsules[i]->in + 12), i);                           // sequence
        EXPECT_EQ(Le32(capsules[i]->in + 20), uint32_t(IOCTL_MISC_FUNCTION));  // code
        EXPECT_EQ(capsules[i]->rejection, uint32_t(SIM_REJECT_NONE));
    }
    EXPECT_EQ(capsules[0]->in[32], 0x11);  // the packet travels as it is
    EXPECT_EQ(Inspect::Sequence(c), 2u);
    c.CloseDriver();
    EXPECT_EQ(Count(IOCTL_MISC_END_SESSION), 0);
    EXPECT_TRUE(SimControl::WriteTranscriptFile(TranscriptPath(L"driver_channel_no_sessions").c_str()))
        << GetLastError();
}

// One whole run as the update session makes it; its transcript is checked
// independently afterwards.
TEST_F(ChannelTest, SessionCarriesEncipheredCapsulesAndCloseEndsIt) {
    scenario.flatPadValues[0] = 0x0001;
    scenario.flatPadValues[3] = 0xBEEF;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    const DWORD sessionId = Inspect::SessionId(c);

    BYTE model[20] = {};
    DWORD size = sizeof(model);
    EXPECT_EQ(c.GetModelNumber(model, &size), 0u);
    BYTE status = 0xEE;
    WORD v[4] = {}, extra = 0;
    ASSERT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 0u) << text;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(v[0], 0x0001);
    EXPECT_EQ(v[3], 0xBEEF);
    SYSTEMTIME date, absent;
    memset(&absent, 0x5A, sizeof(absent));
    ASSERT_EQ(c.GetBatteryPackDate(&status, 0, &date), 0u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(date.wYear, 2017);
    EXPECT_EQ(date.wMonth, 3);
    EXPECT_EQ(date.wDay, 15);
    EXPECT_EQ(date.wHour, 0);
    ASSERT_EQ(c.GetBatteryPackDate(&status, 1, &absent), 0u);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(absent.wYear, 0x5A5A);  // untouched for an absent pack

    // Sizes of the capsules: flat pad 64 out / 40 offered, battery 56 / 32.
    const auto e = Exchanges();
    std::vector<const SimExchange*> capsules;
    for (const SimExchange& x : e)
        if (x.code == IOCTL_MISC_CAPSULE) capsules.push_back(&x);
    ASSERT_EQ(capsules.size(), 3u);
    EXPECT_EQ(capsules[0]->inLength, 64u);
    EXPECT_EQ(capsules[0]->outCapacity, 40u);
    EXPECT_EQ(capsules[1]->inLength, 56u);
    EXPECT_EQ(capsules[1]->outCapacity, 32u);
    for (const SimExchange* x : capsules) {
        EXPECT_EQ(Le32(x->in + 8), sessionId);
        EXPECT_EQ(x->rejection, uint32_t(SIM_REJECT_NONE));
        EXPECT_NE(x->in[32], 0x11);  // enciphered: the packet is not readable
    }
    EXPECT_EQ(Inspect::Sequence(c), 3u);
    EXPECT_EQ(Summary().expectedSequence, 3u);

    c.CloseDriver();
    EXPECT_TRUE(EndSessionSent(sessionId));
    EXPECT_EQ(Summary().sessionsEnded, 1u);
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Inspect::SessionId(c), 0u);
    EXPECT_EQ(Inspect::Sequence(c), 0u);
    EXPECT_EQ(Inspect::Device(c), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SimControl::WriteTranscriptFile(TranscriptPath(L"driver_channel_session").c_str()))
        << GetLastError();

    const size_t count = Exchanges().size();
    c.CloseDriver();  // a second close does nothing
    EXPECT_EQ(Exchanges().size(), count);
}

}  // namespace
