// What an application or a set-up program uses of Mutewell: its private
// property set, answered on the master's stack, and the driver-key option that
// makes a filter device the master.  It includes nothing of the logic or the
// framework, so programs outside the driver may include it.
#pragma once

#include <ks.h>

// {B6DA90F1-C840-4EEB-9A2C-FDF3E043BD67}
DEFINE_GUID(KSPROPSETID_SwitchMute, 0xB6DA90F1, 0xC840, 0x4EEB, 0x9A, 0x2C, 0xFD, 0xF3, 0xE0, 0x43,
            0xBD, 0x67);

// REG_DWORD in the device's driver key; 1 makes Mutewell on that device the master.
#define MUTEWELL_OPTION_MASTER "ZSAMAudioFilterMaster"
