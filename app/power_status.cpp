// What the system's power status says about the AC adapter and the battery.
#include "app/app.h"

PowerStatus ReadPowerStatus()
{
    PowerStatus power = {false, false};
    SYSTEM_POWER_STATUS sps;
    ZeroMemory(&sps, sizeof(sps));
    if (GetSystemPowerStatus(&sps)) {
        power.bAcOffline = sps.ACLineStatus == 0;
        // The whole flag value: 255 (unknown) or 128 with other bits is a battery.
        power.bNoBattery = sps.BatteryFlag == 128;
    }
    return power;
}
