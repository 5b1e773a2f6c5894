// Capsule calls through the installed substitute: replies the client must
// refuse or pass on, the status-4 repeat, argument checks and the capsule
// helpers.
#include "channel_fixture.h"

namespace {

// A flat-pad query packet as GetFlatPadSetting builds it.
void FlatPadPacket(BYTE p[22]) {
    memset(p, 0, 22);
    p[0] = 0x11;
    p[1] = 1;
    p[2] = 22;
    p[4] = 22;
    p[8] = 0x02;
    p[9] = 0x80;
}

// Marks a last error the call must leave alone.
constexpr DWORD kUnchanged = 0xDEADu;

struct ReplyFault {
    const char* name;
    uint32_t kind;
    int32_t param;
    uint32_t status;
    DWORD lastError;       // after EncapsuledDeviceIoControl
    const wchar_t* text;   // null: the text is not written
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
    EXPECT_EQ(Text(), f.text ? f.text : L"");
    EXPECT_EQ(returned, f.bytesReturned);
    if (f.bytesReturned) {  // the data delivered is the answer
        EXPECT_EQ(packet[0], 0);
        EXPECT_EQ(packet[12] | (packet[13] << 8), 0x1234);
    }
    EXPECT_EQ(Inspect::Sequence(c), f.sequenceRises ? 1u : 0u);

    // Through CallMiscFunction every such failure is result 2, told apart by
    // the last error.
    BYTE status = 0xEE;
    WORD v[4], extra = 0;
    SetLastError(kUnchanged);
    EXPECT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 2u);
    EXPECT_EQ(GetLastError(), f.lastError);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: DeviceIoControl failed."));
    EXPECT_EQ(Inspect::Sequence(c), f.sequenceRises ? 2u : 0u);

    // The next call is numbered as the driver expects and succeeds.
    EXPECT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 0u) << text;
    EXPECT_EQ(status, 0);
    c.CloseDriver();
}

#define INVALID_STRUCTURE MC_TEXT(L"EncapsuledDeviceIoControl: Invalid structure returned. size = ")
INSTANTIATE_TEST_SUITE_P(
    Faults, CapsuleReply,
    ::testing::Values(
        ReplyFault{"NothingReturned", SIM_FAULT_SHORT_REPLY, 0, SIM_STATUS_OK, kUnchanged, INVALID_STRUCTURE L"0", 0, true},
        ReplyFault{"ElevenBytes", SIM_FAULT_SHORT_REPLY, 11, SIM_STATUS_OK, kUnchanged, INVALID_STRUCTURE L"11", 0, true},
        // Longer than offered, but inside the reply buffer: the first 22 bytes.
        ReplyFault{"PayloadLongerThanOutput", SIM_FAULT_LONG_PAYLOAD, 2, SIM_STATUS_OK, ERROR_MORE_DATA, nullptr, 22,
                   true},
        // A payload whose capsule would not fit the buffer has a size field beyond it.
        ReplyFault{"PayloadBeyondBuffer", SIM_FAULT_LONG_PAYLOAD, 10, SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"48", 0, true},
        ReplyFault{"SizeFieldBelow16", SIM_FAULT_SIZE_FIELD, 8, SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"8", 0, true},
        ReplyFault{"SizeFieldNotBlocks", SIM_FAULT_SIZE_FIELD, 36, SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"36", 0, true},
        ReplyFault{"SizeFieldBeyondBuffer", SIM_FAULT_SIZE_FIELD, 48, SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"48", 0, true},
        ReplyFault{"SizeFieldHuge", SIM_FAULT_SIZE_FIELD, int32_t(0x7FFFFFF8), SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"2147483640", 0, true},
        // A size field too small for the payload it carries.
        ReplyFault{"SizeFieldShortOfPayload", SIM_FAULT_SIZE_FIELD, 32, SIM_STATUS_OK, ERROR_INVALID_DATA,
                   INVALID_STRUCTURE L"22", 0, true},
        // A failing call that still returns a whole reply delivers its data.
        ReplyFault{"FailsWithData", SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, nullptr,
                   22, true},
        ReplyFault{"FailsWithoutData", SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE,
                   INVALID_STRUCTURE L"0", 0, false}),
    [](const ::testing::TestParamInfo<ReplyFault>& i) { return std::string(i.param.name); });

struct RetryCase {
    const char* name;
    uint32_t count;  // how many answers carry status 4
    uint8_t status;  // the status the caller sees
};

class StatusFour : public ChannelTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(StatusFour, IsRepeatedOnceWithTheSavedPacket) {
    SimControl::AddFault(&scenario, SIM_TARGET_CAPSULE, SIM_FAULT_MISC_STATUS, 4, SIM_STATUS_OK, 0, GetParam().count);
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE status = 0xEE;
    SYSTEMTIME date;
    memset(&date, 0x5A, sizeof(date));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 0u);
    EXPECT_GE(GetTickCount64() - start, 90u);  // the repeat waits about 100 ms
    EXPECT_EQ(status, GetParam().status);
    EXPECT_EQ(Count(IOCTL_MISC_CAPSULE), 2);  // never a third time
    EXPECT_EQ(Inspect::Sequence(c), 2u);
    EXPECT_EQ(Summary().expectedSequence, 2u);  // both requests were in order
    EXPECT_EQ(date.wYear, status == 0 ? 2017 : 0x5A5A);
    c.CloseDriver();
}

INSTANTIATE_TEST_SUITE_P(Answers, StatusFour,
                         ::testing::Values(RetryCase{"Once", 1, 0}, RetryCase{"Twice", 2, 4}),
                         [](const ::testing::TestParamInfo<RetryCase>& i) { return std::string(i.param.name); });

TEST_F(ChannelTest, FlatPadStatusFiveReportsTheExtraLength) {
    scenario.flatPadStatus = 5;
    scenario.flatPadExtraLength = 0x30;
    scenario.flatPadValues[0] = 7;
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE status;
    WORD v[4] = {1, 1, 1, 1}, extra = 0;
    EXPECT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 0u);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(extra, 0x30);
    EXPECT_EQ(v[0], 1);  // values only on status 0
    EXPECT_EQ(c.GetFlatPadSetting(&status, &v[0], &v[1], &v[2], &v[3], &extra), 3u);  // extra not 0
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

    struct Args {
        LPVOID in;
        DWORD inSize;
        LPVOID out;
        DWORD outSize;
        LPDWORD returned;
    } invalid[] = {{nullptr, 4, packet, 22, &returned}, {packet, 22, nullptr, 4, &returned},
                   {packet, 0, packet, 22, &returned},  {packet, 22, packet, 0, &returned},
                   {packet, 22, packet, 22, nullptr}};
    for (const Args& a : invalid) {
        text[0] = 0;
        EXPECT_FALSE(c.EncapsuledDeviceIoControl(a.in, a.inSize, a.out, a.outSize, a.returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(Text(), MC_TEXT(L"EncapsuledDeviceIoControl: Invalid Argument(s)."));
    }

    EXPECT_EQ(c.CallMiscFunction(nullptr, 22), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: pPacket is NULL"));
    EXPECT_EQ(c.CallMiscFunction(packet, 0), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"CallMiscFunction: sizePacket is '0'"));
    EXPECT_EQ(c.CallMiscFunction(packet, 20), 3u);  // the header asks for 22 bytes
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

TEST_F(ChannelTest, CapsuleHelpersSizeAndCipherTheirBlocks) {
    scenario.flags &= ~SIM_FLAG_SESSIONS;
    Apply();
    CMiscCommon c(text);
    ASSERT_EQ(c.OpenDriver(), 0u);
    const DWORD sizes[][2] = {{0, 16}, {1, 24}, {8, 24}, {9, 32}, {22, 40}};
    const BYTE payload[22] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
    for (const auto& s : sizes) {
        LPBYTE capsule = c._InitializeMessageCapsule(payload, s[0]);
        ASSERT_NE(capsule, nullptr);
        EXPECT_EQ(HeapSize(GetProcessHeap(), 0, capsule), SIZE_T(s[1]));  // from the process heap
        DWORD n, size;
        memcpy(&n, capsule, 4);
        memcpy(&size, capsule + 4, 4);
        EXPECT_EQ(n, s[0]);
        EXPECT_EQ(size, s[1]);
        EXPECT_EQ(memcmp(capsule + 12, payload, s[0]), 0);
        for (DWORD i = 12 + s[0]; i < s[1]; ++i) EXPECT_EQ(capsule[i], 0) << i;

        EXPECT_EQ(c._Encrypt(capsule), 8u);
        EXPECT_EQ(Text(), MC_TEXT(L"_Encrypt: BlowFish Context is not initialized."));
        EXPECT_EQ(c._Decrypt(capsule), 8u);
        EXPECT_EQ(Text(), MC_TEXT(L"_Decrypt: BlowFish Context is not initialized."));
        HeapFree(GetProcessHeap(), 0, capsule);
    }
    EXPECT_EQ(c._Encrypt(nullptr), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"_Encrypt: capsule is NULL"));
    EXPECT_EQ(c._Decrypt(nullptr), 3u);
    EXPECT_EQ(Text(), MC_TEXT(L"_Decrypt: capsule is NULL"));
    c.CloseDriver();
}

TEST_F(ChannelTest, EncryptAndDecryptCoverExactlyThePaddedPayload) {
    Apply();
    CMiscCommon c(text);
    OpenAndInitialize(c);
    BYTE payload[9] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    LPBYTE capsule = c._InitializeMessageCapsule(payload, 9);
    ASSERT_NE(capsule, nullptr);
    BYTE copy[32];
    memcpy(copy, capsule, 32);
    ASSERT_EQ(c._Encrypt(capsule), 0u);
    EXPECT_EQ(memcmp(capsule, copy, 12), 0);           // header in the clear
    EXPECT_EQ(memcmp(capsule + 28, copy + 28, 4), 0);  // and the trailer
    EXPECT_NE(memcmp(capsule + 12, copy + 12, 8), 0);
    EXPECT_NE(memcmp(capsule + 20, copy + 20, 8), 0);
    ASSERT_EQ(c._Decrypt(capsule), 0u);
    EXPECT_EQ(memcmp(capsule, copy, 32), 0);
    HeapFree(GetProcessHeap(), 0, capsule);
    c.CloseDriver();
}

}  // namespace
