// What test programs need of the framework's internals, and nothing a filter
// logic or a tool may use: the entry point of a framework run in-process, the
// driver-wide state a test of a logic sets up without a DriverEntry, and the
// framework's words of a filter device.  Linked by tests only
// (zv_framework_testing); ZvKAPFWiTables.h beside it shows the tables.
#pragma once

#include <wdm.h>

#include "FilterLogicServices.h"

// The framework's DriverEntry, for a machine's built-in driver
// (kp::machine's UseBuiltinDriver) that runs the framework in-process.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The channel table and the shared variables as DriverEntry leaves them:
// every channel free, every shared variable zero.
void ResetChannelsAndVariables();
// An empty device list: the side effects of the shared variables (DirectSound
// disabled, a rebuild of the lists) then reach no device.
void ResetDeviceList();

// Of a device object of the framework's filter (its driver's own):
// 1 on the master device's stack, else 0.
ULONG FilterDeviceMasterFlag(PDEVICE_OBJECT fdo);
// The device's interceptor, for the services that take one; null before the
// device was set up and after its removal.
CGenDisp* FilterDeviceGenDisp(PDEVICE_OBJECT fdo);
