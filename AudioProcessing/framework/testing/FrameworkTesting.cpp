// The driver-wide state of FrameworkTesting.h.  The filter device's words are
// in a unit of their own (FilterDeviceTesting.cpp): a test program that only
// reads a device of a loaded image links nothing else of the framework.
#include "FrameworkTesting.h"

#include "DrvMain.h"
#include "ZvKAPFWi.h"

void ResetChannelsAndVariables() {
    InitializeChannelAndVariableTables();
}

void ResetDeviceList() {
    InitializeListHead(&PdoList);
    KeInitializeSpinLock(&PdoListLock);
}
