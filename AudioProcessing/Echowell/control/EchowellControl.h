// What an application or a set-up program uses of Echowell: its private
// property set, answered on the master's stack, and the driver-key option that
// makes a filter device the master.  It includes nothing of the logic or the
// framework, so programs outside the driver may include it.
#pragma once

#include <ks.h>

// {05F610B4-A4F5-4471-9BF6-5A17B4D13E7F}
DEFINE_GUID(KSPROPSETID_AecControl, 0x05F610B4, 0xA4F5, 0x4471, 0x9B, 0xF6, 0x5A, 0x17, 0xB4, 0xD1,
            0x3E, 0x7F);

// REG_DWORD in the device's driver key; 1 makes Echowell on that device the master.
#define ECHOWELL_OPTION_MASTER "ZAECAudioFilterMaster"
