// Capsule calls through the installed substitute: replies the client must
// refuse or pass on (each kind of malformed header is in the native
// driver_channel_capsule_test), every reply shape allowed, argument checks.
#include "channel_fixture.h"

namespace {

// A flat-pad query packet as GetFlatPadSetting builds it.
void FlatPadPacket(BYTE p[22]) {
    memset(p, 0, 22);
    p[0] = 0x11, p[1] = 1, p[2] = 22, p[4] = 22, p[8] = 0x02, p[9] = 0x80;
}

constexpr DWORD kUnchanged = 0xDEADu;  // a last error the call must leave alone

struct ReplyFault {
    const char* name;
    uint32_t kind;
    int32_t param;
    uint32_t status;
    bool ok;              // the call succeeds
    DWORD lastError;      // after a failed EncapsuledDeviceIoControl
    const wchar_t* size;  // the size in the text; null: no text
    DWORD bytesReturned;
};

class CapsuleReply : public ChannelTest, public ::testing::WithParamInterface<ReplyFault> {};

TEST_P(CapsuleReply, IsRefusedOrPassedOnAndKeepsTheSequenceInStep) {
    const ReplyFault& f = GetParam();
    scenario.flatPadValues[0] = 0x1234;
    // The fault fires twice: once for the direct call, once through CallMiscFunction.
    SimControl::AddFault(&scenario, SIM_TARGET_CAPSULE, f.kind, f.param, f.status, 0, 2);
    Open(c);
    BYTE packet[22];
    FlatPadPacket(packet);
    DWORD returned = 0xFFFF;
    SetLastError(kUnchanged);
    EXPECT_EQ(c.EncapsuledDeviceIoControl(packet, 22, packet, 22, &returned) != FALSE, f.ok);
    if (!f.ok) {
        EXPECT_EQ(GetLastError(), f.lastError);
    }
    EXPECT_EQ(Text(), f.size ? MC_TEXT(L"EncapsuledDeviceIoControl: Invalid structure returned. size = ") +
                                   std::wstring(f.size)
                             : L"");
    EXPECT_EQ(returned, f.bytesReturned);
    if (f.bytesReturned) {  // the data delivered is the answer
        EXPECT_EQ(packet[0] | packet[12] << 8 | packet[13] << 16, 0x123400);
    }

    // Through CallMiscFunction every such failure is result 2, told apart by the last error.
    BYTE status = 0xEE;
    WORD v[4], extra = 0;
    SetLastError(kUnchanged);
    EXPECT_EQ(FlatPad(&status, v, &extra), f.ok ? 0u : 2u);
    if (!f.ok) {
        EXPECT_EQ(GetLastError(), f.lastError);
        EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: DeviceIoControl failed."));
    }
    // The next call is numbered as the strict driver expects (whether a reply
    // counts as a call is the transcript checker's) and succeeds.
    EXPECT_EQ(FlatPad(&status, v, &extra), 0u) << text;
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CapsuleReply,
    ::testing::Values(
        ReplyFault{"NothingReturned", SIM_FAULT_SHORT_REPLY, 0, SIM_STATUS_OK, false, kUnchanged, L"0", 0},
        ReplyFault{"ElevenBytes", SIM_FAULT_SHORT_REPLY, 11, SIM_STATUS_OK, false, kUnchanged, L"11", 0},
        // Longer than offered: the first 22 bytes, whether or not the whole
        // capsule would fit the buffer (the blocks inside it are deciphered).
        ReplyFault{"PayloadLongerThanOutput", SIM_FAULT_LONG_PAYLOAD, 2, SIM_STATUS_OK, false, ERROR_MORE_DATA, nullptr,
                   22},
        ReplyFault{"PayloadBeyondBuffer", SIM_FAULT_LONG_PAYLOAD, 10, SIM_STATUS_OK, false, ERROR_MORE_DATA, nullptr,
                   22},
        // A size field beyond the buffer names more blocks than came: those inside are enough.
        ReplyFault{"SizeFieldBeyondBuffer", SIM_FAULT_SIZE_FIELD, 48, SIM_STATUS_OK, true, 0, nullptr, 22},
        // A size field too small for the payload: bytes never deciphered are not handed on.
        ReplyFault{"SizeFieldShortOfPayload", SIM_FAULT_SIZE_FIELD, 32, SIM_STATUS_OK, false, ERROR_INVALID_DATA,
                   L"22", 0},
        ReplyFault{"SizeFieldBelow16", SIM_FAULT_SIZE_FIELD, 8, SIM_STATUS_OK, false, ERROR_INVALID_DATA, L"8", 0},
        // A failing call that still returns a whole reply delivers its data.
        ReplyFault{"FailsWithData", SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, false, ERROR_MORE_DATA,
                   nullptr, 22},
        ReplyFault{"FailsWithoutData", SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, false, ERROR_GEN_FAILURE, L"0", 0}),
    RowName<ReplyFault>);

// Every reply the protocol allows, with and without sessions: the count the
// driver reports (whole capsule, header and padded payload, header and
// payload) and the size field (right, 0, 4 past the blocks, beyond the
// buffer). Only an enciphered reply whose size field names no block is
// refused; the rest carry the answers the session relies on.
struct ProtocolAnswer {
    bool sessions;
    uint8_t returned, sizeField;
};

class ReplyShapes : public ChannelTest, public ::testing::WithParamInterface<ProtocolAnswer> {};

// Each run is also one whole session as the update makes it: the flat-pad
// item, battery pack 0 and the absent pack 1, then CloseDriver ends the session.
TEST_P(ReplyShapes, CarryTheAnswersAndCloseEndsTheSession) {
    const ProtocolAnswer& p = GetParam();
    if (!p.sessions) scenario.flags &= ~SIM_FLAG_SESSIONS;
    scenario.replyReturned = p.returned;
    scenario.replySizeField = p.sizeField;
    scenario.flatPadValues[0] = 0x0203;
    scenario.flatPadValues[3] = 0xBEEF;
    Open(c);
    const bool refused = p.sessions && p.sizeField == SIM_REPLYSIZE_ZERO;
    BYTE status = 0xEE;
    WORD v[4] = {}, extra = 0;
    SYSTEMTIME date = {};
    EXPECT_EQ(FlatPad(&status, v, &extra), refused ? 2u : 0u);
    if (refused) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    } else {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(v[0], 0x0203);
    }
    status = 0xEE;
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), refused ? 2u : 0u);
    EXPECT_EQ(status, refused ? 0xEE : 0);
    // A count that cuts the last block leaves that block undecipherable; the
    // date and the flat-pad item's last value lie in it, the status byte does not.
    if (!refused && !(p.sessions && p.returned == SIM_RETURNED_PAYLOAD)) {
        EXPECT_EQ(v[3], 0xBEEF);
        EXPECT_EQ(date.wYear * 10000 + date.wMonth * 100 + date.wDay, 20170315);
        EXPECT_EQ(date.wHour, 0);
    }
    status = 0xEE;
    memset(&date, 0x5A, sizeof(date));
    EXPECT_EQ(c.GetBatteryPackDate(&status, 1, &date), refused ? 2u : 0u);
    if (!refused) {
        EXPECT_EQ(status, 1);  // absent
        EXPECT_EQ(date.wYear, 0x5A5A);  // untouched for an absent pack
    }
    c.CloseDriver();  // which session it ends, and only once, is the transcript checker's
    EXPECT_EQ(Exchanges(IOCTL_MISC_END_SESSION).size(), p.sessions ? 1u : 0u);
    EXPECT_EQ(Inspect::Context(c), nullptr);
    EXPECT_EQ(Inspect::Device(c), INVALID_HANDLE_VALUE);
    // A second close must not crash; a second end of session fails the transcript checker.
    c.CloseDriver();
}

std::vector<ProtocolAnswer> AllAnswers() {
    std::vector<ProtocolAnswer> all;
    for (bool sessions : {true, false})
        for (uint8_t returned : {SIM_RETURNED_CAPSULE, SIM_RETURNED_PADDED, SIM_RETURNED_PAYLOAD})
            for (uint8_t size : {SIM_REPLYSIZE_RIGHT, SIM_REPLYSIZE_ZERO, SIM_REPLYSIZE_ODD, SIM_REPLYSIZE_LARGE})
                all.push_back(ProtocolAnswer{sessions, returned, size});
    return all;
}

std::string AnswerName(const ::testing::TestParamInfo<ProtocolAnswer>& i) {
    static const char* const kReturned[] = {"Capsule", "Padded", "Payload"};
    static const char* const kSize[] = {"Right", "Zero", "Odd", "Large"};
    return std::string(i.param.sessions ? "Sessions" : "Plain") + kReturned[i.param.returned] +
           kSize[i.param.sizeField];
}

INSTANTIATE_TEST_SUITE_P(Driver, ReplyShapes, ::testing::ValuesIn(AllAnswers()), AnswerName);

TEST_F(ChannelTest, FlatPadStatusFiveReportsTheExtraLength) {
    scenario.flatPadStatus = 5;
    scenario.flatPadExtraLength = 0x30;
    scenario.flatPadValues[0] = 7;
    Open(c);
    BYTE status;
    WORD v[4] = {1, 1, 1, 1}, extra = 0;
    EXPECT_EQ(FlatPad(&status, v, &extra), 0u);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(extra, 0x30);
    EXPECT_EQ(v[0], 1);                               // values only on status 0
    EXPECT_EQ(FlatPad(&status, v, &extra), 3u);  // extra not 0: refused unsent
}

TEST_F(ChannelTest, CapsuleCallsCheckTheirArguments) {
    Apply();
    BYTE packet[22];
    FlatPadPacket(packet);
    ASSERT_EQ(c.OpenDriver(), 0u);
    // With sessions required and none set up, nothing is sent.
    DWORD returned;
    EXPECT_FALSE(c.EncapsuledDeviceIoControl(packet, 22, packet, 22, &returned));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Text(), MC_TEXT(L"EncapsuledDeviceIoControl: Session Not Initialized."));
    ASSERT_EQ(c._Initialize(), 0u);
    const size_t sent = Exchanges().size();

    const struct {
        LPVOID in;
        DWORD inSize;
        LPVOID out;
        DWORD outSize;
        LPDWORD returned;
    } invalid[] = {{nullptr, 4, packet, 22, &returned}, {packet, 22, nullptr, 4, &returned},
                   {packet, 0, packet, 22, &returned},  {packet, 22, packet, 0, &returned},
                   {packet, 22, packet, 22, nullptr}};
    for (const auto& a : invalid) {
        text[0] = 0;
        EXPECT_FALSE(c.EncapsuledDeviceIoControl(a.in, a.inSize, a.out, a.outSize, a.returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(Text(), MC_TEXT(L"EncapsuledDeviceIoControl: Invalid Argument(s)."));
    }
    EXPECT_EQ(c.CallMiscFunction(nullptr, 22), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: pPacket is NULL"));
    EXPECT_EQ(c.CallMiscFunction(packet, 0), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: sizePacket is '0'"));
    EXPECT_EQ(c.CallMiscFunction(packet, 20), 3u);  // the header asks 22
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: packet lengths exceed sizePacket"));
    packet[4] = 0;  // output length 0: refused as a buffer given with size 0
    EXPECT_EQ(c.CallMiscFunction(packet, 22), 2u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: DeviceIoControl failed."));
    EXPECT_EQ(Exchanges().size(), sent);
    c.CloseDriver();
    FlatPadPacket(packet);
    EXPECT_EQ(c.CallMiscFunction(packet, 22), 8u);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: _hDevice is NULL"));
}

}  // namespace
