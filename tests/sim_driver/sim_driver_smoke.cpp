// The installed substitute met directly through DeviceIoControl under Wine,
// without the client: the probe, the model record, and how short, long and
// failing answers cross the kernel boundary.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <vector>

#include "driver_channel/misc_protocol.h"
#include "sim/driver/sim_control.h"

namespace {

using namespace MiscProtocol;

struct Call {
    BOOL ok;
    DWORD error, returned;
    std::vector<uint8_t> out;
};

Call Send(HANDLE device, DWORD code, DWORD outSize) {
    Call c{FALSE, 0, 0xDEADBEEF, std::vector<uint8_t>(outSize, 0xCC)};
    SetLastError(0);
    c.ok = DeviceIoControl(device, code, nullptr, 0, outSize ? c.out.data() : nullptr, outSize, &c.returned, nullptr);
    c.error = c.ok ? 0 : GetLastError();
    return c;
}

TEST(SimDriverSmoke, ProbeModelRecordAndFaultsAcrossTheKernelBoundary) {
    SimScenario scenario;
    SimScenarioInitDefaults(&scenario);
    SimControl::SetModel(&scenario, "VKRB2379JPN0");
    // Every slot counts every model exchange; each fires on the next one, after a clean one.
    SimControl::AddFault(&scenario, SIM_TARGET_MODEL, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 1);
    SimControl::AddFault(&scenario, SIM_TARGET_MODEL, SIM_FAULT_LENGTH, +1, SIM_STATUS_OK, 2);
    SimControl::AddFault(&scenario, SIM_TARGET_MODEL, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_BUFFER_OVERFLOW, 3);
    SimControl::AddFault(&scenario, SIM_TARGET_MODEL, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_UNSUCCESSFUL, 4);
    ASSERT_TRUE(SimControl::RegisterInterface(0, L"1.0.8.0")) << GetLastError();
    ASSERT_TRUE(SimControl::SetScenario(scenario)) << GetLastError();
    HANDLE device = CreateFileW(SimControl::InterfacePath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    Call probe = Send(device, kIoctlMiscHandshake, 0);
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(probe.error, DWORD(ERROR_INVALID_PARAMETER));  // "sessions supported"
    const struct {
        BOOL ok;
        DWORD error, returned;  // returned 0: not checked
    } expected[] = {{TRUE, 0, kModelRecordSize},
                    {TRUE, 0, kModelRecordSize - 1},
                    {TRUE, 0, kModelRecordSize + 1},             // counted 129, the 128 that fit delivered
                    {FALSE, ERROR_MORE_DATA, kModelRecordSize},  // a warning delivers data and count
                    {FALSE, ERROR_GEN_FAILURE, 0}};              // an error: Wine delivers nothing
    for (const auto& e : expected) {
        Call c = Send(device, kIoctlMiscGetModelNumber, kModelRecordSize);
        EXPECT_EQ(c.ok, e.ok);
        EXPECT_EQ(c.error, e.error);
        if (e.returned) {
            EXPECT_EQ(c.returned, e.returned);
            EXPECT_EQ(0, memcmp(c.out.data(), scenario.modelRecord, std::min<DWORD>(e.returned, kModelRecordSize)));
        } else {
            EXPECT_EQ(c.out[0], 0xCC);
        }
    }
    CloseHandle(device);

    SimSummary summary;  // the driver's own record
    ASSERT_TRUE(SimControl::GetSummary(&summary));
    EXPECT_EQ(summary.opens, 1u);
    EXPECT_EQ(summary.closes, 1u);
    EXPECT_EQ(summary.exchangeCount, 6u);
    EXPECT_EQ(summary.violations, 0u);
    EXPECT_TRUE(SimControl::WriteTranscript(sizeof(void*) == 4 ? "sim_driver.smoke.32" : "sim_driver.smoke.64"));
}

}  // namespace
