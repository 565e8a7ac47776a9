// What Windows says about the machine's power supply, read as the power seam's
// PowerState (platform/power.h). Pure, so that tests can give it every answer.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/power.h"

namespace qx::os {

// GetSystemPowerStatus's answer: ACLineStatus 0 is on battery, 1 on mains,
// 255 unknown (nothing known then); BatteryFlag 128 means the machine has no
// battery (on mains, no charge), 255 that its state is unknown;
// BatteryLifePercent 0..100 is the charge, 255 unknown (-1).
PowerState PowerStateFromStatus(const SYSTEM_POWER_STATUS& status);

}  // namespace qx::os
