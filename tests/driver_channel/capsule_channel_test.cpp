// Capsule calls through the installed substitute: replies the client must
// refuse or pass on (each kind of malformed header is in the native
// driver_channel_capsule_test), the status-4 repeat and argument checks.
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
    DWORD lastError;      // after EncapsuledDeviceIoControl
    const wchar_t* size;  // the size in the text; null: no text
    DWORD bytesReturned;
    bool sequenceRises;
};

class CapsuleReply : public ChannelTest, public ::testing::WithParamInterface<ReplyFault> {};

TEST_P(CapsuleReply, IsRefusedOrPassedOnAndKeepsTheSequenceInStep) {
    const ReplyFault& f = GetParam();
    scenario.flatPadValues[0] = 0x1234;
    // The fault fires twice: once for the direct call, once through CallMiscFunction.
    SimControl::AddFault(&scenario, SIM_TARGET_CAPSULE, f.kind, f.param, f.status, 0, 2);
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE packet[22];
    FlatPadPacket(packet);
    DWORD returned = 0xFFFF;
    SetLastError(kUnchanged);
    EXPECT_FALSE(c.EncapsuledDeviceIoControl(packet, 22, packet, 22, &returned));
    EXPECT_EQ(GetLastError(), f.lastError);
    EXPECT_EQ(Text(), f.size ? MC_TEXT(L"EncapsuledDeviceIoControl: Invalid structure returned. size = ") +
                                   std::wstring(f.size)
                             : L"");
    EXPECT_EQ(returned, f.bytesReturned);
    if (f.bytesReturned) {  // the data delivered is the answer
        EXPECT_EQ(packet[0] | packet[12] << 8 | packet[13] << 16, 0x123400);
    }
    EXPECT_EQ(Inspect::Sequence(c), f.sequenceRises ? 1u : 0u);

    // Through CallMiscFunction every such failure is result 2, told apart by the last error.
    BYTE status = 0xEE;
    WORD v[4], extra = 0;
    SetLastError(kUnchanged);
    EXPECT_EQ(FlatPad(c, &status, v, &extra), 2u);
    EXPECT_EQ(GetLastError(), f.lastError);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: DeviceIoControl failed."));
    EXPECT_EQ(Inspect::Sequence(c), f.sequenceRises ? 2u : 0u);
    // The next call is numbered as the driver expects and succeeds.
    EXPECT_EQ(FlatPad(c, &status, v, &extra), 0u) << text;
    EXPECT_EQ(status, 0);
    c.CloseDriver();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CapsuleReply,
    ::testing::Values(
        ReplyFault{"NothingReturned", SIM_FAULT_SHORT_REPLY, 0, SIM_STATUS_OK, kUnchanged, L"0", 0, true},
        ReplyFault{"ElevenBytes", SIM_FAULT_SHORT_REPLY, 11, SIM_STATUS_OK, kUnchanged, L"11", 0, true},
        // Longer than offered, but inside the reply buffer: the first 22 bytes.
        ReplyFault{"PayloadLongerThanOutput", SIM_FAULT_LONG_PAYLOAD, 2, SIM_STATUS_OK, ERROR_MORE_DATA, nullptr, 22,
                   true},
        // A payload whose capsule would not fit the buffer has a size field beyond it.
        ReplyFault{"PayloadBeyondBuffer", SIM_FAULT_LONG_PAYLOAD, 10, SIM_STATUS_OK, ERROR_INVALID_DATA, L"48", 0, true},
        ReplyFault{"SizeFieldBeyondBuffer", SIM_FAULT_SIZE_FIELD, 48, SIM_STATUS_OK, ERROR_INVALID_DATA, L"48", 0, true},
        // A size field too small for the payload it carries.
        ReplyFault{"SizeFieldShortOfPayload", SIM_FAULT_SIZE_FIELD, 32, SIM_STATUS_OK, ERROR_INVALID_DATA, L"22", 0,
                   true},
        // A failing call that still returns a whole reply delivers its data.
        ReplyFault{"FailsWithData", SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, nullptr,
                   22, true},
        ReplyFault{"FailsWithoutData", SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE, L"0", 0, false}),
    [](const ::testing::TestParamInfo<ReplyFault>& i) { return std::string(i.param.name); });

class StatusFour : public ChannelTest, public ::testing::WithParamInterface<int> {};

// `count` answers carry status 4; the caller sees the second answer's status.
TEST_P(StatusFour, IsRepeatedOnceWithTheSavedPacket) {
    const int count = GetParam();
    SimControl::AddFault(&scenario, SIM_TARGET_CAPSULE, SIM_FAULT_MISC_STATUS, 4, SIM_STATUS_OK, 0, count);
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE status = 0xEE;
    SYSTEMTIME date;
    memset(&date, 0x5A, sizeof(date));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 0u);
    EXPECT_GE(GetTickCount64() - start, 90u);  // the repeat waits about 100 ms
    EXPECT_EQ(status, count == 1 ? 0 : 4);
    EXPECT_EQ(Count(IOCTL_MISC_CAPSULE), 2);  // never a third time
    EXPECT_EQ(Inspect::Sequence(c), 2u);
    EXPECT_EQ(Summary().expectedSequence, 2u);  // both requests were in order
    EXPECT_EQ(date.wYear, status == 0 ? 2017 : 0x5A5A);
    c.CloseDriver();
}

INSTANTIATE_TEST_SUITE_P(Answers, StatusFour, ::testing::Values(1, 2));

TEST_F(ChannelTest, FlatPadStatusFiveReportsTheExtraLength) {
    scenario.flatPadStatus = 5;
    scenario.flatPadExtraLength = 0x30;
    scenario.flatPadValues[0] = 7;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE status;
    WORD v[4] = {1, 1, 1, 1}, extra = 0;
    EXPECT_EQ(FlatPad(c, &status, v, &extra), 0u);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(extra, 0x30);
    EXPECT_EQ(v[0], 1);                               // values only on status 0
    EXPECT_EQ(FlatPad(c, &status, v, &extra), 3u);  // extra not 0
    EXPECT_EQ(Count(IOCTL_MISC_CAPSULE), 1);
    c.CloseDriver();
}

TEST_F(ChannelTest, CapsuleCallsCheckTheirArguments) {
    Apply();
    CMiscCommon c(text);
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

    struct {
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
    const struct {
        bool null;
        DWORD size;
        const wchar_t* text;
    } calls[] = {{true, 22, MC_TEXT(L"CallMiscFunction: pPacket is NULL")},
                 {false, 0, MC_TEXT(L"CallMiscFunction: sizePacket is '0'")},
                 {false, 20, MC_TEXT(L"CallMiscFunction: packet lengths exceed sizePacket")}};  // header asks 22
    for (const auto& a : calls) {
        EXPECT_EQ(c.CallMiscFunction(a.null ? nullptr : packet, a.size), 3u);
        EXPECT_EQ(Text(), a.text);
    }
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

// Layout and ciphering of capsules are recomputed by the transcript checker;
// here the helpers' refusals.
TEST_F(ChannelTest, CipherHelpersNeedACapsuleAndAContext) {
    scenario.flags &= ~SIM_FLAG_SESSIONS;
    Apply();
    CMiscCommon c(text);
    ASSERT_EQ(c.OpenDriver(), 0u);
    LPBYTE capsule = c._InitializeMessageCapsule(nullptr, 9);
    ASSERT_NE(capsule, nullptr);
    for (bool encipher : {true, false}) {
        const std::wstring name = encipher ? L"_Encrypt: " : L"_Decrypt: ";
        EXPECT_EQ(encipher ? c._Encrypt(capsule) : c._Decrypt(capsule), 8u);
        EXPECT_EQ(Text(), MC_TEXT(L"") + name + L"BlowFish Context is not initialized.");
        EXPECT_EQ(encipher ? c._Encrypt(nullptr) : c._Decrypt(nullptr), 3u);
        EXPECT_EQ(Text(), MC_TEXT(L"") + name + L"capsule is NULL");
    }
    HeapFree(GetProcessHeap(), 0, capsule);
    c.CloseDriver();
}

}  // namespace
