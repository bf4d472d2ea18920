// What both test driver images link: a driver-wide counter (each image has its
// own) and the common driver entry.
#include "TestDriverProtocol.h"
#include "kp/io.h"

static ULONG g_loadCount;

ULONG KpTestLoadCount() {
    return g_loadCount;
}

NTSTATUS KpTestDriverEntry(PDRIVER_OBJECT driver, const char* who, PDRIVER_ADD_DEVICE addDevice,
                           PDRIVER_DISPATCH dispatch, PDRIVER_UNLOAD unload) {
    ++g_loadCount;
    KpIoTraceEvent(who, "driver-entry", nullptr);
    driver->DriverUnload = unload;
    driver->DriverExtension->AddDevice = addDevice;
    for (auto& fn : driver->MajorFunction) fn = dispatch;
    return STATUS_SUCCESS;
}
