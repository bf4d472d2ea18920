// What the framework's filter device says of itself, read the way the
// framework's own end-to-end tests read it.  Kept apart from the tests that
// include <windows.h>: this one sees the kernel's headers.
#include "MasterFlag.h"

#include <string>

#include "FrameworkTesting.h"

int FilterMasterFlag(PDEVICE_OBJECT pdo, const char16_t* driverName) {
    std::u16string wanted(driverName);
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        std::u16string name(d->DriverObject->DriverName.Buffer,
                            d->DriverObject->DriverName.Length / sizeof(WCHAR));
        if (name == wanted) return static_cast<int>(FilterDeviceMasterFlag(d));
    }
    return -1;
}
