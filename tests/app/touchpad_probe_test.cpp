// The touchpad probe against a recording stand-in for KvCom.dll (built as
// KvCom.dll beside this program): which slots are called with which
// arguments, in which order, what comes of each answer, and that every
// object is released and the library freed.
#include <gtest/gtest.h>

#include <string>

#include "app/app.h"

namespace {

struct ProbeCase {
    const char* name;
    const char* answers;  // create find22 find02 device property value
    UINT expectedId;
    BOOL expectedNoDevice;
    const char* expectedLog;
};

#define SEARCHES "create|find 2 2|find 0 2|"
#define DEVICE_CALLS "device 77|attach 77|get 10000171 in 0|release device live 1|"
#define API_RELEASED "release api live 0"

}  // namespace

TEST(TouchpadProbe, SlotsArgumentsAndOutcomes)
{
    const ProbeCase cases[] = {
        {"API object not created", "7 1 0 0 0 0", IDS_TOUCHPAD_NOT_FOUND, FALSE, "create"},
        {"SMBus search finds the touchpad", "0 0 0 0 0 0", IDS_SMBUS_DRIVER_DISABLED, FALSE,
         "create|find 2 2|" API_RELEASED},
        {"no touchpad", "0 1 1 0 0 0", 0, TRUE, SEARCHES API_RELEASED},
        {"device object not created", "0 1 0 3 0 0", IDS_TOUCHPAD_DISABLED, FALSE,
         SEARCHES "device 77|" API_RELEASED},
        {"property read fails", "0 1 0 0 4 0", IDS_TOUCHPAD_DISABLED, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 1: disabled", "0 1 0 0 0 1", IDS_TOUCHPAD_DISABLED, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 0: enabled", "0 1 0 0 0 0", 0, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
        {"property 2: enabled", "0 1 0 0 0 2", 0, FALSE, SEARCHES DEVICE_CALLS API_RELEASED},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetEnvironmentVariableA("QM_FAKE_KVCOM", c.answers);
        SetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", "");

        BOOL bNoDevice = 12345;
        EXPECT_EQ(c.expectedId, ProbeTouchpadApi(&bNoDevice));
        EXPECT_EQ(c.expectedNoDevice, bNoDevice);
        EXPECT_EQ(nullptr, GetModuleHandleW(L"KvCom.dll")) << "the library is freed";

        char log[4096] = {0};
        GetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", log, sizeof(log));
        EXPECT_EQ(std::string(c.expectedLog), std::string(log));
    }
    SetEnvironmentVariableA("QM_FAKE_KVCOM", NULL);
}
