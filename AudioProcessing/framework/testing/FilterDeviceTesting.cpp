// A filter device's words, read through the extension's layout only: the
// device may belong to a driver image loaded beside the test program, whose
// framework is not this program's.
#include "FrameworkTesting.h"

#include "CDevice.h"
#include "DrvMain.h"

ULONG FilterDeviceMasterFlag(PDEVICE_OBJECT fdo) {
    return FilterExtension(fdo)->MasterFlag;
}

CGenDisp* FilterDeviceGenDisp(PDEVICE_OBJECT fdo) {
    CDevice* device = DeviceOf(FilterExtension(fdo));
    return device != nullptr ? device->GenDisp() : nullptr;
}
