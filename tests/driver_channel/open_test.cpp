// Discovery, the version gate, the model record and CloseDriver.
#include "channel_fixture.h"

namespace {

TEST_F(ChannelTest, OpenDriverOpensTheFirstInterface) {
    ASSERT_TRUE(SimControl::RegisterInterface(1, L"2.0.0.0"));
    Apply();
    wcscpy(text, L"stale");
    ASSERT_EQ(c.OpenDriver(), 0u);
    EXPECT_EQ(Text(), L"");
    EXPECT_EQ(Inspect::Numbers(c), (Version4{1, 0, 8, 0}));  // instance 0's, not instance 1's
    EXPECT_EQ(Summary().opens, 1u);
}

constexpr DWORD kAnyError = 0xFFFFFFFFu;  // refused opens fail in more than one way

struct OpenFailure {
    const char* name;
    void (*arrange)(SimScenario*);
    DWORD result, lastError;
    const wchar_t* text;
};

class OpenDriverFails : public ChannelTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenDriverFails, WithItsCodeTextAndLastError) {
    const OpenFailure& f = GetParam();
    f.arrange(&scenario);
    Apply();
    const DWORD result = c.OpenDriver();
    const DWORD error = GetLastError();
    if (f.result == 11 && result == 0 && Summary().refusedOpens > 0)
        GTEST_SKIP() << "this platform's CreateFileW ignores a failed IRP_MJ_CREATE";
    EXPECT_EQ(result, f.result);
    EXPECT_TRUE(f.lastError == kAnyError ? error != ERROR_SUCCESS : error == f.lastError) << error;
    EXPECT_EQ(Text(), f.text);
    EXPECT_EQ(Inspect::Device(c), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Inspect::Version(c) == nullptr, f.result != 11);
    c.CloseDriver();  // harmless on a closed object
    EXPECT_EQ(Summary().exchangeCount, 0u);
    ASSERT_TRUE(SimControl::SetLinked(0, true));
}

#define QUERY_FAILED MC_TEXT(L"OpenDriver: RegQueryValueEx failed.")
INSTANTIATE_TEST_SUITE_P(
    Cases, OpenDriverFails,
    ::testing::Values(
        OpenFailure{"NoInterface", [](SimScenario*) { ASSERT_TRUE(SimControl::SetLinked(0, false)); }, 6,
                    ERROR_NO_MORE_ITEMS, MC_TEXT(L"OpenDriver: SetupDiEnumDeviceInterfaces failed.")},
        OpenFailure{"OpenRefused", [](SimScenario* s) { s->flags |= SIM_FLAG_REFUSE_OPEN; }, 11, kAnyError,
                    MC_TEXT(L"OpenDriver: CreateFile failed.")},
        OpenFailure{"NoVersionValue", [](SimScenario*) { ASSERT_TRUE(SimControl::DeleteDriverVersion(0)); }, 2,
                    ERROR_FILE_NOT_FOUND, QUERY_FAILED},
        // 129 characters do not fit into the 256 bytes read.
        OpenFailure{"VersionTooLong",
                    [](SimScenario*) {
                        ASSERT_TRUE(SimControl::SetDriverVersion(0, (L"1.0.8.0" + std::wstring(122, L' ')).c_str()));
                    },
                    2, ERROR_MORE_DATA, QUERY_FAILED}),
    RowName<OpenFailure>);

struct VersionCase {
    const char* name;
    std::wstring version;
    SimControl::VersionFormat format;
    Version4 numbers;
    bool supported;
};

class VersionGate : public ChannelTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionGate, ParsesAndGatesEveryOperation) {
    const VersionCase& v = GetParam();
    Apply();
    ASSERT_TRUE(SimControl::SetDriverVersion(0, v.version.c_str(), v.format));
    ASSERT_EQ(c.OpenDriver(), 0u) << text;
    EXPECT_EQ(Inspect::Numbers(c), v.numbers);
    EXPECT_EQ(c.IsDriverSupported(), v.supported);
    BYTE model[20] = {}, status = 0xEE, packet[14] = {0x42, 2, 10, 0, 14, 0};
    DWORD size = sizeof(model);
    SYSTEMTIME date = {};
    EXPECT_EQ(c.GetModelNumber(model, &size), v.supported ? 0u : 10u);
    EXPECT_EQ(c._Initialize(), v.supported ? 0u : 10u);
    if (!v.supported) {
        EXPECT_EQ(c.CallMiscFunction(packet, sizeof(packet)), 10u);
        EXPECT_EQ(c.GetBatteryPackDate(&status, 0, &date), 10u);
        EXPECT_EQ(Summary().exchangeCount, 0u);  // an old driver is only opened
    }
}

using VF = SimControl::VersionFormat;
INSTANTIATE_TEST_SUITE_P(
    Texts, VersionGate,
    ::testing::Values(VersionCase{"v1_0_7_99", L"1.0.7.99", VF::String, {1, 0, 7, 99}, false},
                      VersionCase{"v0_9_9_9", L"0.9.9.9", VF::String, {0, 9, 9, 9}, false},
                      VersionCase{"v2_0_0_0", L"2.0.0.0", VF::String, {2, 0, 0, 0}, true},
                      VersionCase{"v1_2", L"1.2", VF::String, {1, 2, 0, 0}, true},
                      VersionCase{"NoTerminator", L"1.0.8.3", VF::StringWithoutTerminator, {1, 0, 8, 3}, true},
                      // 128 characters, no terminator: the whole text is scanned, nothing after it.
                      VersionCase{"FullBufferNoTerminator", L"1.0." + std::wstring(123, L'0') + L"8", VF::Binary,
                                  {1, 0, 8, 0}, true}),
    RowName<VersionCase>);

struct ModelCase {
    const char* name;
    int longLength;  // -1: a long form from `longForm`
    const char* longForm;
    DWORD capacity;
    bool nullBuffer;
    DWORD result, size;
    const char* bytes;
};

class ModelNumber : public ChannelTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelNumber, ChoosesTheFormByLengthAndCapacity) {
    const ModelCase& m = GetParam();
    SimControl::SetModel(&scenario, "VKRB2379JPN0", m.longForm);
    if (m.longLength >= 0) SimControl::SetModelLongLength(&scenario, uint8_t(m.longLength));
    Apply();
    ASSERT_EQ(c.OpenDriver(), 0u);
    wcscpy(text, L"untouched");
    BYTE buffer[32];
    memset(buffer, 0xCC, sizeof(buffer));
    DWORD size = m.capacity;
    EXPECT_EQ(c.GetModelNumber(m.nullBuffer ? nullptr : buffer, &size), m.result);
    EXPECT_EQ(size, m.size);
    EXPECT_EQ(Text(), L"untouched");
    const size_t n = m.bytes ? strlen(m.bytes) : 0;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), m.bytes ? m.bytes : "");
    EXPECT_EQ(buffer[n], 0xCC);  // nothing beyond, no terminator
}

INSTANTIATE_TEST_SUITE_P(
    Records, ModelNumber,
    ::testing::Values(ModelCase{"Short", -1, nullptr, 20, false, 0, 12, "VKRB2379JPN0"},
                      ModelCase{"Long15In16", -1, "VKRB2379JPNX-AB", 16, false, 0, 12, "VKRB2379JPN0"},
                      ModelCase{"Long19In20", -1, "VKRB2379JPNX-ABCDEF", 20, false, 0, 19, "VKRB2379JPNX-ABCDEF"},
                      ModelCase{"L20", 20, nullptr, 20, false, 2, 20, nullptr},
                      ModelCase{"L5", 5, nullptr, 20, false, 2, 20, nullptr},
                      ModelCase{"SizeQuery", -1, nullptr, 0, true, 5, 12, nullptr},
                      ModelCase{"SizeQueryLong", -1, "VKRB2379JPNX-AB", 0, true, 5, 12, nullptr},
                      ModelCase{"EightBytes", -1, nullptr, 8, false, 5, 12, nullptr}),
    RowName<ModelCase>);

TEST_F(ChannelTest, ModelNumberRejectsBadArgumentsAndAnUnusableRecord) {
    SimControl::AddFault(&scenario, SIM_TARGET_MODEL, SIM_FAULT_LENGTH, -1);
    Apply();
    BYTE buffer[20];
    DWORD size = 20;
    EXPECT_EQ(c.GetModelNumber(buffer, &size), 10u);  // not open: the version is not known yet
    ASSERT_EQ(c.OpenDriver(), 0u);
    EXPECT_EQ(c.GetModelNumber(buffer, nullptr), 3u);
    size = 5;
    EXPECT_EQ(c.GetModelNumber(nullptr, &size), 3u);
    EXPECT_EQ(Text(), L"");
    EXPECT_EQ(c.GetModelNumber(buffer, &size), 2u);  // 127 bytes came back
    EXPECT_EQ(Text(), MC_TEXT(L"GetModelNumber: DeviceIoControl failed."));
    c.CloseDriver();
    EXPECT_EQ(c.GetModelNumber(buffer, &size), 8u);
}

}  // namespace

