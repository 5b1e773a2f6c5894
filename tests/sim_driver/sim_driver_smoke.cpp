// The substitute driver as a 32-bit program meets it under Wine: discovery
// through the setup API, opening the interface path, the handshake probe, the
// model record, and how faults cross the kernel boundary.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "driver_channel/misc_protocol.h"
#include "sim/driver/sim_control.h"

namespace {

using namespace MiscProtocol;

const GUID kMiscGuid = {kMiscInterfaceGuidData1, kMiscInterfaceGuidData2, kMiscInterfaceGuidData3,
                        {kMiscInterfaceGuidData4[0], kMiscInterfaceGuidData4[1], kMiscInterfaceGuidData4[2],
                         kMiscInterfaceGuidData4[3], kMiscInterfaceGuidData4[4], kMiscInterfaceGuidData4[5],
                         kMiscInterfaceGuidData4[6], kMiscInterfaceGuidData4[7]}};

// Finds the first present interface the way the product does, and reads its
// "DriverVersion".
bool Discover(std::wstring* path, std::wstring* version)
{
    HDEVINFO set = SetupDiGetClassDevsW(&kMiscGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    bool ok = SetupDiEnumDeviceInterfaces(set, nullptr, &kMiscGuid, 0, &data);
    DWORD required = 0;
    if (ok) SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    std::vector<uint8_t> buffer(required + 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    ok = ok && required != 0 && SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, &required, &device);
    if (ok) {
        *path = detail->DevicePath;
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        ok = key != INVALID_HANDLE_VALUE;
        if (ok) {
            wchar_t text[129] = {};
            DWORD bytes = 256;
            ok = RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) ==
                 ERROR_SUCCESS;
            *version = text;
            RegCloseKey(key);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

struct Call {
    BOOL ok;
    DWORD error;
    DWORD returned;
    std::vector<uint8_t> out;
};

Call Send(HANDLE device, DWORD code, const void* in, DWORD inSize, DWORD outSize)
{
    Call c;
    c.out.assign(outSize, 0xCC);
    c.returned = 0xDEADBEEF;
    SetLastError(0);
    c.ok = DeviceIoControl(device, code, const_cast<void*>(in), inSize, outSize ? c.out.data() : nullptr, outSize,
                           &c.returned, nullptr);
    c.error = c.ok ? 0 : GetLastError();
    return c;
}

class SimDriverSmoke : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimScenarioInitDefaults(&scenario_);
        SimControl::SetModel(&scenario_, "VKRB2379JPN0");
        ASSERT_TRUE(SimControl::RegisterInterface(0, L"1.0.8.0")) << GetLastError();
    }
    HANDLE Open()
    {
        EXPECT_TRUE(SimControl::SetScenario(scenario_)) << GetLastError();
        std::wstring path, version;
        EXPECT_TRUE(Discover(&path, &version));
        EXPECT_EQ(version, L"1.0.8.0");
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    SimScenario scenario_;
};

TEST_F(SimDriverSmoke, DiscoveryOpenProbeAndModelRecord)
{
    EXPECT_EQ(SimControl::InterfacePath(0), L"\\\\?\\root#qmsim#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}");
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();

    Call probe = Send(device, kIoctlMiscHandshake, nullptr, 0, 0);
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(probe.error, DWORD(ERROR_INVALID_PARAMETER));  // "sessions supported"

    Call model = Send(device, kIoctlMiscGetModelNumber, nullptr, 0, kModelRecordSize);
    ASSERT_TRUE(model.ok) << model.error;
    EXPECT_EQ(model.returned, kModelRecordSize);
    EXPECT_EQ(0, memcmp(model.out.data(), scenario_.modelRecord, kModelRecordSize));
    EXPECT_EQ(0, memcmp(model.out.data() + kModelShortOffset, "VKRB2379JPN0", 12));
    CloseHandle(device);

    SimSummary summary;
    ASSERT_TRUE(SimControl::GetSummary(&summary));
    EXPECT_EQ(summary.opens, 1u);
    EXPECT_EQ(summary.closes, 1u);
    std::vector<SimExchange> record;
    ASSERT_TRUE(SimControl::GetExchanges(&record));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0].code, kIoctlMiscHandshake);
    EXPECT_EQ(record[0].win32Error, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(record[1].code, kIoctlMiscGetModelNumber);
    EXPECT_EQ(record[1].returned, kModelRecordSize);
    EXPECT_TRUE(SimControl::WriteTranscript("sim_driver_smoke"));
}

TEST_F(SimDriverSmoke, DriverWithoutSessionsAnswersTheProbeNotSupported)
{
    scenario_.flags = 0;
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Call probe = Send(device, kIoctlMiscHandshake, nullptr, 0, 0);
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(probe.error, DWORD(ERROR_NOT_SUPPORTED));
    CloseHandle(device);
}

TEST_F(SimDriverSmoke, RefusedOpen)
{
    scenario_.flags |= SIM_FLAG_REFUSE_OPEN;
    HANDLE device = Open();
    DWORD error = GetLastError();
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    // Wine: the link is gone (2); Windows would deliver the refused create (5).
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED) << error;
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    // Back to normal, the same path opens again.
    scenario_.flags &= ~SIM_FLAG_REFUSE_OPEN;
    device = Open();
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
}

// What reaches a 32-bit caller when the driver's answer is one byte short or
// long, or fails while returning data.
TEST_F(SimDriverSmoke, FaultsCrossTheKernelBoundary)
{
    SimControl::AddFault(&scenario_, SIM_TARGET_MODEL, SIM_FAULT_LENGTH, -1);
    SimControl::AddFault(&scenario_, SIM_TARGET_MODEL, SIM_FAULT_LENGTH, +1, SIM_STATUS_OK, 0, 1);
    SimControl::AddFault(&scenario_, SIM_TARGET_MODEL, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, 0, 1);
    SimControl::AddFault(&scenario_, SIM_TARGET_MODEL, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_UNSUCCESSFUL, 0, 1);
    // The four slots all count every model exchange; each fires on a later one.
    scenario_.faults[1].skip = 1;
    scenario_.faults[2].skip = 2;
    scenario_.faults[3].skip = 3;
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    Call shortAnswer = Send(device, kIoctlMiscGetModelNumber, nullptr, 0, kModelRecordSize);
    EXPECT_TRUE(shortAnswer.ok);
    EXPECT_EQ(shortAnswer.returned, kModelRecordSize - 1);

    // One byte long: the count says 129, the buffer holds the 128 that fit.
    Call longAnswer = Send(device, kIoctlMiscGetModelNumber, nullptr, 0, kModelRecordSize);
    EXPECT_TRUE(longAnswer.ok);
    EXPECT_EQ(longAnswer.returned, kModelRecordSize + 1);
    EXPECT_EQ(0, memcmp(longAnswer.out.data(), scenario_.modelRecord, kModelRecordSize));

    // A warning status fails the call but delivers the data and its count.
    Call overflow = Send(device, kIoctlMiscGetModelNumber, nullptr, 0, kModelRecordSize);
    EXPECT_FALSE(overflow.ok);
    EXPECT_EQ(overflow.error, DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(overflow.returned, kModelRecordSize);
    EXPECT_EQ(0, memcmp(overflow.out.data(), scenario_.modelRecord, kModelRecordSize));

    // An error status delivers nothing: Wine leaves both buffer and count alone.
    Call failed = Send(device, kIoctlMiscGetModelNumber, nullptr, 0, kModelRecordSize);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, DWORD(ERROR_GEN_FAILURE));
    EXPECT_EQ(failed.out[0], 0xCC);
    CloseHandle(device);
}

}  // namespace
